// I2C read and write transactions at the controller-register level (bank
// 14, registers 16 to 20 as the engine drives them), then through the
// link's engine.
#include <gtest/gtest.h>

#include "link/I2cEngine.h"
#include "sim/SimI2c.h"
#include "tests/sim/SimBench.h"

namespace korvalen::sim {
namespace {

using testing::SimBench;

class I2cController : public ::testing::Test {
 protected:
  void SetUp() override {
    bench_.WriteReg(0, 14);
    bench_.WriteReg(17, 4);
    bus().ClearEvents();
  }
  SimI2cBus& bus() { return bench_.device->i2c(); }

  // Waits for the finished bit like the engine: at most 20 status reads.
  uint8_t WaitDone() {
    uint8_t status = 0;
    for (int i = 0; i < 20; ++i) {
      status = bench_.ReadReg(16);
      if (status & 0x01) break;
    }
    return status;
  }
  bool Send(uint8_t byte) {
    bench_.WriteReg(20, 1);
    bench_.WriteReg(18, byte);
    WaitDone();
    return (bench_.ReadReg(16) & 0x08) == 0;
  }
  uint8_t Receive(bool last) {
    bench_.WriteReg(16, last ? 0x90 : 0x80);
    bench_.WriteReg(20, 3);
    WaitDone();
    return bench_.ReadReg(19);
  }
  void Start() { bench_.WriteReg(16, 0xC0); }
  void Stop() { bench_.WriteReg(16, 0xA0); }

  SimBench bench_;
};

TEST_F(I2cController, WriteTransactionStoresRegisters) {
  Start();
  EXPECT_TRUE(Send(0x20));
  EXPECT_TRUE(Send(0x05));
  EXPECT_TRUE(Send(0xAB));
  EXPECT_TRUE(Send(0xCD));
  Stop();
  const SimI2cSlave* slave = bus().Slave(0x20);
  ASSERT_NE(slave, nullptr);
  EXPECT_EQ(slave->Register(5), 0xAB);
  EXPECT_EQ(slave->Register(6), 0xCD);
  EXPECT_EQ(bus().Trace(), "S 20+ 05+ AB+ CD+ P");
}

TEST_F(I2cController, ReadTransactionWithRepeatedStart) {
  bus().Slave(0x20)->SetRegister(0x10, 0x12);
  bus().Slave(0x20)->SetRegister(0x11, 0x34);
  Start();
  EXPECT_TRUE(Send(0x20));
  EXPECT_TRUE(Send(0x10));
  Start();
  EXPECT_TRUE(Send(0x21));
  EXPECT_EQ(Receive(false), 0x12);
  EXPECT_EQ(Receive(true), 0x34);
  Stop();
  EXPECT_EQ(bus().Trace(), "S 20+ 10+ Sr 21+ r12+ r34- P");
}

TEST_F(I2cController, FinishedBitFollowsTheByteTime) {
  bench_.device->timing().request_latency_us = 10;
  Start();
  bench_.clock.AdvanceMicros(20);
  bench_.WriteReg(20, 1);
  bench_.WriteReg(18, 0x20);
  EXPECT_EQ(bench_.ReadReg(16) & 0x01, 0) << "9 bit times at 100 kHz are not over";
  bench_.clock.AdvanceMicros(100);
  EXPECT_EQ(bench_.ReadReg(16), 0x01);
}

TEST_F(I2cController, AbsentSlaveDoesNotAcknowledge) {
  Start();
  EXPECT_FALSE(Send(0x40));
  EXPECT_EQ(WaitDone(), 0x01 | 0x08);
  Stop();
  EXPECT_EQ(bus().Trace(), "S 40- P");
}

TEST_F(I2cController, SlaveThatStopsAcknowledging) {
  bus().Slave(0x20)->StopAcknowledgingAfter(2);
  Start();
  EXPECT_TRUE(Send(0x20));
  EXPECT_TRUE(Send(0x00));
  EXPECT_FALSE(Send(0x77));
  Stop();
  EXPECT_EQ(bus().Slave(0x20)->Register(0), 0x00) << "the refused byte was not stored";
  Start();
  EXPECT_FALSE(Send(0x20));
  Stop();
  bus().Slave(0x20)->AcknowledgeAgain();
  Start();
  EXPECT_TRUE(Send(0x20));
  Stop();
}

TEST_F(I2cController, DisabledControllerDoesNothing) {
  bench_.WriteReg(17, 0);
  Start();
  Send(0x20);
  EXPECT_EQ(bench_.ReadReg(16), 0x00);
  EXPECT_EQ(bus().Trace(), "");
}

TEST(I2cEngineOnSim, RegisterTransfersThroughTheLinksEngine) {
  SimBench bench;
  auto extra = bench.device->i2c().AddSlave(0x90, 16);
  I2cSetup(bench.link);
  const uint8_t data[3] = {1, 2, 3};
  EXPECT_TRUE(I2cWriteRegs(bench.link, 0x20, 0x40, 3, data));
  uint8_t back[3] = {};
  EXPECT_TRUE(I2cReadRegs(bench.link, 0x20, 0x40, 3, back));
  EXPECT_EQ(std::vector<uint8_t>(back, back + 3), (std::vector<uint8_t>{1, 2, 3}));
  EXPECT_TRUE(I2cWriteRegs(bench.link, 0x90, 15, 2, data));
  EXPECT_EQ(extra->Register(15), 1);
  EXPECT_EQ(extra->Register(0), 2) << "a 16-register slave wraps its pointer";
}

TEST(I2cEngineOnSim, NeverAcknowledgingSlaveGetsTenAttemptsAndAStop) {
  SimBench bench;
  bench.device->i2c().Slave(0x20)->NeverAcknowledge();
  I2cSetup(bench.link);
  bench.device->i2c().ClearEvents();
  uint8_t buffer[2] = {0x5A, 0x5A};
  EXPECT_FALSE(I2cReadRegs(bench.link, 0x20, 0, 2, buffer));
  std::string expected;
  for (int i = 0; i < 10; ++i) expected += (i == 0 ? "S 20-" : " Sr 20-");
  EXPECT_EQ(bench.device->i2c().Trace(), expected + " P");
  EXPECT_EQ(buffer[0], 0x5A);
}

}  // namespace
}  // namespace korvalen::sim
