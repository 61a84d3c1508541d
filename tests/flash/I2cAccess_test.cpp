// The I2C pages' core against the board's simulated slaves: address text,
// Enter/Insert/Delete stepping, write with read-back, the Read pass and the
// raw transfers, each checked on the bus.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "flash/I2cAccess.h"
#include "sim/SimI2c.h"
#include "tests/flash/FlashBench.h"

namespace korvalen::testing {
namespace {

TEST(SlaveAddressText, KeepsTheLowByteOfATypedHexNumber) {
  EXPECT_EQ(SlaveAddressFromText("20"), 0x20);
  EXPECT_EQ(SlaveAddressFromText("1A0"), 0xA0);
  EXPECT_EQ(SlaveAddressFromText("61"), 0x61);
  EXPECT_EQ(SlaveAddressFromText("ffffffff"), 0xFF);
  for (const char* bad : {"", " 20", "20 ", "-1", "+1", "0x20", "$20", "G0", "123456789"}) {
    EXPECT_EQ(SlaveAddressFromText(bad), std::nullopt) << '"' << bad << '"';
  }
}

TEST(GridKeyStep, InsertAndDeleteStopAtTheEnds) {
  EXPECT_EQ(SteppedValue(I2cGridKey::kEnter, 0xFF), 0xFF);
  EXPECT_EQ(SteppedValue(I2cGridKey::kEnter, 0x00), 0x00);
  EXPECT_EQ(SteppedValue(I2cGridKey::kInsert, 0x7F), 0x80);
  EXPECT_EQ(SteppedValue(I2cGridKey::kInsert, 0xFE), 0xFF);
  EXPECT_EQ(SteppedValue(I2cGridKey::kInsert, 0xFF), std::nullopt);
  EXPECT_EQ(SteppedValue(I2cGridKey::kDelete, 0x80), 0x7F);
  EXPECT_EQ(SteppedValue(I2cGridKey::kDelete, 0x01), 0x00);
  EXPECT_EQ(SteppedValue(I2cGridKey::kDelete, 0x00), std::nullopt);
}

TEST(RawTransferFields, TwoDigitsEachFirstNFieldsLengthsKeptInRange) {
  const std::vector<std::string> command = {"1", "123", "G5", "", "zz"};
  const std::vector<std::string> data = {"a0", "B", "7", "8", "9"};
  const I2cRawTransfer t = PackRawTransfer(command, 5, data, 2);
  EXPECT_EQ(t.command_length, 5);
  EXPECT_EQ(t.data_length, 2);
  EXPECT_EQ(t.command, (std::array<uint8_t, 5>{0x10, 0x12, 0x05, 0x00, 0x00}));
  EXPECT_EQ(t.data[0], 0xA0);
  EXPECT_EQ(t.data[1], 0xB0);
  EXPECT_EQ(t.data[2], 0x00) << "fields past the length are not read";

  const I2cRawTransfer low = PackRawTransfer(command, 0, data, -3);
  EXPECT_EQ(low.command_length, 1);
  EXPECT_EQ(low.data_length, 1);
  const I2cRawTransfer high = PackRawTransfer(command, 6, {}, 9);
  EXPECT_EQ(high.command_length, 5);
  EXPECT_EQ(high.data_length, 5);
  EXPECT_EQ(high.data, (std::array<uint8_t, 5>{}));
}

// The core on a device whose bus carries the board's slaves.
class SlaveAccess : public ::testing::Test {
 protected:
  void SetUp() override {
    sim::AddBoardI2cSlaves(bus());
    access_.Setup();
    bus().ClearEvents();
  }
  sim::SimI2cBus& bus() { return bench_.device_->i2c(); }
  sim::SimI2cSlave& dac() { return *bus().Slave(0x20); }

