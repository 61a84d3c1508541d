// The SPI NOR flash model at its own interface (chip select, bytes), with
// busy times on the virtual clock.
#include "sim/SimFlash.h"

#include <gtest/gtest.h>

#include <vector>

#include "sim/VirtualClock.h"

namespace korvalen::sim {
namespace {

class SimFlashTest : public ::testing::Test {
 protected:
  void Use(std::string_view name) {
    flash_ = std::make_unique<SimFlash>(clock_, *FindFlashModel(name));
  }
  SimFlash& flash() { return *flash_; }

  // One chip-select cycle: the bytes out, then `answer` bytes clocked in.
  std::vector<uint8_t> Spi(std::vector<uint8_t> out, size_t answer = 0) {
    flash().Select();
    for (uint8_t b : out) flash().Exchange(b);
    std::vector<uint8_t> in;
    for (size_t i = 0; i < answer; ++i) in.push_back(flash().Exchange(0xFF));
    flash().Deselect();
    return in;
  }
  uint8_t Status() { return Spi({0x05}, 1)[0]; }
  void Wren() { Spi({0x06}); }
  void PageProgram(uint32_t address, std::vector<uint8_t> data) {
    std::vector<uint8_t> bytes = {0x02, uint8_t(address >> 16), uint8_t(address >> 8),
                                  uint8_t(address)};
    bytes.insert(bytes.end(), data.begin(), data.end());
    Spi(bytes);
  }
  std::vector<uint8_t> Read(uint32_t address, size_t count) {
    return Spi({0x03, uint8_t(address >> 16), uint8_t(address >> 8), uint8_t(address)}, count);
  }
  // Advances the clock in steps of 1 us until the busy bit clears; returns
  // the busy time measured, or UINT64_MAX after `limit` us.
  uint64_t BusyTime(uint64_t limit = 10'000'000) {
    const uint64_t start = clock_.NowMicros();
    while (Status() & 0x01) {
      if (clock_.NowMicros() - start >= limit) return UINT64_MAX;
      clock_.AdvanceMicros(1);
    }
    return clock_.NowMicros() - start;
  }

