// The flash size read from the JEDEC ID, and the updates that refuse an
// image the part cannot hold before anything changes the flash.
#include "flash/FlashCapacity.h"

#include <gtest/gtest.h>

#include <optional>
#include <vector>

#include "tests/flash/FlashBench.h"

namespace korvalen::testing {
namespace {

constexpr uint32_t kKiB = 1024;
constexpr uint8_t kSentinel = 0x5A;

TEST(FlashCapacity, PowerOfTwoCodesAndTheWordProgramPartsOwnCodes) {
  EXPECT_EQ(FlashCapacityBytes({0xEF, 0x30, 0x12}), 262144u);
  EXPECT_EQ(FlashCapacityBytes({0xC2, 0x22, 0x11}), 131072u);
  EXPECT_EQ(FlashCapacityBytes({0x20, 0x20, 0x10}), 65536u);
  EXPECT_EQ(FlashCapacityBytes({0x01, 0x40, 0x18}), 16777216u);
  EXPECT_EQ(FlashCapacityBytes({0xBF, 0x25, 0x8C}), 262144u);
  EXPECT_EQ(FlashCapacityBytes({0xBF, 0x25, 0x8D}), 524288u);
  EXPECT_EQ(FlashCapacityBytes({0xBF, 0x25, 0x8E}), 1048576u);
  EXPECT_EQ(FlashCapacityBytes({0xBF, 0x25, 0x41}), 2097152u);
  EXPECT_EQ(FlashCapacityBytes({0xBF, 0x25, 0x4A}), 4194304u);
  // The maker's own numbering belongs to that maker only.
  EXPECT_EQ(FlashCapacityBytes({0xC2, 0x25, 0x8C}), std::nullopt);
  // Codes nobody knows say nothing.
  EXPECT_EQ(FlashCapacityBytes({0xEF, 0x30, 0x00}), std::nullopt);
  EXPECT_EQ(FlashCapacityBytes({0xEF, 0x30, 0x0F}), std::nullopt);
  EXPECT_EQ(FlashCapacityBytes({0xEF, 0x40, 0x19}), std::nullopt);
  EXPECT_EQ(FlashCapacityBytes({0x00, 0x00, 0x00}), std::nullopt);
  EXPECT_EQ(FlashCapacityBytes({0xFF, 0xFF, 0xFF}), std::nullopt);
}

TEST(FlashCapacity, EverySimulatedPartReportsItsOwnSize) {
  for (const sim::FlashModel& model : sim::FlashModels()) {
    EXPECT_EQ(FlashCapacityBytes(model.jedec_id), model.size) << model.name;
  }
}

TEST(FlashCapacity, TextSaysHowLargeTheFileAndTheFlashAre) {
  EXPECT_EQ(ImageDoesNotFitText({0xC2, 0x22, 0x11}, 0, 131072), std::nullopt);
  EXPECT_EQ(ImageDoesNotFitText({0xC2, 0x22, 0x11}, 0, 131073),
            "The update file (131073 bytes) does not fit the flash (131072 bytes)");
  EXPECT_EQ(ImageDoesNotFitText({0xC2, 0x22, 0x11}, 65536, 65537),
            "The update file (65537 bytes from 65536) does not fit the flash (131072 bytes)");
  EXPECT_EQ(ImageDoesNotFitText({0xC2, 0x22, 0x00}, 0, 262144), std::nullopt);
}

// Flash writes that change the part: status write, erases, programs.
size_t ChangingCommands(const SpyDriver& spy) {
  size_t count = 0;
  for (uint8_t op : {kOpWriteStatus, kOpChipErase, kOpSectorErase, kOpPageProgram, kOpAaiProgram})
    count += spy.FlashWritesOf(op).size();
  return count;
}

void PrepareOversize(FlashBench& bench, uint32_t length) {
  bench.device_->flash().Fill(kSentinel);
  bench.LoadPattern(length);
}

TEST(OversizeImage, OneClickRefusesBeforeTheEraseAndLeavesTheFlashAsItWas) {
  FlashBench bench(sim::kFlashMx25l1021e);  // 128 KiB
  PrepareOversize(bench, 256 * kKiB);
  bench.sequences_.BeginOneClick();
  const OneClickResult result = bench.sequences_.RunOneClickUpdate();

  EXPECT_FALSE(result.success);
  EXPECT_EQ(result.verdict.reason, VerdictReason::kImageDoesNotFit);
  EXPECT_EQ(bench.view_.Last(Target::kUpdateStatus),
            "Firmware update Fail! The update file (262144 bytes) does not fit the flash "
            "(131072 bytes).");
  EXPECT_EQ(bench.view_.colour(), StatusColour::kRed);
  EXPECT_EQ(bench.view_.Count(Target::kUpdateStatus, "Clear Status register"), 0u);
  EXPECT_EQ(ChangingCommands(bench.spy_), 0u);
  EXPECT_EQ(bench.spy_.FlashWritesOf(kOpWriteEnable).size(), 0u);
  EXPECT_EQ(bench.FlashBytes(0, 128 * kKiB), std::vector<uint8_t>(128 * kKiB, kSentinel));
  EXPECT_FALSE(bench.device_->IspMode());
  EXPECT_EQ(bench.sim_driver_.OpenHandles(), 0u);
  EXPECT_TRUE(bench.sequences_.flags().update_finished);
  EXPECT_FALSE(bench.sequences_.flags().sequence_busy);
  // Refused at once, not after three attempts.
  EXPECT_LT(bench.clock_.NowMicros(), 100'000u);
}

TEST(OversizeImage, AnImageThatFillsThePartExactlyIsProgrammed) {
  FlashBench bench(sim::kFlashMx25l1021e);
  PrepareOversize(bench, 128 * kKiB);
  EXPECT_TRUE(bench.sequences_.RunOneClickUpdate().success);
  EXPECT_EQ(bench.FlashBytes(0, 128 * kKiB), bench.ImageBytes(0, 128 * kKiB));
}

TEST(OversizeImage, AnUnknownCapacityCodeDoesNotRefuse) {
  FlashBench bench(sim::kFlashMx25l1021e);
  PrepareOversize(bench, 128 * kKiB + 64);
  // The part answers its ID with a capacity code nobody knows.
  bench.spy_.tamper = [](const DecodedRequest& request, std::span<uint8_t> data) {
    if (request.setup.request == kRequestFlashFetch && data.size() == 3) data[2] = 0x00;
  };
  bench.sequences_.RunOneClickUpdate();
  EXPECT_GT(bench.device_->flash().stats().chip_erases, 0u);
}

TEST(OversizeImage, AutoRefusesASpanPastTheEndOfThePart) {
  FlashBench bench(sim::kFlashMx25l1021e);
  PrepareOversize(bench, 96 * kKiB);
  AutoOptions options;
  options.protect = true;
  options.all_range = false;
  options.start_kb = 64;
  options.size_kb = 64;
  const AutoResult result = bench.sequences_.RunAuto(options);

  EXPECT_FALSE(result.success);
  EXPECT_FALSE(result.stopped);
  EXPECT_EQ(bench.view_.Last(Target::kProcessInfo),
            "The update file (98304 bytes from 65536) does not fit the flash (131072 bytes)");
  EXPECT_EQ(ChangingCommands(bench.spy_), 0u);
  EXPECT_EQ(bench.FlashBytes(0, 128 * kKiB), std::vector<uint8_t>(128 * kKiB, kSentinel));
  EXPECT_FALSE(bench.device_->IspMode());
  EXPECT_EQ(bench.sim_driver_.OpenHandles(), 0u);
  EXPECT_FALSE(bench.sequences_.Running());

  // The same image from the start of the part fits.
  FlashBench fits(sim::kFlashMx25l1021e);
  PrepareOversize(fits, 96 * kKiB);
  EXPECT_TRUE(fits.sequences_.RunAuto(AutoOptions{}).success);
  EXPECT_EQ(fits.FlashBytes(0, 96 * kKiB), fits.ImageBytes(0, 96 * kKiB));
}

}  // namespace
}  // namespace korvalen::testing
