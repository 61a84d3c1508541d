// The one-click update under hundreds of injected faults on every simulated
// flash part, all in virtual time. Whatever the fault, the verdict is success
// only when the flash holds exactly the image (erased past it), the run ends
// within the sequence's bounded waits, and the protection write and the exit
// from ISP mode are sent at the end of every run, and nothing is erased
// after an ID read that did not name a part.
#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "sim/FaultSpec.h"
#include "tests/flash/FlashBench.h"

namespace korvalen::testing {
namespace {

constexpr uint32_t kImageLength = 0x2400;
constexpr uint8_t kSentinel = 0x00;
// Three attempts of erase polling (10 s each at most), the pauses between
// them, and the bounded reads and polls of the other steps stay far below
// this on the virtual clock.
constexpr uint64_t kRunBoundMicros = 120'000'000;
// Request points tried in each step, spread from its first to its last
// request.
constexpr int kPointsPerStep = 5;

// The steps of a clean run, each named by the text that starts it.
const std::vector<std::string> kStepStarts = {"Enter ISP Mode",       "Clear Status register",
                                              "Flash Erase All",      "Start Blanking Check",
                                              "Start Programming",    "Start Verifying Check",
                                              "Verifying Success"};
const std::vector<std::string> kStepNames = {"ISP entry", "status clear", "erase polling",
                                             "blank check", "program", "verify",
                                             "protection and ISP exit"};

struct Fault {
  std::string name;   // its class, for the table
  std::string where;  // which request or cell, for failure messages
  std::function<void(FlashBench&)> arm;
  bool device_answers = true;  // false once the device is gone for good
};

struct Outcome {
  int survived = 0;  // success with the right flash (a retry absorbed it)
  int failed = 0;    // honest failure verdict
};

void PrepareImage(FlashBench& bench) {
  bench.device_->flash().Fill(kSentinel);
  bench.LoadPattern(kImageLength);
  // An erased hole that programming skips: the flash must read erased there.
  std::fill_n(bench.image_->bytes.begin() + 0x1000, 0x100, kErasedByte);
}

// Request number (as the fault wrapper counts) at which each step starts,
// and the count of the whole clean run.
struct StepMap {
  std::vector<uint64_t> starts;
  uint64_t total = 0;
};

StepMap MapSteps(const sim::FlashModel& model) {
  FlashBench bench(model);
  PrepareImage(bench);
  StepMap map;
  size_t next = 0;
  auto note = [&] {
    const std::string shown = bench.view_.Last(Target::kUpdateStatus);
    while (next < kStepStarts.size() && shown.starts_with(kStepStarts[next])) {
      // The step's text is shown before its first request.
      map.starts.push_back(bench.faults_.RequestCount() + 1);
      ++next;
    }
  };
  bench.view_.on_pump = [&](size_t) { note(); };
  EXPECT_TRUE(bench.sequences_.RunOneClickUpdate().success);
  map.total = bench.faults_.RequestCount();
  EXPECT_EQ(map.starts.size(), kStepStarts.size()) << "a step of the clean run was not seen";
  return map;
}

std::vector<Fault> FaultsFor(const sim::FlashModel& model) {
  const StepMap map = MapSteps(model);
  std::vector<Fault> faults;
  for (size_t step = 0; step < map.starts.size(); ++step) {
    const uint64_t first = map.starts[step];
    const uint64_t last = step + 1 < map.starts.size() ? map.starts[step + 1] - 1 : map.total;
    for (int k = 0; k < kPointsPerStep; ++k) {
      const uint64_t n = first + (last - first) * k / (kPointsPerStep - 1);
      const std::string where = kStepNames[step] + " at request " + std::to_string(n);
      faults.push_back({"rejected request in " + kStepNames[step], where,
                        [n](FlashBench& b) { b.faults_.RejectRequest(n); }});
      faults.push_back({"device vanishes in " + kStepNames[step], where,
                        [n](FlashBench& b) { b.faults_.VanishFrom(n); }, false});
    }
  }
  faults.push_back({"status never clears write-in-progress", "whole run",
                    [](FlashBench& b) { b.device_->flash().SetStuckBusy(true); }});
  for (uint32_t passes = 1; passes <= 4; ++passes) {
    faults.push_back({"weak cell needing " + std::to_string(passes + 1) + " program passes",
                      "0x0123", [passes](FlashBench& b) {
                        sim::ApplyFaultSpec({.kind = sim::FaultSpec::Kind::kWeakCell,
                                             .address = 0x123,
                                             .count = passes},
                                            *b.device_);
                      }});
  }
  for (uint32_t flips : {1u, 3u, 0u}) {
    faults.push_back(
        {flips == 0 ? "every read-back flipped" : std::to_string(flips) + " read-backs flipped",
         "fetches", [flips](FlashBench& b) {
           b.faults_.FlipBitsInEvery(kRequestFlashFetch, 7, 0x10, flips);
         }});
  }
  faults.push_back({"JEDEC ID changes between attempts", "ID reads after a weak cell",
                    [](FlashBench& b) {
                      sim::ApplyFaultSpec({.kind = sim::FaultSpec::Kind::kWeakCell,
                                           .address = 0x40,
                                           .count = 1},
                                          *b.device_);
                      auto retried = std::make_shared<bool>(false);
                      b.view_.on_pump = [&b, retried](size_t) {
                        if (b.view_.Last(Target::kUpdateStatus) == "ISP Fail and retry")
                          *retried = true;
                      };
                      b.spy_.tamper = [retried](const DecodedRequest& r, std::span<uint8_t> data) {
                        if (*retried && r.setup.request == kRequestFlashFetch && data.size() == 3)
                          data[0] ^= 0xFF;
                      };
                    }});
  return faults;
}

// What the flash must hold after a successful update.
std::vector<uint8_t> Expected(const FlashBench& bench, uint32_t flash_size) {
  std::vector<uint8_t> expected(flash_size, kErasedByte);
  std::copy_n(bench.image_->bytes.begin(), kImageLength, expected.begin());
  return expected;
}

bool SentAfter(const SpyDriver& spy, size_t from, const std::function<bool(const SpiedTransfer&)>& is) {
  for (size_t i = from; i < spy.transfers.size(); ++i)
    if (is(spy.transfers[i])) return true;
  return false;
}

class FaultMatrix : public ::testing::TestWithParam<sim::FlashModel> {};

TEST_P(FaultMatrix, NoFaultEndsInSuccessOverAWrongFlash) {
  const sim::FlashModel& model = GetParam();
  const std::vector<Fault> faults = FaultsFor(model);
  ASSERT_GE(faults.size(), 50u);
  std::map<std::string, Outcome> table;

  for (const Fault& fault : faults) {
    SCOPED_TRACE(fault.name + " (" + fault.where + ")");
    FlashBench bench(model);
    PrepareImage(bench);
    fault.arm(bench);
    const uint64_t started = bench.clock_.NowMicros();
    const OneClickResult result = bench.sequences_.RunOneClickUpdate();
    const uint64_t took = bench.clock_.NowMicros() - started;

    bench.faults_.Revive();
    const std::vector<uint8_t> flash = bench.FlashBytes(0, model.size);
    const bool flash_right = flash == Expected(bench, model.size);
    // A failure over a flash that happens to be right is honest (the run could
    // not prove it); a success over a wrong one never is.
    if (result.success) EXPECT_TRUE(flash_right) << "success over a wrong flash";
    EXPECT_EQ(bench.view_.Last(Target::kUpdateStatus),
              result.success ? "Firmware update success!" : "Firmware update Fail!");
    EXPECT_LT(took, kRunBoundMicros) << "the run outlasted its bounded waits";
    EXPECT_FALSE(bench.sequences_.flags().sequence_busy);

    Outcome& outcome = table[fault.name];
    (result.success ? outcome.survived : outcome.failed) += 1;

    // Nothing erases until the ID read since the last ISP entry answered a
    // part: a rejected read or all zeros or all ones leaves the flash alone.
    bool id_known = false;
    for (const SpiedTransfer& t : bench.spy_.transfers) {
      if (t.setup.request == kRequestEnterIsp || (t.setup.request == kRequestFlashCommandRead &&
                                                  !t.data.empty() && t.data[0] == kOpReadId)) {
        id_known = false;
      }
      if (t.setup.request == kRequestFlashFetch && t.data.size() == 3) {
        const bool zeros =
            std::all_of(t.data.begin(), t.data.end(), [](uint8_t b) { return b == 0; });
        const bool ones =
            std::all_of(t.data.begin(), t.data.end(), [](uint8_t b) { return b == 0xFF; });
        id_known = t.ok && !zeros && !ones;
      }
      if (t.setup.request == kRequestFlashWrite && t.data == std::vector<uint8_t>{kOpChipErase})
        EXPECT_TRUE(id_known) << "erase after a failed ID read";
    }
    if (!fault.device_answers) continue;

    // The end of every run sends the protection write and the ISP exit to a
    // device that still answers, whatever failed before.
    const auto& transfers = bench.spy_.transfers;
    size_t last_step = 0;
    for (size_t i = 0; i < transfers.size(); ++i)
      if (transfers[i].setup.request == kRequestEnterIsp) last_step = i;
    EXPECT_TRUE(SentAfter(bench.spy_, last_step, [](const SpiedTransfer& t) {
      return t.setup.request == kRequestLeaveIsp;
    })) << "no ISP exit";
    EXPECT_TRUE(SentAfter(bench.spy_, last_step, [](const SpiedTransfer& t) {
      return t.setup.request == kRequestFlashWrite && t.data.size() == 2 &&
             t.data[0] == kOpWriteStatus && (t.data[1] == 0xFF || t.data[1] == 0x7F);
    })) << "no protection write";
  }

  std::printf("\n%s: %zu faulted one-click updates\n", model.name, faults.size());
  std::printf("  %-48s %9s %9s\n", "fault class", "survived", "failed");
  for (const auto& [name, outcome] : table)
    std::printf("  %-48s %9d %9d\n", name.c_str(), outcome.survived, outcome.failed);
}

INSTANTIATE_TEST_SUITE_P(FlashModels, FaultMatrix,
                         ::testing::ValuesIn(sim::FlashModels().begin(), sim::FlashModels().end()),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace korvalen::testing
