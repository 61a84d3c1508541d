#include "link/I2cEngine.h"

#include <gtest/gtest.h>

#include <array>
#include <functional>

#include "tests/link/Transcript.h"

namespace korvalen::testing {
namespace {

// A controller that finishes every byte at once: its status shows the done
// bit, plus the not-acknowledged bit when `acks` refused the byte last sent.
// Received bytes count up from 0x50.
class I2cController : public OpenLinkTest {
 protected:
  I2cController() {
    driver_.responder = [this](const DecodedRequest& r, std::span<uint8_t> out) {
      const uint16_t reg = r.setup.index;
      if (!r.DeviceToHost()) {
        if (reg == kRegI2cTxData) last_acked_ = acks(out[0]);
      } else if (reg == kRegI2cControl) {
        out[0] = Status(last_acked_);
      } else if (reg == kRegI2cRxData) {
        out[0] = next_received_++;
      }
      return true;
    };
  }

  static uint8_t Status(bool acked) { return kI2cStatusDone | (acked ? 0 : kI2cStatusNak); }
  static std::vector<Req> Start() { return {WriteReg(kRegI2cControl, kI2cControlStart)}; }
  static std::vector<Req> Stop() { return {WriteReg(kRegI2cControl, kI2cControlStop)}; }
  static std::vector<Req> Sent(uint8_t byte, bool acked = true) {
    return {WriteReg(kRegI2cByteMode, kI2cByteModeSend), WriteReg(kRegI2cTxData, byte),
            ReadReg(kRegI2cControl, Status(acked)), ReadReg(kRegI2cControl, Status(acked))};
  }
  static std::vector<Req> Received(bool last, uint8_t value) {
    return {WriteReg(kRegI2cControl, last ? kI2cControlReceiveNak : kI2cControlReceiveAck),
            WriteReg(kRegI2cByteMode, kI2cByteModeReceive), ReadReg(kRegI2cControl, Status(true)),
            ReadReg(kRegI2cRxData, value)};
  }
  static std::vector<Req> Join(std::initializer_list<std::vector<Req>> parts) {
    std::vector<Req> all;
    for (const auto& part : parts) Append(all, part);
    return all;
  }

