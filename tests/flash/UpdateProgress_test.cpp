// The update's progress reading, fed by the flash core's signal during real
// one-click updates on the simulated chip (virtual time).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "flash/UpdateProgress.h"
#include "tests/flash/FlashBench.h"

namespace korvalen::testing {
namespace {

constexpr uint32_t kImageLength = 0x6000;

struct Seen {
  ProgressReading reading;
  uint64_t at_us = 0;
};

// Runs the one-click update and keeps every reading with its time.
std::vector<Seen> RunWatched(FlashBench& bench, bool* success) {
  UpdateProgress progress(kImageLength);
  std::vector<Seen> seen;
  bench.view_.on_progress = [&](ProgressStep step, uint64_t done, uint64_t total) {
    const uint64_t now = bench.clock_.NowMicros();
    seen.push_back({progress.Note(step, done, total, now), now});
  };
  bench.LoadPattern(kImageLength);
  bench.sequences_.BeginOneClick();
  *success = bench.sequences_.RunOneClickUpdate().success;
  return seen;
}

class ProgressOnEachModel : public ::testing::TestWithParam<sim::FlashModel> {};

TEST_P(ProgressOnEachModel, MovesForwardThroughEveryStepToTheEnd) {
  FlashBench bench(GetParam());
  bool success = false;
  const std::vector<Seen> seen = RunWatched(bench, &success);
  ASSERT_TRUE(success);
  ASSERT_GT(seen.size(), 20u);

  std::vector<std::string> steps;
  for (size_t i = 0; i < seen.size(); ++i) {
    const ProgressReading& r = seen[i].reading;
    EXPECT_EQ(r.attempt, 1);
    if (i > 0) {
      EXPECT_GE(r.fraction, seen[i - 1].reading.fraction) << "at reading " << i;
    }
    if (steps.empty() || steps.back() != r.step) steps.emplace_back(r.step);
  }
  EXPECT_EQ(steps, (std::vector<std::string>{"erase", "blank check", "program", "verify"}));
  EXPECT_DOUBLE_EQ(seen.back().reading.fraction, 1.0);
  EXPECT_EQ(seen.back().reading.micros_left, 0u);

  // Halfway through, the time left is the time the rest really took, give or
  // take: the steps' shares follow their times.
  const uint64_t end_us = seen.back().at_us;
  for (const Seen& s : seen) {
    if (s.reading.fraction < 0.4 || s.reading.fraction > 0.6 || !s.reading.micros_left) continue;
    const double real_left = static_cast<double>(end_us - s.at_us);
    EXPECT_GT(*s.reading.micros_left, real_left / 3) << GetParam().name;
    EXPECT_LT(*s.reading.micros_left, real_left * 3) << GetParam().name;
    break;
  }
}

INSTANTIATE_TEST_SUITE_P(Models, ProgressOnEachModel, ::testing::ValuesIn(sim::FlashModels()),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(UpdateProgress, ARetryStartsTheBarAgainAndStillEndsFull) {
  FlashBench bench;
  bench.device_->flash().AddWeakCell(0x123, 1);
  bool success = false;
  const std::vector<Seen> seen = RunWatched(bench, &success);
  ASSERT_TRUE(success);
  size_t first_of_second = 0;
  for (size_t i = 0; i < seen.size() && first_of_second == 0; ++i) {
    if (seen[i].reading.attempt == 2) first_of_second = i;
  }
  ASSERT_GT(first_of_second, 0u);
  EXPECT_GT(seen[first_of_second - 1].reading.fraction, seen[first_of_second].reading.fraction);
  EXPECT_EQ(seen[first_of_second].reading.step, "erase");
  for (size_t i = first_of_second + 1; i < seen.size(); ++i)
    EXPECT_GE(seen[i].reading.fraction, seen[i - 1].reading.fraction);
  EXPECT_DOUBLE_EQ(seen.back().reading.fraction, 1.0);
}

TEST(UpdateProgress, AFailedUpdateNeverShowsFull) {
  FlashBench bench;
  bench.device_->flash().AddWeakCell(0x123, 100);
  bool success = true;
  const std::vector<Seen> seen = RunWatched(bench, &success);
  ASSERT_FALSE(success);
  ASSERT_FALSE(seen.empty());
  for (const Seen& s : seen) EXPECT_LT(s.reading.fraction, 1.0);
}

TEST(UpdateProgress, EraseKeepsMovingWithoutEverFillingItsShare) {
  UpdateProgress progress(kImageLength);
  double last = -1;
  for (uint64_t poll = 0; poll < 1000; poll += 50) {
    const double fraction = progress.Note(ProgressStep::kErase, poll, 1000, poll * 10'000).fraction;
    EXPECT_GT(fraction, last);
    last = fraction;
  }
  const double erase_share = progress.Note(ProgressStep::kErase, 1000, 1000, 10'000'000).fraction;
  EXPECT_GT(erase_share, last);
  // The blank check starts where the erase ended.
  EXPECT_DOUBLE_EQ(progress.Note(ProgressStep::kBlankCheck, 0, kImageLength, 10'000'001).fraction,
                   erase_share);
  // A read-back is no step of the update.
  EXPECT_DOUBLE_EQ(progress.Note(ProgressStep::kReadBack, 64, 128, 10'000'002).fraction,
                   erase_share);
}

TEST(UpdateProgress, TimeTexts) {
  EXPECT_EQ(FormatMinutesSeconds(0), "0:00");
  EXPECT_EQ(FormatMinutesSeconds(65'000'000), "1:05");
  EXPECT_EQ(FormatMinutesSeconds(720'000'000), "12:00");
  EXPECT_EQ(FormatMinutesSeconds(1), "0:01");  // never "0:00" while something is left
}

}  // namespace
}  // namespace korvalen::testing
