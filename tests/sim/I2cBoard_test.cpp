// The board's I2C slaves through the link's engine: the DAC's register port
// with its read-only registers and its lock bit, the command-coded
// controller, a master that does not acknowledge the last byte, and the
// i2c-nak fault on either kind of slave.
#include <gtest/gtest.h>

#include <array>
#include <string>

#include "link/I2cEngine.h"
#include "sim/FaultSpec.h"
#include "sim/SimI2c.h"
#include "tests/sim/SimBench.h"

namespace korvalen::sim {
namespace {

using testing::SimBench;

class BoardI2c : public ::testing::Test {
 protected:
  void SetUp() override {
    AddBoardI2cSlaves(bus());
    I2cSetup(bench_.link);
    bus().ClearEvents();
  }
  SimI2cBus& bus() { return bench_.device->i2c(); }
  NorvaneUsb& link() { return bench_.link; }

  uint8_t ReadOne(uint8_t address, uint8_t reg) {
    uint8_t value = 0x5A;
    EXPECT_TRUE(I2cReadRegs(link(), address, reg, 1, &value));
    return value;
  }
  void WriteOne(uint8_t address, uint8_t reg, uint8_t value) {
    EXPECT_TRUE(I2cWriteRegs(link(), address, reg, 1, &value));
  }

  SimBench bench_;
};

TEST_F(BoardI2c, DacIdentifiesItselfAndKeepsReadOnlyRegisters) {
  EXPECT_EQ(ReadOne(0x20, 0x00), 0x8C);
  EXPECT_EQ(ReadOne(0x20, 0x01), 0x03);
  WriteOne(0x20, 0x00, 0x12);
  WriteOne(0x20, 0x0F, 0x00);
  EXPECT_EQ(ReadOne(0x20, 0x00), 0x8C);
  EXPECT_EQ(ReadOne(0x20, 0x0F), 0x41);
  EXPECT_NE(bus().Trace().find("S 20+ 00+ 12+ P"), std::string::npos)
      << "a read-only register still acknowledges: " << bus().Trace();
}

TEST_F(BoardI2c, DacLockBitIgnoresWrites) {
  EXPECT_EQ(ReadOne(0x20, 0x02), 0x81);
  WriteOne(0x20, 0x02, 0x00);
  EXPECT_EQ(ReadOne(0x20, 0x02), 0x80);
  WriteOne(0x20, 0x02, 0x7E);
  EXPECT_EQ(ReadOne(0x20, 0x02), 0xFE);
  bus().Slave(0x20)->SetRegister(0x02, 0x00);  // clock lost
  WriteOne(0x20, 0x02, 0xFF);
  EXPECT_EQ(ReadOne(0x20, 0x02), 0x7F);
}

TEST_F(BoardI2c, DacOrdinaryRegistersTakeEveryBit) {
  WriteOne(0x20, 0x80, 0xA5);
  EXPECT_EQ(ReadOne(0x20, 0x80), 0xA5);
  EXPECT_EQ(bus().Slave(0x20)->Register(0x80), 0xA5);
}

TEST_F(BoardI2c, ControllerStoresCommandDataAndAnswersIt) {
  const std::array<uint8_t, 1> code = {0x21};
  const std::array<uint8_t, 3> data = {0x10, 0x20, 0x30};
  ASSERT_TRUE(I2cWriteRaw(link(), 0x60, 1, code.data(), 3, data.data()));
  auto* controller = dynamic_cast<SimI2cCommandSlave*>(bus().Device(0x60));
  ASSERT_NE(controller, nullptr);
  EXPECT_EQ(controller->Data(0x21)[2], 0x30);
  std::array<uint8_t, 2> back = {};
  ASSERT_TRUE(I2cReadRaw(link(), 0x60, 1, code.data(), 2, back.data()));
  EXPECT_EQ(back, (std::array<uint8_t, 2>{0x10, 0x20}));
  EXPECT_EQ(bus().Trace(), "S 60+ 21+ 10+ 20+ 30+ P S 60+ 21+ Sr 61+ r10+ r20- P");
  ASSERT_EQ(controller->writes().size(), 2u);
  EXPECT_EQ(controller->writes()[0], (std::vector<uint8_t>{0x21, 0x10, 0x20, 0x30}));
  EXPECT_EQ(controller->writes()[1], (std::vector<uint8_t>{0x21}));
}

TEST_F(BoardI2c, ControllerRefusesDataForItsIdentificationAndPastTheCommand) {
  const std::array<uint8_t, 1> id_code = {0x99};
  const std::array<uint8_t, 1> junk = {0x00};
  ASSERT_TRUE(I2cWriteRaw(link(), 0x60, 1, id_code.data(), 1, junk.data()));
  EXPECT_EQ(bus().Trace(), "S 60+ 99+ 00- P");
  std::array<uint8_t, 8> id = {};
  ASSERT_TRUE(I2cReadRaw(link(), 0x60, 1, id_code.data(), 8, id.data()));
  EXPECT_EQ(std::string(id.begin(), id.begin() + 7), "KRV-PC1");
  EXPECT_EQ(id[7], 0xFF);

  const std::array<uint8_t, 5> command = {0x30, 1, 2, 3, 4};
  const std::array<uint8_t, 5> data = {5, 6, 7, 8, 9};
  bus().ClearEvents();
  ASSERT_TRUE(I2cWriteRaw(link(), 0x60, 5, command.data(), 5, data.data()));
  EXPECT_EQ(bus().Trace(), "S 60+ 30+ 01+ 02+ 03+ 04+ 05+ 06+ 07+ 08+ 09- P");
}

TEST_F(BoardI2c, SlaveLetsGoOfTheBusAfterTheMastersNak) {
  bus().Slave(0x20)->SetRegister(0x40, 0x11);
  bus().Slave(0x20)->SetRegister(0x41, 0x22);
  // Byte by byte: the engine's sequences never read past a NAK.
  I2cStart(link());
  ASSERT_TRUE(I2cWriteByte(link(), 0x20));
  ASSERT_TRUE(I2cWriteByte(link(), 0x40));
  I2cStart(link());
  ASSERT_TRUE(I2cWriteByte(link(), 0x21));
  uint8_t first = 0, second = 0;
  I2cReadByte(link(), true, &first);
  I2cReadByte(link(), true, &second);
  I2cStop(link());
  EXPECT_EQ(first, 0x11);
  EXPECT_EQ(second, 0xFF) << "nobody drives the bus after the master's NAK";
  EXPECT_EQ(bus().Slave(0x20)->pointer(), 0x41);
}

TEST_F(BoardI2c, NakFaultSilencesEitherKindOfSlave) {
  const struct {
    const char* text;
    uint8_t silent;
    uint8_t other;
  } cases[] = {{"i2c-nak:0x20", 0x20, 0x60}, {"i2c-nak:0x60", 0x60, 0x20}};
  for (const auto& [text, silent, other] : cases) {
    SimBench bench;
    AddBoardI2cSlaves(bench.device->i2c());
    const auto parsed = ParseFaultSpec(text);
    ASSERT_TRUE(parsed.ok()) << parsed.error;
    ApplyFaultSpecs(parsed.specs, *bench.device);
    I2cSetup(bench.link);
    uint8_t value = 0x5A;
    EXPECT_FALSE(I2cReadRegs(bench.link, silent, 0x00, 1, &value)) << text;
    EXPECT_EQ(value, 0x5A) << text;
    EXPECT_TRUE(I2cReadRegs(bench.link, other, 0x00, 1, &value)) << text;
  }
}

}  // namespace
}  // namespace korvalen::sim
