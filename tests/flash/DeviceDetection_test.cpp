// The device search tick by tick on simulated devices, each tick run when
// the interval the previous one asked for has passed on the virtual clock.
#include "flash/DeviceDetection.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "sim/FaultDriver.h"
#include "sim/FlashModels.h"
#include "sim/SimDevice.h"
#include "sim/SimDriver.h"
#include "sim/VirtualClock.h"

namespace korvalen {
namespace {

// One tick as a timer would see it: when it ran, what it tried, what it found.
struct Seen {
  uint64_t at_ms;
  std::string id;
  DetectionFound found;
  bool operator==(const Seen&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Seen& seen) {
  return out << seen.at_ms << "ms " << seen.id << " found=" << static_cast<int>(seen.found);
}

struct Bench {
  explicit Bench(const sim::SimIdentity& identity)
      : device(std::make_shared<sim::SimDevice>(clock, identity,
                                                *sim::FindFlashModel(sim::kDefaultFlashModel))),
        faults(driver),
        link(faults) {}

  // Runs one tick at the time the last one scheduled, as the window's timer does.
  DetectionTick Tick(const DetectionGate& gate = {}) {
    clock.AdvanceMillis(next_ms);
    const DetectionTick tick = detection.Tick(gate);
    next_ms = tick.next_interval_ms;
    return tick;
  }
  Seen TickSeen() {
    const DetectionTick tick = Tick();
    return {clock.NowMicros() / 1000, tick.device_id, tick.found};
  }

