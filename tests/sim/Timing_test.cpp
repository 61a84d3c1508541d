// Busy bits in time: what a host that keeps the update's waits sees, on
// the virtual clock and on the real one.
#include <gtest/gtest.h>

#include "link/Clock.h"
#include "link/FlashPassThrough.h"
#include "link/Registers.h"
#include "sim/FlashModels.h"
#include "tests/sim/SimBench.h"

namespace korvalen::sim {
namespace {

using testing::SimBench;

class UpdateTiming : public ::testing::TestWithParam<const FlashModel*> {};

std::vector<const FlashModel*> AllModels() {
  std::vector<const FlashModel*> models;
  for (const FlashModel& model : FlashModels()) models.push_back(&model);
  return models;
}

// The update's chip-erase poll: status reads 10 ms apart, at most 1000.
TEST_P(UpdateTiming, ChipErasePollSeesBusyForTheErasTime) {
  const FlashModel& model = *GetParam();
  SimBench bench(kSimOrbit, model.name);
  ASSERT_TRUE(SetIspMode(bench.link, true));
  const uint64_t start = bench.clock.NowMicros();
  ASSERT_TRUE(FlashWriteEnable(bench.link));
  ASSERT_TRUE(FlashChipErase(bench.link));
  bench.clock.Sleep(10);
  int polls = 0;
  while (FlashReadStatus(bench.link) & kStatusBusy) {
    ASSERT_LT(++polls, 1000) << "the erase must end inside the update's poll limit";
    bench.clock.Sleep(10);
  }
  const uint64_t elapsed = bench.clock.NowMicros() - start;
  EXPECT_GE(elapsed, model.chip_erase_us);
  EXPECT_LT(elapsed, model.chip_erase_us + 20000) << "found within two polls of the end";
}

// The updater's program loop, with its waits and chunk rule,
// programs every part correctly under the default latency.
TEST_P(UpdateTiming, UpdateProgramLoopProgramsThePart) {
  const FlashModel& model = *GetParam();
  SimBench bench(kSimOrbit, model.name);
  ASSERT_TRUE(SetIspMode(bench.link, true));
  FlashId id{};
  ASSERT_TRUE(FlashReadId(bench.link, &id));
  const bool aai = id[0] == 0xBF;
  const uint32_t chunk = (id[0] == 0xC2 && id[1] == 0x22) ? 32 : 256;
  std::vector<uint8_t> image(2048);
  for (size_t i = 0; i < image.size(); ++i) image[i] = static_cast<uint8_t>(i * 13 + 5);
  const auto wait_idle_short = [&] {
    for (int i = 0; i < 101; ++i) {
      if (!(FlashReadStatus(bench.link) & kStatusBusy)) return true;
      bench.clock.Sleep(1);
    }
    return false;
  };
  if (aai) {
    ASSERT_TRUE(wait_idle_short());
  }
  for (uint32_t a = 0; a < image.size(); a += chunk) {
    if (aai) {
      ASSERT_TRUE(FlashWriteEnable(bench.link));
      ASSERT_TRUE(FlashAaiProgram(bench.link, a, chunk, &image[a]));
      ASSERT_TRUE(FlashWriteDisable(bench.link));
    } else {
      ASSERT_TRUE(wait_idle_short());
      ASSERT_TRUE(FlashWriteEnable(bench.link));
      ASSERT_TRUE(FlashPageProgram(bench.link, a, chunk, &image[a]));
      for (int i = 0; i < 10; ++i) {
        bench.clock.Sleep(1);
        if (FlashReady(bench.link)) break;
      }
    }
  }
  ASSERT_TRUE(wait_idle_short());
  std::vector<uint8_t> back(image.size());
  for (uint32_t a = 0; a < back.size(); a += 64) {
    ASSERT_TRUE(FlashRead(bench.link, bench.clock, a, 64, &back[a]));
  }
  EXPECT_EQ(back, image);
  EXPECT_EQ(bench.device->flash().stats().ignored_busy, 0u);
}

INSTANTIATE_TEST_SUITE_P(AllModels, UpdateTiming, ::testing::ValuesIn(AllModels()),
                         [](const auto& info) { return std::string(info.param->name); });

TEST(Timing, AaiWordsBackToBackSurviveWithoutLatency) {
  // Even with no USB latency the pass-through's own shifting time outlasts
  // the 10 us word program, as on the real chip.
  SimBench bench(kSimOrbit, kFlashSst25vf020b);
  bench.device->timing().request_latency_us = 0;
  ASSERT_TRUE(SetIspMode(bench.link, true));
  std::vector<uint8_t> data(256);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i);
  ASSERT_TRUE(FlashWriteEnable(bench.link));
  ASSERT_TRUE(FlashAaiProgram(bench.link, 0, 256, data.data()));
  ASSERT_TRUE(FlashWriteDisable(bench.link));
  EXPECT_EQ(bench.device->flash().Read(0, 256), data);
}

TEST(Timing, StatusAnswerReadyWithinTenBackToBackPolls) {
  SimBench bench;
  ASSERT_TRUE(SetIspMode(bench.link, true));
  for (int i = 0; i < 5; ++i) EXPECT_EQ(FlashReadStatus(bench.link), 0x00);
}

TEST(Timing, RealClockMeasuresBusyInRealTime) {
  RealClock clock;
  // 25 ms sector erase. The default latency is really waited: with none at
  // all the 10 back-to-back status polls would outrun the SPI engine, as
  // they would on hardware.
  auto device = MakeSimDevice(clock, kSimOrbit, kFlashSst25vf020b);
  SimDriver driver;
  driver.Attach(device);
  NorvaneUsb link(driver);
  link.SetDriverKind(kAudioDriverChannel);
  link.SetDeviceId(kSimOrbit.id_text);
  ASSERT_TRUE(link.Probe());
  ASSERT_TRUE(link.Open());
  ASSERT_TRUE(SetIspMode(link, true));
  ASSERT_TRUE(FlashWriteEnable(link));
  const uint64_t start = clock.NowMicros();
  ASSERT_TRUE(FlashSectorErase(link, 0));
  EXPECT_EQ(FlashReadStatus(link) & kStatusBusy, kStatusBusy);
  while (FlashReadStatus(link) & kStatusBusy) {
    ASSERT_LT(clock.NowMicros() - start, 2'000'000u);
    clock.Sleep(1);
  }
  EXPECT_GE(clock.NowMicros() - start, 25'000u);
}

}  // namespace
}  // namespace korvalen::sim