  FlashBench bench_;
  I2cSlaveAccess access_{bench_.link_, bench_.clock_};
};

TEST_F(SlaveAccess, SetupSelectsTheControllerBankInItsOwnBracket) {
  bench_.link_.Open();
  SelectBank(bench_.link_, 0);
  bench_.link_.Close();
  access_.Setup();
  EXPECT_EQ(bench_.device_->CurrentBank(), 14);
  EXPECT_EQ(bench_.device_->PeekRegister(14, 17), 0x04);
  EXPECT_EQ(bench_.sim_driver_.OpenHandles(), 0u);
}

TEST_F(SlaveAccess, ReadsOneRegisterAtTheSharedAddress) {
  EXPECT_EQ(access_.slave_address(), 0x20);
  dac().SetRegister(0x37, 0x5C);
  EXPECT_TRUE(access_.ReadRegister(0x37));
  EXPECT_EQ(access_.Shadow(0x37), 0x5C);
  EXPECT_EQ(bus().Trace(), "S 20+ 37+ Sr 21+ r5C- P");
  EXPECT_EQ(bench_.sim_driver_.OpenHandles(), 0u);
}

TEST_F(SlaveAccess, InsertConvertsTheCellThenWritesOneMoreAndShowsTheReadBack) {
  ASSERT_TRUE(access_.GridKey(I2cGridKey::kInsert, 0x10, "7F"));
  EXPECT_EQ(bus().Trace(), "S 20+ 10+ 80+ P S 20+ 10+ Sr 21+ r80- P");
  EXPECT_EQ(dac().Register(0x10), 0x80);
  EXPECT_EQ(access_.Shadow(0x10), 0x80);
  EXPECT_EQ(bench_.clock_.SleptMicros(), 1000u);
}

TEST_F(SlaveAccess, KeysAtTheEndsKeepTheConvertedValueAndSendNothing) {
  ASSERT_TRUE(access_.GridKey(I2cGridKey::kInsert, 0x10, "FF"));
  EXPECT_EQ(access_.Shadow(0x10), 0xFF);
  ASSERT_TRUE(access_.GridKey(I2cGridKey::kDelete, 0x11, "100"));
  EXPECT_EQ(access_.Shadow(0x11), 0x00);
  EXPECT_EQ(bus().Trace(), "");
  ASSERT_TRUE(access_.GridKey(I2cGridKey::kDelete, 0x11, "1"));
  EXPECT_EQ(bus().Trace(), "S 20+ 11+ 00+ P S 20+ 11+ Sr 21+ r00- P");
}

TEST_F(SlaveAccess, TextThatDoesNotConvertChangesNothing) {
  ASSERT_TRUE(access_.ReadRegister(0x00));
  bus().ClearEvents();
  for (const char* bad : {"", " 1", "-1", "XY", "123456789"}) {
    EXPECT_FALSE(access_.GridKey(I2cGridKey::kEnter, 0x00, bad)) << bad;
  }
  EXPECT_EQ(access_.Shadow(0x00), 0x8C);
  EXPECT_EQ(bus().Trace(), "");
}

TEST_F(SlaveAccess, ReadBackShowsWhatTheSlaveKept) {
  ASSERT_TRUE(access_.GridKey(I2cGridKey::kEnter, 0x02, "00"));
  EXPECT_EQ(access_.Shadow(0x02), 0x80) << "the lock bit ignores writes";
  access_.WriteBits(0x00, 0x12);
  EXPECT_EQ(access_.Shadow(0x00), 0x8C) << "the chip id is read-only";
  EXPECT_EQ(bench_.clock_.SleptMicros(), 1000u + 30000u);
}

TEST_F(SlaveAccess, SilentSlaveLeavesTheValueThatWasToBeWritten) {
  dac().SetRegister(0x40, 0x33);
  ASSERT_TRUE(access_.ReadRegister(0x40));
  dac().NeverAcknowledge();
  EXPECT_FALSE(access_.ReadRegister(0x40));
  EXPECT_EQ(access_.Shadow(0x40), 0x33);
  access_.WriteBits(0x40, 0x44);
  EXPECT_EQ(access_.Shadow(0x40), 0x44);
  EXPECT_EQ(dac().Register(0x40), 0x33);
  EXPECT_EQ(bench_.sim_driver_.OpenHandles(), 0u);
}

TEST_F(SlaveAccess, ReadPassIsOneTransactionPerRegisterAndStopsWhenAsked) {
  std::vector<uint8_t> seen;
  access_.ReadAll([&](uint8_t reg) {
    seen.push_back(reg);
    return reg < 0x11;
  });
  ASSERT_EQ(seen.size(), 0x12u);
  EXPECT_EQ(seen.back(), 0x11);
  EXPECT_EQ(access_.Shadow(0x00), 0x8C);
  EXPECT_EQ(access_.Shadow(0x03), 0xFF);
  std::string expected;
  for (int reg = 0; reg <= 0x11; ++reg) {
    char item[64];
    std::snprintf(item, sizeof item, "%sS 20+ %02X+ Sr 21+ r%02X- P", reg ? " " : "", reg,
                  dac().Register(reg));
    expected += item;
  }
  EXPECT_EQ(bus().Trace(), expected);
  EXPECT_EQ(bench_.sim_driver_.OpenHandles(), 0u);

  seen.clear();
  access_.ReadAll([&](uint8_t reg) {
    seen.push_back(reg);
    return true;
  });
  EXPECT_EQ(seen.size(), 256u);
}

TEST_F(SlaveAccess, RawWriteAndReadAreEachOneTransaction) {
  access_.set_slave_address(0x60);
  const std::vector<std::string> command = {"21", "AA", "BB", "CC", "DD"};
  const std::vector<std::string> data = {"5A", "01", "02", "03", "04"};
  access_.WriteRaw(PackRawTransfer(command, 3, data, 1));
  EXPECT_EQ(bus().Trace(), "S 60+ 21+ AA+ BB+ 5A+ P");
  bus().ClearEvents();
  const auto read = access_.ReadRaw(PackRawTransfer(command, 1, data, 2));
  ASSERT_TRUE(read.has_value());
  EXPECT_EQ(*read, (std::vector<uint8_t>{0xAA, 0xBB}));
  EXPECT_EQ(bus().Trace(), "S 60+ 21+ Sr 61+ rAA+ rBB- P");
}

TEST_F(SlaveAccess, RawReadFromASilentSlaveGivesNothing) {
  access_.set_slave_address(0x60);
  bus().Device(0x60)->NeverAcknowledge();
  const std::vector<std::string> fields = {"99"};
  EXPECT_EQ(access_.ReadRaw(PackRawTransfer(fields, 1, fields, 1)), std::nullopt);
  EXPECT_EQ(bench_.sim_driver_.OpenHandles(), 0u);
}

}  // namespace
}  // namespace korvalen::testing