  sim::VirtualClock clock;
  sim::SimDriver driver;
  std::shared_ptr<sim::SimDevice> device;
  sim::FaultDriver faults;
  NorvaneUsb link;
  DeviceDetection detection{link};
  uint64_t next_ms = kDetectionWatchIntervalMs;
};

TEST(DeviceDetection, SearchAlternatesModelRowsWithUpdateIdentitiesEvery100Ms) {
  Bench bench(sim::kSimOrbit);
  const uint64_t start = bench.clock.NowMicros() / 1000;
  // The ticks come a second apart until the first update identity is
  // tried; from then on the search runs every 100 ms.
  const std::vector<std::pair<uint64_t, std::string>> expected = {
      {1000, "vid_5e1a&pid_f071"}, {2000, "vid_5e1a&pid_6000"}, {2100, "vid_5e1a&pid_f072"},
      {2200, "vid_0c3d&pid_6000"}, {2300, "vid_5e1a&pid_f0f0"}, {2400, "vid_5e1a&pid_6000"},
      {2500, "vid_5e1a&pid_f0f1"}, {2600, "vid_0c3d&pid_6000"}, {2700, "vid_5e1a&pid_f070"},
      {2800, "vid_5e1a&pid_6000"}, {2900, "vid_5e1a&pid_f071"}};
  for (const auto& [at, id] : expected) {
    const Seen seen = bench.TickSeen();
    EXPECT_EQ(seen, (Seen{start + at, id, DetectionFound::kNothing}));
  }
  EXPECT_EQ(bench.device->RequestCount(), 0u);
}

TEST(DeviceDetection, FoundModelIsWatchedEverySecondAndItsFileAskedForOnce) {
  Bench bench(sim::kSimTide);  // row 2: the third identity of the round
  bench.driver.Attach(bench.device);
  DetectionTick tick;
  int ticks = 0;
  while ((tick = bench.Tick()).found == DetectionFound::kNothing && ticks < 12) ++ticks;
  EXPECT_EQ(ticks, 2);  // f071, then 5E1A, then f072
  EXPECT_EQ(tick.found, DetectionFound::kModel);
  EXPECT_EQ(tick.model_row, 2);
  EXPECT_TRUE(tick.load_file);
  EXPECT_TRUE(tick.searched);
  // Found on a search tick: the next one still comes after 100 ms, every
  // later one after a second.
  EXPECT_EQ(tick.next_interval_ms, 100u);
  bench.detection.SetFileFound(true);
  for (int i = 0; i < 3; ++i) {
    tick = bench.Tick();
    EXPECT_EQ(tick.found, DetectionFound::kModel);
    EXPECT_FALSE(tick.searched);
    EXPECT_FALSE(tick.load_file);
    EXPECT_EQ(tick.next_interval_ms, 1000u);
  }

  // Unplugged: the watch notices on its next tick, the one after searches
  // again at 100 ms and forgets the file.
  bench.driver.Detach(bench.device);
  tick = bench.Tick();
  EXPECT_EQ(tick.found, DetectionFound::kNothing);
  EXPECT_FALSE(tick.searched);
  EXPECT_TRUE(bench.detection.file_found());
  tick = bench.Tick();
  EXPECT_TRUE(tick.searched);
  EXPECT_FALSE(bench.detection.file_found());
  tick = bench.Tick();
  EXPECT_EQ(tick.next_interval_ms, 100u);

  // Plugged again: found within one round, and the file is asked for again.
  bench.driver.Attach(bench.device);
  for (ticks = 0; (tick = bench.Tick()).found == DetectionFound::kNothing && ticks < 12;) ++ticks;
  EXPECT_EQ(tick.found, DetectionFound::kModel);
  EXPECT_TRUE(tick.load_file);
}

TEST(DeviceDetection, UpdateIdentitiesTellWhichOneAnswered) {
  Bench update5e1a(sim::kSimUpdate5E1A);
  update5e1a.driver.Attach(update5e1a.device);
  DetectionTick tick;
  for (int i = 0; i < 12 && (tick = update5e1a.Tick()).found == DetectionFound::kNothing; ++i) {
  }
  EXPECT_EQ(tick.found, DetectionFound::kUpdate5E1A);
  EXPECT_EQ(tick.device_id, "vid_5e1a&pid_6000");
  EXPECT_EQ(tick.model_row, 0);
  // Row 0's file is read on every watch tick while the identity stays.
  update5e1a.detection.SetFileFound(true);
  tick = update5e1a.Tick();
  EXPECT_EQ(tick.found, DetectionFound::kUpdate5E1A);
  EXPECT_TRUE(tick.load_file);

  Bench update0c3d(sim::kSimUpdate0C3D);
  update0c3d.driver.Attach(update0c3d.device);
  for (int i = 0; i < 12 && (tick = update0c3d.Tick()).found == DetectionFound::kNothing; ++i) {
  }
  EXPECT_EQ(tick.found, DetectionFound::kUpdate0C3D);
  EXPECT_EQ(tick.device_id, "vid_0c3d&pid_6000");
  EXPECT_FALSE(tick.load_file);
}

TEST(DeviceDetection, GateStopsPausesOrLetsTheDeviceGo) {
  Bench bench(sim::kSimTide);
  bench.driver.Attach(bench.device);
  for (int i = 0; i < 12 && !bench.link.IsPresent(); ++i) bench.Tick();
  ASSERT_TRUE(bench.link.IsPresent());
  const std::string id = bench.link.DeviceId();
  const auto requests = bench.device->RequestCount();

  // A running sequence owns the link: the tick leaves it and the search alone.
  bench.link.Open();
  DetectionTick tick = bench.Tick({.sequence_busy = true});
  EXPECT_EQ(tick.found, DetectionFound::kIdle);
  EXPECT_TRUE(bench.link.HasHandle());
  EXPECT_EQ(bench.link.DeviceId(), id);

  // Detection off (or the update finished): the handle is let go, nothing sent.
  tick = bench.Tick({.enabled = false});
  EXPECT_EQ(tick.found, DetectionFound::kIdle);
  EXPECT_FALSE(bench.link.HasHandle());
  bench.link.ClearPresent();
  for (int i = 0; i < 5; ++i) bench.Tick({.update_finished = true});
  EXPECT_EQ(bench.link.DeviceId(), id);
  EXPECT_EQ(bench.device->RequestCount(), requests);
}

TEST(DeviceDetection, RefusedDeviceIsReportedAndNotOfferedAFile) {
  Bench bench(sim::kSimTide);
  bench.faults.DenyAccess(true);
  bench.driver.Attach(bench.device);
  DetectionTick tick;
  for (int i = 0; i < 12 && (tick = bench.Tick()).found == DetectionFound::kNothing; ++i) {
  }
  EXPECT_EQ(tick.found, DetectionFound::kAccessDenied);
  EXPECT_EQ(tick.device_id, "vid_5e1a&pid_f072");
  EXPECT_FALSE(tick.load_file);
  EXPECT_EQ(bench.device->RequestCount(), 0u);

  // Allowed after the rules are in place: the next watch finds the model.
  bench.faults.DenyAccess(false);
  bench.driver.Detach(bench.device);
  bench.Tick();
  bench.driver.Attach(bench.device);
  for (int i = 0; i < 12 && (tick = bench.Tick()).found == DetectionFound::kNothing; ++i) {
  }
  EXPECT_EQ(tick.found, DetectionFound::kModel);
  EXPECT_TRUE(tick.load_file);
}

}  // namespace
}  // namespace korvalen
