// The clock that keeps an event loop going through long waits.
#include <gtest/gtest.h>

#include <vector>

#include "link/Clock.h"
#include "sim/VirtualClock.h"

namespace korvalen {
namespace {

struct PumpBench {
  sim::VirtualClock inner;
  std::vector<uint64_t> pumped_at;  // inner time of every pump, in ms
  PumpingClock clock{inner, [this] { pumped_at.push_back(inner.NowMicros() / 1000); }, 10};
};

TEST(PumpingClock, ALongWaitIsSlicedAndTakesExactlyItsTime) {
  PumpBench bench;
  bench.clock.Sleep(1000);
  EXPECT_EQ(bench.inner.NowMicros(), 1'000'000u);
  EXPECT_EQ(bench.inner.SleptMicros(), 1'000'000u);
  ASSERT_EQ(bench.pumped_at.size(), 100u);
  for (size_t i = 0; i < bench.pumped_at.size(); ++i) EXPECT_EQ(bench.pumped_at[i], 10 * (i + 1));
}

TEST(PumpingClock, ShortWaitsPumpOnceTheIntervalHasPassed) {
  PumpBench bench;
  // Short waits with work between them (time spent outside the clock).
  for (int i = 0; i < 30; ++i) {
    bench.inner.AdvanceMicros(250);
    bench.clock.Sleep(1);
  }
  // 30 x 1.25 ms: a pump at the first wait past 10 ms and past 20 ms.
  EXPECT_EQ(bench.pumped_at.size(), 3u);
  for (size_t i = 1; i < bench.pumped_at.size(); ++i)
    EXPECT_LE(bench.pumped_at[i] - bench.pumped_at[i - 1], 12u);

  // Waits that come soon after a pump elsewhere do not pump.
  bench.pumped_at.clear();
  bench.inner.AdvanceMillis(50);
  bench.clock.NotePumped();
  bench.clock.Sleep(5);
  EXPECT_TRUE(bench.pumped_at.empty());
}

TEST(PumpingClock, AWaitInsideThePumpDoesNotPumpAgain) {
  sim::VirtualClock inner;
  int depth = 0, deepest = 0, pumps = 0;
  PumpingClock* self = nullptr;
  PumpingClock clock(inner, [&] {
    ++pumps;
    deepest = std::max(deepest, ++depth);
    self->Sleep(100);  // a handler that waits itself
    --depth;
  }, 10);
  self = &clock;
  clock.Sleep(30);
  EXPECT_EQ(deepest, 1);
  EXPECT_EQ(inner.NowMicros(), (30 + 100 * static_cast<uint64_t>(pumps)) * 1000);
}

TEST(PumpingClock, TellsTheInnerClocksTime) {
  sim::VirtualClock inner(5000);
  PumpingClock clock(inner, [] {}, 10);
  EXPECT_EQ(clock.NowMicros(), 5000u);
  clock.Sleep(0);
  EXPECT_EQ(inner.NowMicros(), 5000u);
}

}  // namespace
}  // namespace korvalen
