// The chunk walks (blank check, verify, read back) and programming, run
// against the simulated flash with the link open in ISP mode.
#include <gtest/gtest.h>

#include <vector>

#include "tests/flash/FlashBench.h"

namespace korvalen::testing {
namespace {

// A FlashRead is one 0x81 command carrying the read opcode.
bool IsFlashRead(const std::optional<DecodedRequest>& r) {
  return r && r->setup.request == kRequestFlashCommandRead && r->length == 4;
}

class ChunkWalk : public ::testing::Test {
 protected:
  void SetUp() override {
    bench_.EnterIsp();
    bench_.link_.Open();
  }
  void TearDown() override { bench_.link_.Close(); }

  // Rejects the FlashRead requests whose ordinal (from 1) is in `which`.
  void RejectReads(std::vector<int> which) {
    auto reads = std::make_shared<int>(0);
    bench_.faults_.RejectWhen([reads, which](uint64_t, const std::optional<DecodedRequest>& r) {
      if (!IsFlashRead(r)) return false;
      ++*reads;
      return std::find(which.begin(), which.end(), *reads) != which.end();
    });
  }
  size_t AddressShown(const std::string& text) const {
    return bench_.view_.Count(Target::kProcessAddress, text);
  }

  FlashBench bench_;
  FlashOperations& ops_ = bench_.ops_;
};

TEST_F(ChunkWalk, BlankCheckFailsAtTheWrongByteAfterThreeReads) {
  bench_.device_->flash().Write(0x123, std::vector<uint8_t>{0x00});
  EXPECT_FALSE(ops_.BlankCheckRange(0, 0x200));
  EXPECT_EQ(bench_.view_.Last(Target::kProcessInfo), "Blanking Fail at 0x000123");
  EXPECT_EQ(AddressShown("Blanking Addr: 0x000100"), 3u);
  EXPECT_EQ(AddressShown("Blanking Addr: 0x000140"), 0u);
}

TEST_F(ChunkWalk, OneFailedReadIsRetriedThreeFailTheChunkAtItsAddress) {
  RejectReads({2});
  EXPECT_TRUE(ops_.BlankCheckRange(0, 0x100));
  // Every attempt, failed or not, shows its address and lets the window run.
  EXPECT_EQ(AddressShown("Blanking Addr: 0x000040"), 2u);

  // The third failed read in a row ends the walk.
  bench_.view_.Clear();
  const size_t pumps_before = bench_.view_.pumps();
  RejectReads({2, 3, 4});
  EXPECT_FALSE(ops_.BlankCheckRange(0, 0x100));
  EXPECT_EQ(bench_.view_.Last(Target::kProcessInfo), "Blanking Fail at 0x000040");
  EXPECT_EQ(AddressShown("Blanking Addr: 0x000040"), 3u);
  EXPECT_EQ(bench_.view_.pumps() - pumps_before, 4u);

  // Two failures with a good read between them do not add up.
  RejectReads({1, 2, 4, 5});
  EXPECT_TRUE(ops_.BlankCheckRange(0, 0x80));
}

TEST_F(ChunkWalk, VerifyRetriesAFlippedReadAndComparesWithTheImageAtTheSpanStart) {
  bench_.LoadPattern(0x100);
  bench_.device_->flash().Write(0x4000, bench_.ImageBytes(0, 0x100));
  bench_.device_->flash().AddReadFlip(0x4081, 0x10, 2);
  EXPECT_TRUE(ops_.VerifyRange(0x4000, 0x4100));
  EXPECT_EQ(AddressShown("Verifying Addr: 0x004080"), 3u);

  bench_.device_->flash().AddReadFlip(0x4081, 0x10, 3);
  EXPECT_FALSE(ops_.VerifyRange(0x4000, 0x4100));
  EXPECT_EQ(bench_.view_.Last(Target::kProcessInfo), "Verifying Fail at 0x004081");
}

TEST_F(ChunkWalk, LastChunkIsExaminedOnlyUpToTheSpanEnd) {
  bench_.LoadPattern(0x50);
  bench_.device_->flash().Fill(0, 0x100, 0x00);
  bench_.device_->flash().Write(0, bench_.ImageBytes(0, 0x50));
  EXPECT_TRUE(ops_.VerifyRange(0, 0x50));
  // One byte more and the 0x00 past the image no longer matches its 0xFF.
  EXPECT_FALSE(ops_.VerifyRange(0, 0x51));
  EXPECT_EQ(bench_.view_.Last(Target::kProcessInfo), "Verifying Fail at 0x000050");
}

TEST_F(ChunkWalk, EmptySpansSucceedWithoutARequest) {
  bench_.image_->length = 0;
  bench_.spy_.transfers.clear();
  EXPECT_TRUE(ops_.BlankCheckRange(0x100, 0x100));
  EXPECT_TRUE(ops_.VerifyRange(0x100, 0x100));
  EXPECT_TRUE(ops_.ProgramRange(0x100, 0x100));
  EXPECT_TRUE(ops_.BlankCheck(true));
  EXPECT_TRUE(ops_.Program(true));
  EXPECT_TRUE(ops_.Verify(true));
  EXPECT_TRUE(bench_.spy_.transfers.empty());
}

TEST_F(ChunkWalk, SpansPastTheAddressSpaceOrTheImageAreRefused) {
  EXPECT_FALSE(ops_.BlankCheckRange(kFlashAddressLimit - 0x40, kFlashAddressLimit + 0x40));
  EXPECT_FALSE(ops_.VerifyRange(0, kFirmwareImageSize + 0x40));
  // The read-back buffer mirrors only the first 256 KiB of the flash.
  EXPECT_FALSE(ops_.ReadBackRange(kFirmwareImageSize, kFirmwareImageSize + 0x40));
  EXPECT_FALSE(ops_.ReadBackRange(kFirmwareImageSize - 0x40, kFirmwareImageSize + 0x40));
  EXPECT_FALSE(ops_.ReadBackRange(kFirmwareImageSize + 0x40, kFirmwareImageSize + 0x80));
  EXPECT_TRUE(bench_.spy_.transfers.empty());
  EXPECT_TRUE(ops_.ReadBackRange(kFirmwareImageSize - 0x40, kFirmwareImageSize));
  EXPECT_FALSE(bench_.view_.Last(Target::kProcessInfo).empty());
}

TEST_F(ChunkWalk, ReadBackFillsUnreadBytesAndComparesTwoReads) {
  for (uint32_t i = 0; i < 0x100; ++i)
    bench_.device_->flash().Write(i, std::vector<uint8_t>{static_cast<uint8_t>(i)});
  // Second chunk: each of its three re-reads differs from its first read.
  int fetches = 0;
  bench_.spy_.tamper = [&fetches](const DecodedRequest& r, std::span<uint8_t> data) {
    if (r.setup.request != kRequestFlashFetch || data.size() != 64) return;
    ++fetches;
    if (fetches == 4 || fetches == 6 || fetches == 8) data[5] ^= 0x01;
  };
  bench_.link_.Close();
  EXPECT_FALSE(ops_.ReadBack());
  EXPECT_EQ(bench_.view_.Last(Target::kProcessInfo), "Verifying Fail at 0x000045");
  const auto buffer = ops_.read_back_buffer();
  EXPECT_EQ(buffer[0x3F], 0x3F);
  EXPECT_EQ(buffer[0x46], 0x46);  // the chunk's own copy landed
  EXPECT_EQ(buffer[0x80], 0x5A);  // never read
  EXPECT_EQ(buffer[0x7FFF], 0x5A);
  EXPECT_EQ(bench_.sim_driver_.OpenHandles(), 0u);
}

// ---- Programming -----------------------------------------------------------

TEST_F(ChunkWalk, PageModeSkipsABlankPageAndNeverShowsItsAddress) {
  ops_.SelectProgramMode();
  ASSERT_EQ(ops_.program_chunk_size(), 256);
  bench_.LoadPattern(0x300);
  std::fill_n(bench_.image_->bytes.begin() + 0x100, 0x100, kErasedByte);
  EXPECT_TRUE(ops_.ProgramRange(0x1000, 0x1300));
  EXPECT_EQ(bench_.FlashBytes(0x1000, 0x300), bench_.ImageBytes(0, 0x300));
  EXPECT_EQ(bench_.device_->flash().stats().page_programs, 2u);
  EXPECT_EQ(bench_.view_.Texts(Target::kProcessAddress),
            (std::vector<std::string>{"0x001000", "0x001200"}));
}

TEST_F(ChunkWalk, ChunkSizeZeroFailsAtOnce) {
  bench_.LoadPattern(0x40);
  EXPECT_FALSE(ops_.ProgramRange(0, 0x40));
  EXPECT_TRUE(bench_.spy_.transfers.empty());
}

TEST_F(ChunkWalk, BusyFlashBeforeAPageFailsTheProgramAfter101Reads) {
  ops_.SelectProgramMode();
  bench_.LoadPattern(0x200);
  bench_.device_->flash().SetStuckBusy(true);
  bench_.spy_.transfers.clear();
  EXPECT_FALSE(ops_.ProgramRange(0, 0x200));
  // The write enable and the address still go out, the page does not.
  EXPECT_EQ(bench_.spy_.FlashWritesOf(kOpPageProgram).size(), 0u);
  EXPECT_EQ(bench_.spy_.CountFlashWrites({kOpWriteEnable}), 1u);
  EXPECT_EQ(std::count_if(bench_.spy_.transfers.begin(), bench_.spy_.transfers.end(),
                          [](const SpiedTransfer& t) {
                            return t.setup.request == kRequestFlashCommandRead &&
                                   t.data == std::vector<uint8_t>{kOpReadStatus};
                          }),
            101);
}

TEST(AaiProgram, EveryChunkGetsWriteEnableProgrammedOnesWriteDisable) {
  FlashBench bench(sim::kFlashSst25vf020b);
  bench.EnterIsp();
  bench.link_.Open();
  bench.ops_.SelectProgramMode();
  ASSERT_TRUE(bench.ops_.use_aai_program());
  ASSERT_EQ(bench.ops_.program_chunk_size(), 256);
  bench.LoadPattern(0x300);
  std::fill_n(bench.image_->bytes.begin() + 0x100, 0x100, kErasedByte);
  bench.spy_.transfers.clear();

  EXPECT_TRUE(bench.ops_.ProgramRange(0, 0x300));
  bench.link_.Close();
  EXPECT_EQ(bench.FlashBytes(0, 0x300), bench.ImageBytes(0, 0x300));
  EXPECT_EQ(bench.spy_.CountFlashWrites({kOpWriteEnable}), 3u);
  EXPECT_EQ(bench.spy_.CountFlashWrites({kOpWriteDisable}), 2u);
  EXPECT_EQ(bench.device_->flash().stats().aai_words, 256u);
  EXPECT_EQ(bench.view_.Texts(Target::kProcessAddress),
            (std::vector<std::string>{"0x000000", "0x000100", "0x000200"}));
}

TEST(SmallPages, ProgramBeforeAnySequenceChoosesTheChunkSizeFirst) {
  FlashBench bench(sim::kFlashMx25l1021e);
  bench.EnterIsp();
  bench.LoadPattern(0x100);
  ASSERT_EQ(bench.ops_.program_chunk_size(), 0);
  EXPECT_TRUE(bench.ops_.Program(true));
  EXPECT_EQ(bench.ops_.program_chunk_size(), 32);
  EXPECT_EQ(bench.device_->flash().stats().page_programs, 8u);
  EXPECT_EQ(bench.FlashBytes(0, 0x100), bench.ImageBytes(0, 0x100));
  EXPECT_EQ(bench.view_.Last(Target::kProcessInfo), "Programming Success");
}

// ---- Stop requests ----------------------------------------------------------

TEST_F(ChunkWalk, StopRequestedInAPumpEndsWalksAndProgramming) {
  bench_.view_.on_pump = [this](size_t pumps) {
    if (pumps == 2) ops_.RequestStop();
  };
  EXPECT_FALSE(ops_.BlankCheckRange(0, 0x1000));
  EXPECT_EQ(bench_.view_.Last(Target::kProcessInfo), "Stopped at 0x000080");

  ops_.SelectProgramMode();
  bench_.LoadPattern(0x1000);
  bench_.view_.Clear();
  EXPECT_FALSE(ops_.ProgramRange(0, 0x1000));
  EXPECT_EQ(bench_.device_->flash().stats().page_programs, 0u);
  EXPECT_EQ(bench_.view_.Last(Target::kProcessInfo), "Stopped at 0x000000");
}

}  // namespace
}  // namespace korvalen::testing