  VirtualClock clock_;
  std::unique_ptr<SimFlash> flash_;
};

TEST_F(SimFlashTest, ReadsIdAndStartsErased) {
  Use(kFlashW25x20cl);
  EXPECT_EQ(Spi({0x9F}, 3), (std::vector<uint8_t>{0xEF, 0x30, 0x12}));
  EXPECT_EQ(Read(0x1234, 8), std::vector<uint8_t>(8, 0xFF));
  EXPECT_EQ(Status(), 0x00);
}

TEST_F(SimFlashTest, WriteEnableLatchIsRequiredAndClearedByEachWrite) {
  Use(kFlashW25x20cl);
  PageProgram(0, {0x00});
  EXPECT_EQ(flash().Read(0, 1)[0], 0xFF) << "no write enable, no program";
  EXPECT_EQ(flash().stats().ignored_no_wel, 1u);
  Wren();
  EXPECT_EQ(Status(), 0x02);
  PageProgram(0, {0x12});
  EXPECT_EQ(Status() & 0x02, 0) << "the program cleared the latch";
  BusyTime();
  PageProgram(1, {0x34});
  EXPECT_EQ(flash().Read(0, 2), (std::vector<uint8_t>{0x12, 0xFF}));
  Wren();
  Spi({0x04});
  EXPECT_EQ(Status(), 0x00) << "write disable clears the latch";
  Wren();
  Spi({0x20, 0, 0, 0});
  EXPECT_EQ(Status() & 0x02, 0) << "the erase cleared the latch";
}

TEST_F(SimFlashTest, BusyTimesFollowTheTableOnTheVirtualClock) {
  Use(kFlashMx25l2006e);
  const FlashModel& m = flash().model();
  Wren();
  PageProgram(0, std::vector<uint8_t>(256, 0x00));
  EXPECT_EQ(BusyTime(), m.page_program_us);
  Wren();
  Spi({0x20, 0, 0x10, 0});
  EXPECT_EQ(BusyTime(), m.sector_erase_us);
  Wren();
  Spi({0xC7});
  clock_.Sleep(static_cast<uint32_t>(m.chip_erase_us / 1000) - 1);
  EXPECT_EQ(Status() & 0x01, 0x01) << "still erasing 1 ms before the end";
  clock_.Sleep(1);
  EXPECT_EQ(Status() & 0x01, 0x00);
  Wren();
  Spi({0x01, 0x00});
  EXPECT_EQ(BusyTime(), m.write_status_us);
}

TEST_F(SimFlashTest, SstWordAndBytePrograms) {
  Use(kFlashSst25vf020b);
  Wren();
  Spi({0xAD, 0x00, 0x01, 0x01, 0x11, 0x22});  // odd address: A0 is ignored
  EXPECT_EQ(Status(), 0x40 | 0x02 | 0x01) << "AAI mode, latch still set, busy";
  EXPECT_EQ(BusyTime(), 10u);
  Spi({0xAD, 0x33, 0x44});
  clock_.AdvanceMicros(10);
  Spi({0x9F}, 3);  // ignored in AAI mode
  Spi({0x04});
  EXPECT_EQ(Status(), 0x00) << "write disable ends AAI mode";
  EXPECT_EQ(flash().Read(0x100, 4), (std::vector<uint8_t>{0x11, 0x22, 0x33, 0x44}));
  EXPECT_EQ(flash().stats().aai_words, 2u);
  // 0x02 is a byte program on this part: one byte, the rest is dropped.
  Wren();
  PageProgram(0x200, {0x01, 0x02, 0x03});
  EXPECT_EQ(BusyTime(), 10u);
  EXPECT_EQ(flash().Read(0x200, 3), (std::vector<uint8_t>{0x01, 0xFF, 0xFF}));
}

TEST_F(SimFlashTest, AaiWordSentWhileBusyIsLost) {
  Use(kFlashSst25vf020b);
  Wren();
  Spi({0xAD, 0, 0, 0, 0x11, 0x22});
  Spi({0xAD, 0x33, 0x44});  // no time has passed: the part is still busy
  clock_.AdvanceMicros(10);
  Spi({0xAD, 0x55, 0x66});
  clock_.AdvanceMicros(10);
  Spi({0x04});
  EXPECT_EQ(Status(), 0x00);
  EXPECT_EQ(flash().Read(0, 4), (std::vector<uint8_t>{0x11, 0x22, 0x55, 0x66}));
  EXPECT_EQ(flash().stats().ignored_busy, 1u);
}

TEST_F(SimFlashTest, CommandsOtherThanReadStatusAreIgnoredWhileBusy) {
  Use(kFlashW25x20cl);
  flash().Fill(0x00);
  Wren();
  Spi({0x20, 0, 0, 0});
  EXPECT_EQ(Read(0, 4), std::vector<uint8_t>(4, 0xFF)) << "reads float high while busy";
  EXPECT_EQ(Spi({0x9F}, 3), std::vector<uint8_t>(3, 0xFF));
  Spi({0x06});
  EXPECT_EQ(Status(), 0x01) << "write enable was ignored";
  BusyTime();
  EXPECT_EQ(Read(0x1000, 1)[0], 0x00) << "only the first sector was erased";
  EXPECT_EQ(Read(0x0FFF, 2), (std::vector<uint8_t>{0xFF, 0x00}));
}

TEST_F(SimFlashTest, PageProgramWrapsInsideItsPageAndOnlyClearsBits) {
  Use(kFlashW25x20cl);
  Wren();
  std::vector<uint8_t> data(8);
  for (int i = 0; i < 8; ++i) data[i] = static_cast<uint8_t>(0xA0 + i);
  PageProgram(0x1FC, data);  // 4 bytes to the page end, 4 wrap to its start
  BusyTime();
  EXPECT_EQ(flash().Read(0x1FC, 4), (std::vector<uint8_t>{0xA0, 0xA1, 0xA2, 0xA3}));
  EXPECT_EQ(flash().Read(0x100, 4), (std::vector<uint8_t>{0xA4, 0xA5, 0xA6, 0xA7}));
  EXPECT_EQ(flash().Read(0x200, 1)[0], 0xFF) << "the next page is untouched";
  Wren();
  PageProgram(0x100, {0x0F});
  BusyTime();
  EXPECT_EQ(flash().Read(0x100, 1)[0], 0xA4 & 0x0F) << "programming only clears bits";
}

TEST_F(SimFlashTest, BlockProtectionBlocksWritesAndErases) {
  Use(kFlashW25x20cl);  // BP0-BP2: value 1 protects the upper 1/64 (4 KB)
  Wren();
  Spi({0x01, 0x04});
  BusyTime();
  EXPECT_EQ(Status(), 0x04);
  EXPECT_TRUE(flash().IsProtected(0x3F000));
  EXPECT_FALSE(flash().IsProtected(0x3EFFF));
  Wren();
  PageProgram(0x3F000, {0x00});
  EXPECT_EQ(flash().Read(0x3F000, 1)[0], 0xFF);
  Wren();
  PageProgram(0x3E000, {0x00});
  BusyTime();
  EXPECT_EQ(flash().Read(0x3E000, 1)[0], 0x00) << "below the protected area";
  Wren();
  Spi({0xC7});
  EXPECT_EQ(Status(), 0x04) << "chip erase refused while a block is protected";
  EXPECT_EQ(flash().Read(0x3E000, 1)[0], 0x00);
  EXPECT_EQ(flash().stats().ignored_protected, 2u);
  Wren();
  Spi({0x01, 0x1C});  // all
  BusyTime();
  Wren();
  Spi({0x20, 0x03, 0xE0, 0x00});
  EXPECT_EQ(flash().Read(0x3E000, 1)[0], 0x00);
  EXPECT_EQ(flash().stats().ignored_protected, 3u);
}

TEST_F(SimFlashTest, StatusWriteNeedsEnableAndKeepsFixedBits) {
  Use(kFlashSst25vf020b);
  Spi({0x01, 0x0C});
  EXPECT_EQ(Status(), 0x00) << "no write enable";
  Spi({0x50});  // SST: enable-write-status
  Spi({0x01, 0xFF});
  EXPECT_EQ(Status(), 0x8C) << "busy, latch and AAI bits are not written";
  Spi({0x50});
  Spi({0x05}, 1);
  Spi({0x01, 0x00});
  EXPECT_EQ(Status(), 0x8C) << "0x50 enables only the command right after it";
}

TEST_F(SimFlashTest, ReadRunsOnAndAddressesWrap) {
  Use(kFlashMx25l1021e);  // 128 KB
  flash().Write(0x1FFFE, std::vector<uint8_t>{1, 2});
  flash().Write(0, std::vector<uint8_t>{3, 4});
  EXPECT_EQ(Read(0x1FFFE, 4), (std::vector<uint8_t>{1, 2, 3, 4}));
  EXPECT_EQ(Read(0x21FFFE, 2), (std::vector<uint8_t>{1, 2})) << "upper address bits ignored";
}

TEST_F(SimFlashTest, StuckBusyNeverClears) {
  Use(kFlashW25x20cl);
  flash().SetStuckBusy(true);
  EXPECT_EQ(BusyTime(1000), UINT64_MAX);
  Wren();
  Spi({0xC7});
  EXPECT_EQ(flash().stats().chip_erases, 0u);
  flash().SetStuckBusy(false);
  EXPECT_EQ(Status(), 0x00);
}

TEST_F(SimFlashTest, WeakCellFailsItsFirstProgramAttempts) {
  Use(kFlashW25x20cl);
  flash().AddWeakCell(0x101, 2);
  for (int attempt = 1; attempt <= 3; ++attempt) {
    Wren();
    PageProgram(0x100, {0x11, 0x22, 0x33});
    BusyTime();
    EXPECT_EQ(flash().Read(0x101, 1)[0], attempt <= 2 ? 0xFF : 0x22) << "attempt " << attempt;
    EXPECT_EQ(flash().Read(0x100, 1)[0], 0x11);
  }
}

TEST_F(SimFlashTest, ReadFlipCorruptsOnlyTheNextReads) {
  Use(kFlashW25x20cl);
  flash().Write(0x40, std::vector<uint8_t>{0x00});
  flash().AddReadFlip(0x40, 0x08, 2);
  EXPECT_EQ(Read(0x40, 1)[0], 0x08);
  EXPECT_EQ(Read(0x3F, 2)[1], 0x08);
  EXPECT_EQ(Read(0x40, 1)[0], 0x00);
  EXPECT_EQ(flash().Read(0x40, 1)[0], 0x00) << "the cell itself is sound";
}

TEST_F(SimFlashTest, PowerCycleEndsAaiAndLatch) {
  Use(kFlashSst25vf040b);
  Wren();
  Spi({0xAD, 0, 0, 0, 0x11, 0x22});
  flash().PowerCycle();
  EXPECT_EQ(Status(), 0x00);
}

}  // namespace
}  // namespace korvalen::sim
