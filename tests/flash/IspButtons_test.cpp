// The ISP page's button bodies: erase, chip ID, status, range choice, dump.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include "tests/flash/FlashBench.h"

namespace korvalen::testing {
namespace {

// A sector-erase packet: opcode and three address bytes, ending the transfer.
bool IsSectorErase(const std::optional<DecodedRequest>& r) {
  return r && r->setup.request == kRequestFlashWrite && r->length == 4 &&
         r->setup.index == kFlashTransferEnd;
}

TEST(ChipId, ShowsEachByteWithACommaAndTwoBlanks) {
  sim::FlashModel model = *sim::FindFlashModel(sim::kFlashMx25l2006e);
  model.jedec_id = {0xC2, 0x20, 0x16};
  FlashBench bench(model);
  bench.EnterIsp();
  EXPECT_EQ(bench.ops_.ChipIdText(), "0xC2,  0x20,  0x16,  ");
  EXPECT_EQ(bench.ops_.flash_id(), (FlashId{0xC2, 0x20, 0x16}));
  EXPECT_EQ(bench.sim_driver_.OpenHandles(), 0u);
}

TEST(ChipId, FailedReadKeepsThePreviousId) {
  FlashBench bench;
  bench.EnterIsp();
  ASSERT_EQ(bench.ops_.ChipIdText(), "0xEF,  0x30,  0x12,  ");
  bench.faults_.VanishNow();
  EXPECT_EQ(bench.ops_.ChipIdText(), "0xEF,  0x30,  0x12,  ");
  EXPECT_EQ(bench.ops_.StatusText(), "0xFF");  // a silent device reads busy
}

TEST(WriteStatus, TypedHexKeepsTheLowByteAndBadTextSendsNothing) {
  FlashBench bench;
  bench.EnterIsp();
  EXPECT_EQ(bench.ops_.WriteStatusFromText("1FF"), std::nullopt);
  EXPECT_EQ(bench.spy_.CountFlashWrites({kOpWriteStatus, 0xFF}), 1u);
  bench.spy_.transfers.clear();
  EXPECT_EQ(bench.ops_.WriteStatusFromText(""), "'0x' is not a valid integer value");
  EXPECT_EQ(bench.ops_.WriteStatusFromText("1G"), "'0x1G' is not a valid integer value");
  EXPECT_TRUE(bench.ops_.WriteStatusFromText("123456789").has_value());
  EXPECT_TRUE(bench.spy_.transfers.empty());
}

TEST(EnterIsp, TogglesOnlyWithADevicePresent) {
  FlashBench bench;
  EXPECT_EQ(bench.ops_.ToggleIspMode(), true);
  EXPECT_TRUE(bench.device_->FlashRouted());
  EXPECT_EQ(bench.ops_.ToggleIspMode(), false);
  EXPECT_FALSE(bench.device_->IspMode());

  bench.link_.ClearPresent();
  bench.spy_.transfers.clear();
  EXPECT_EQ(bench.ops_.ToggleIspMode(), std::nullopt);
  EXPECT_FALSE(bench.ops_.isp_mode_active());
  EXPECT_TRUE(bench.spy_.transfers.empty());
}

// ---- Erase -------------------------------------------------------------------

TEST(Erase, ChipEraseOnAStuckFlashCyclesTheDotsAndFails) {
  FlashBench bench;
  bench.EnterIsp();
  bench.device_->flash().SetStuckBusy(true);
  const uint64_t start = bench.clock_.NowMicros();
  EXPECT_FALSE(bench.ops_.EraseFlash(true));
  EXPECT_TRUE(bench.ops_.step_failed());
  EXPECT_EQ(bench.view_.Last(Target::kProcessInfo), "Erase Flash Fail");

  const auto infos = bench.view_.Texts(Target::kProcessInfo);
  // The label text, then one text per poll, then the failure.
  ASSERT_EQ(infos.size(), 1002u);
  EXPECT_EQ(infos[1], "Flash Erase All ");
  EXPECT_EQ(infos[20], "Flash Erase All ");
  EXPECT_EQ(infos[21], "Flash Erase All .");
  EXPECT_EQ(infos[1 + 199], "Flash Erase All .........");
  EXPECT_EQ(infos[1 + 200], "Flash Erase All ");
  const auto statuses = bench.view_.Texts(Target::kStatusRegister);
  ASSERT_EQ(statuses.size(), 1000u);
  ASSERT_TRUE(statuses.back().starts_with("Status Register: 0x"));
  EXPECT_EQ(std::stoul(statuses.back().substr(19), nullptr, 16) & kStatusBusy, kStatusBusy);
  // A thousand polls ten milliseconds apart, all in virtual time.
  EXPECT_GE(bench.clock_.NowMicros() - start, 10'000'000u);
  EXPECT_EQ(bench.sim_driver_.OpenHandles(), 0u);
}

TEST(Erase, SectorEraseCoversTheAssignedRangeOnly) {
  FlashBench bench;
  bench.EnterIsp();
  bench.device_->flash().Fill(0x00);
  ASSERT_EQ(bench.ops_.ChooseRange(false, 32, 32), std::nullopt);
  EXPECT_TRUE(bench.ops_.EraseFlash(false));
  EXPECT_FALSE(bench.ops_.step_failed());

  EXPECT_EQ(bench.device_->flash().stats().sector_erases, 8u);
  EXPECT_EQ(bench.FlashBytes(0x8000, 0x8000), std::vector<uint8_t>(0x8000, 0xFF));
  EXPECT_EQ(bench.FlashBytes(0x7FFF, 1), std::vector<uint8_t>{0x00});
  EXPECT_EQ(bench.FlashBytes(0x10000, 1), std::vector<uint8_t>{0x00});
  const auto steps = Steps(bench.view_, Target::kProcessInfo);
  ASSERT_EQ(steps.size(), 9u);
  EXPECT_EQ(steps[0], "Flash Sector Erase");
  EXPECT_EQ(steps[1], "Flash Sector Erase: 0x 008000");
  EXPECT_EQ(steps[8], "Flash Sector Erase: 0x 00F000");
}

TEST(Erase, ASectorTimingOutInTheMiddleFailsTheErase) {
  FlashBench bench;
  bench.EnterIsp();
  ASSERT_EQ(bench.ops_.ChooseRange(false, 32, 32), std::nullopt);
  // While the third sector erases, no status answer ever becomes ready.
  int sectors = 0;
  bench.faults_.RejectWhen([&sectors](uint64_t, const std::optional<DecodedRequest>& r) {
    if (IsSectorErase(r)) ++sectors;
    return sectors == 3 && r && r->setup.request == kRequestFlashReady;
  });
  EXPECT_FALSE(bench.ops_.EraseFlash(false));
  EXPECT_TRUE(bench.ops_.step_failed());
  EXPECT_EQ(sectors, 8);  // the later sectors still ran
  EXPECT_EQ(bench.view_.Last(Target::kProcessInfo), "Erase Flash Fail");
}

TEST(Erase, EmptySectorRangeSendsNothing) {
  FlashBench bench;
  ASSERT_EQ(bench.ops_.ChooseRange(false, 64, 0), std::nullopt);
  EXPECT_TRUE(bench.ops_.EraseFlash(false));
  EXPECT_TRUE(bench.spy_.transfers.empty());
  EXPECT_EQ(bench.view_.Last(Target::kProcessInfo), "Flash Sector Erase");
}

// ---- Range choice ------------------------------------------------------------

TEST(Range, AllAfterAssignRangeWorksFromAddressZeroAgain) {
  FlashBench bench;
  bench.EnterIsp();
  bench.LoadPattern(0x400);
  ASSERT_EQ(bench.ops_.ChooseRange(false, 4, 8), std::nullopt);
  EXPECT_EQ(bench.ops_.flash_range_start(), 0x1000u);
  EXPECT_EQ(bench.ops_.flash_range_size(), 0x2000u);
  EXPECT_TRUE(bench.ops_.Program(false));
  EXPECT_EQ(bench.FlashBytes(0x1000, 0x400), bench.ImageBytes(0, 0x400));

  ASSERT_EQ(bench.ops_.ChooseRange(true, 4, 8), std::nullopt);
  EXPECT_EQ(bench.ops_.flash_range_start(), 0u);
  EXPECT_EQ(bench.ops_.flash_range_size(), 0x8000u);
  // The range start is 0 again even where the page's span follows it.
  EXPECT_TRUE(bench.ops_.BlankCheck(false));
  EXPECT_EQ(bench.view_.Texts(Target::kProcessAddress).back(), "Blanking Addr: 0x0003C0");
}

TEST(Range, ValuesOutsideTheAddressSpaceKeepTheOldRange) {
  FlashBench bench;
  ASSERT_EQ(bench.ops_.ChooseRange(false, 64, 64), std::nullopt);
  EXPECT_TRUE(bench.ops_.ChooseRange(false, -1, 4).has_value());
  EXPECT_TRUE(bench.ops_.ChooseRange(false, 16384, 1).has_value());
  EXPECT_TRUE(bench.ops_.ChooseRange(false, 4, int64_t{1} << 40).has_value());
  EXPECT_EQ(bench.ops_.flash_range_start(), 0x10000u);
  EXPECT_EQ(bench.ops_.flash_range_size(), 0x10000u);
  EXPECT_EQ(bench.ops_.ChooseRange(false, 16320, 64), std::nullopt);
}

// ---- Read-back dump ----------------------------------------------------------

TEST(Dump, TextHoldsSixteenEntriesAndACarriageReturnPerRow) {
  FlashBench bench;
  bench.EnterIsp();
  for (uint32_t i = 0; i < 16; ++i)
    bench.device_->flash().Write(i, std::vector<uint8_t>{static_cast<uint8_t>(i * 0x11)});
  EXPECT_TRUE(bench.ops_.ReadBack());
  EXPECT_EQ(bench.view_.Last(Target::kProcessInfo), "Read Flash content Success");

  const std::string text = bench.ops_.ReadBackDumpText();
  const std::string blank_row = [] {
    std::string row;
    for (int i = 0; i < 16; ++i) row += "0xFF, ";
    return row + "\r";
  }();
  ASSERT_EQ(text.size(), 2048 * blank_row.size());
  EXPECT_EQ(text.substr(0, blank_row.size()),
            "0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88, 0x99, 0xAA, 0xBB, 0xCC, "
            "0xDD, 0xEE, 0xFF, \r");
  EXPECT_EQ(text.substr(text.size() - blank_row.size()), blank_row);
  EXPECT_EQ(text.find('\n'), std::string::npos);
}

TEST(Dump, SavesExactlyTheTextAndReportsAnUnwritablePath) {
  FlashBench bench;
  bench.EnterIsp();
  ASSERT_TRUE(bench.ops_.ReadBack());
  const auto dir =
      std::filesystem::temp_directory_path() /
      ("korvalen_dump_" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()));
  std::filesystem::create_directories(dir);
  const auto path = dir / "flash.bin";
  EXPECT_EQ(bench.ops_.SaveReadBackDump(path), std::nullopt);
  std::ifstream file(path, std::ios::binary);
  const std::string saved((std::istreambuf_iterator<char>(file)), {});
  EXPECT_EQ(saved, bench.ops_.ReadBackDumpText());
  EXPECT_FALSE(std::filesystem::exists(dir / "flash.bin.part"));

  const auto missing = dir / "no such dir" / "flash.bin";
  const auto error = bench.ops_.SaveReadBackDump(missing);
  ASSERT_TRUE(error.has_value());
  EXPECT_NE(error->find("flash.bin"), std::string::npos);
  EXPECT_EQ(bench.view_.Last(Target::kProcessInfo), *error);
  EXPECT_FALSE(std::filesystem::exists(missing));
  std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace korvalen::testing