  std::function<bool(uint8_t)> acks = [](uint8_t) { return true; };
  bool last_acked_ = true;
  uint8_t next_received_ = 0x50;
};

TEST_F(I2cController, SetupSelectsBank14EveryTime) {
  I2cSetup(link_);
  I2cSetup(link_);
  EXPECT_EQ(Transcript(driver_),
            (std::vector<Req>{WriteReg(0, 14), WriteReg(17, 4), WriteReg(0, 14), WriteReg(17, 4)}));
}

TEST_F(I2cController, ByteAcknowledgeComesFromTheReadAfterDone) {
  acks = [](uint8_t b) { return b != 0x66; };
  EXPECT_TRUE(I2cWriteByte(link_, 0x55));
  EXPECT_FALSE(I2cWriteByte(link_, 0x66));
  EXPECT_EQ(Transcript(driver_), Join({Sent(0x55), Sent(0x66, false)}));
}

TEST_F(I2cController, ByteThatNeverFinishesGoesOnAfterTwentyReads) {
  driver_.responder = [](const DecodedRequest&, std::span<uint8_t> out) {
    std::fill(out.begin(), out.end(), 0);
    return true;
  };
  EXPECT_TRUE(I2cWriteByte(link_, 0x12));
  // 20 waits for the done bit and the one read that decides the acknowledge.
  EXPECT_EQ(Transcript(driver_).size(), 2u + 21u);
}

TEST_F(I2cController, UnansweredStatusReadIsNotAnAcknowledge) {
  driver_.responder = nullptr;
  driver_.replies = {{true, {}}, {true, {}}, {true, {kI2cStatusDone}}, {false, {0}}};
  EXPECT_FALSE(I2cWriteByte(link_, 0x12));
}

TEST_F(I2cController, SlaveThatNeverAcknowledgesGetsTenStartsAndOneStop) {
  acks = [](uint8_t) { return false; };
  const std::array<uint8_t, 2> data = {1, 2};
  EXPECT_FALSE(I2cWriteRegs(link_, 0x20, 0x05, 2, data.data()));
  std::vector<Req> expected;
  for (int i = 0; i < 10; ++i) Append(expected, Join({Start(), Sent(0x20, false)}));
  Append(expected, Stop());
  EXPECT_EQ(Transcript(driver_), expected);
}

TEST_F(I2cController, SlaveAcknowledgingOnTheTenthAttemptSucceeds) {
  int attempts = 0;
  acks = [&attempts](uint8_t b) { return b != 0x20 || ++attempts == 10; };
  const uint8_t value = 0x3C;
  EXPECT_TRUE(I2cWriteRegs(link_, 0x20, 0x05, 1, &value));
  std::vector<Req> expected;
  for (int i = 0; i < 9; ++i) Append(expected, Join({Start(), Sent(0x20, false)}));
  Append(expected, Join({Start(), Sent(0x20), Sent(0x05), Sent(0x3C), Stop()}));
  EXPECT_EQ(Transcript(driver_), expected);
}

TEST_F(I2cController, WriteRegsIgnoresRefusedRegisterAndDataBytes) {
  acks = [](uint8_t b) { return b == 0x20; };
  const std::array<uint8_t, 2> data = {0xAA, 0xBB};
  EXPECT_TRUE(I2cWriteRegs(link_, 0x20, 0x07, 2, data.data()));
  EXPECT_EQ(Transcript(driver_), Join({Start(), Sent(0x20), Sent(0x07, false), Sent(0xAA, false),
                                       Sent(0xBB, false), Stop()}));
}

TEST_F(I2cController, ReadOfOneByteReceivesItWithoutAcknowledge) {
  uint8_t value = 0;
  EXPECT_TRUE(I2cReadRegs(link_, 0x20, 0x0A, 1, &value));
  EXPECT_EQ(value, 0x50);
  EXPECT_EQ(Transcript(driver_), Join({Start(), Sent(0x20), Sent(0x0A), Start(), Sent(0x21),
                                       Received(true, 0x50), Stop()}));
}

TEST_F(I2cController, ReadAcknowledgesEveryByteButTheLast) {
  std::array<uint8_t, 3> buffer = {};
  EXPECT_TRUE(I2cReadRegs(link_, 0x20, 0x00, 3, buffer.data()));
  EXPECT_EQ(buffer, (std::array<uint8_t, 3>{0x50, 0x51, 0x52}));
  EXPECT_EQ(Transcript(driver_),
            Join({Start(), Sent(0x20), Sent(0x00), Start(), Sent(0x21), Received(false, 0x50),
                  Received(false, 0x51), Received(true, 0x52), Stop()}));
}

TEST_F(I2cController, AddressWithReadBitSetIsSentUnchangedInBothPhases) {
  uint8_t value = 0;
  EXPECT_TRUE(I2cReadRegs(link_, 0x21, 0x01, 1, &value));
  EXPECT_EQ(Transcript(driver_), Join({Start(), Sent(0x21), Sent(0x01), Start(), Sent(0x21),
                                       Received(true, 0x50), Stop()}));
}

TEST_F(I2cController, FailedReadAddressStopsAndLeavesBufferAlone) {
  acks = [](uint8_t b) { return b != 0x21; };
  std::array<uint8_t, 2> buffer = {0x77, 0x77};
  EXPECT_FALSE(I2cReadRegs(link_, 0x20, 0x0A, 2, buffer.data()));
  EXPECT_EQ(buffer, (std::array<uint8_t, 2>{0x77, 0x77}));
  std::vector<Req> expected = Join({Start(), Sent(0x20), Sent(0x0A)});
  for (int i = 0; i < 10; ++i) Append(expected, Join({Start(), Sent(0x21, false)}));
  Append(expected, Stop());
  EXPECT_EQ(Transcript(driver_), expected);
}

TEST_F(I2cController, RawWriteIsOneBusWriteOfCommandThenData) {
  const std::array<uint8_t, 2> command = {0x10, 0x11};
  const uint8_t data = 0x99;
  EXPECT_TRUE(I2cWriteRaw(link_, 0x40, 2, command.data(), 1, &data));
  EXPECT_EQ(Transcript(driver_),
            Join({Start(), Sent(0x40), Sent(0x10), Sent(0x11), Sent(0x99), Stop()}));
}

TEST_F(I2cController, RawReadWithoutCommandStillAddressesForWriteFirst) {
  std::array<uint8_t, 2> buffer = {};
  EXPECT_TRUE(I2cReadRaw(link_, 0x40, 0, nullptr, 2, buffer.data()));
  EXPECT_EQ(Transcript(driver_), Join({Start(), Sent(0x40), Start(), Sent(0x41),
                                       Received(false, 0x50), Received(true, 0x51), Stop()}));
}

TEST_F(I2cController, MissingBuffersAreRefusedBeforeAnythingIsSent) {
  uint8_t byte = 0;
  EXPECT_FALSE(I2cWriteRegs(link_, 0x20, 0, 2, nullptr));
  EXPECT_FALSE(I2cReadRegs(link_, 0x20, 0, 1, nullptr));
  EXPECT_FALSE(I2cWriteRaw(link_, 0x20, 1, nullptr, 0, &byte));
  EXPECT_FALSE(I2cReadRaw(link_, 0x20, 0, nullptr, 1, nullptr));
  EXPECT_TRUE(driver_.calls.empty());
}

}  // namespace
}  // namespace korvalen::testing
