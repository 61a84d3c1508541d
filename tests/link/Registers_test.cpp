#include "link/Registers.h"

#include <gtest/gtest.h>

#include <array>
#include <map>

#include "tests/link/Transcript.h"

namespace korvalen::testing {
namespace {

using RegisterAccess = OpenLinkTest;

TEST_F(RegisterAccess, WritesAndReadsOneRegisterByWIndex) {
  driver_.replies = {{true, {}}, {true, {0x5A}}};
  uint8_t value = 0;
  EXPECT_TRUE(WriteRegister(link_, 0xA4, 0x3C));
  EXPECT_TRUE(ReadRegister(link_, 0xA5, &value));
  EXPECT_EQ(value, 0x5A);
  EXPECT_EQ(Transcript(driver_), (std::vector<Req>{WriteReg(0xA4, 0x3C), ReadReg(0xA5, 0x5A)}));
}

TEST_F(RegisterAccess, RefusedReadLeavesDestinationUnchanged) {
  // The driver scribbles into the buffer and still refuses.
  driver_.replies = {{false, {0x11}}};
  uint8_t value = 0x77;
  EXPECT_FALSE(ReadRegister(link_, 174, &value));
  EXPECT_EQ(value, 0x77);
}

TEST_F(RegisterAccess, NothingIsSentWithoutAnOpenLink) {
  link_.Close();
  driver_.ClearCalls();
  uint8_t value = 0x77;
  EXPECT_FALSE(WriteRegister(link_, 1, 2));
  EXPECT_FALSE(ReadRegister(link_, 1, &value));
  EXPECT_FALSE(SelectBank(link_, 3));
  EXPECT_EQ(value, 0x77);
  EXPECT_TRUE(driver_.calls.empty());
}

TEST_F(RegisterAccess, SelectBankWritesRegisterZero) {
  EXPECT_TRUE(SelectBank(link_, 14));
  EXPECT_EQ(Transcript(driver_), (std::vector<Req>{WriteReg(0, 14)}));
}

TEST_F(RegisterAccess, EnteringIspSendsModeRequestThenRoutesPins) {
  EXPECT_TRUE(SetIspMode(link_, true));
  const Req enter{kVendorOut, kRequestEnterIsp, 0xB6A3, 0xF8E2, {}};
  EXPECT_EQ(Transcript(driver_),
            (std::vector<Req>{enter, WriteReg(0, 13), WriteReg(7, 0x10), WriteReg(1, 3)}));
}

TEST_F(RegisterAccess, LeavingIspWritesOnlyTheRoutingRegister) {
  EXPECT_TRUE(SetIspMode(link_, false));
  const Req leave{kVendorOut, kRequestLeaveIsp, 0x91E7, 0x7F03, {}};
  EXPECT_EQ(Transcript(driver_), (std::vector<Req>{leave, WriteReg(0, 13), WriteReg(7, 0)}));
}

TEST_F(RegisterAccess, IspResultIsTheModeRequestsAlone) {
  // Refused mode request, accepted routing: false, routing still sent.
  driver_.replies = {{false, {}}, {true, {}}, {true, {}}, {true, {}}};
  EXPECT_FALSE(SetIspMode(link_, true));
  EXPECT_EQ(driver_.Transfers().size(), 4u);
  // Accepted mode request, refused routing: true.
  driver_.ClearCalls();
  driver_.replies = {{true, {}}, {false, {}}, {false, {}}};
  EXPECT_TRUE(SetIspMode(link_, false));
}

// The firmware side of the mailbox: registers of bank 0 and a command
// register that reads `status` from the given poll on.
class Mailbox : public OpenLinkTest {
 protected:
  Mailbox() {
    link_.Close();
    driver_.ClearCalls();
    driver_.responder = [this](const DecodedRequest& r, std::span<uint8_t> out) {
      const uint8_t reg = static_cast<uint8_t>(r.setup.index);
      if (!r.DeviceToHost()) {
        registers_[reg] = out[0];
      } else if (reg == kRegMailboxCommand) {
        out[0] = ++command_reads_ >= done_on_read_ ? kMailboxDone : registers_[reg];
      } else {
        out[0] = registers_[reg];
      }
      return true;
    };
  }

  std::vector<Req> Polls(int count) {
    std::vector<Req> polls;
    for (int i = 1; i <= count; ++i) {
      polls.push_back(ReadReg(kRegMailboxCommand, i >= done_on_read_ ? kMailboxDone : 0x10));
    }
    return polls;
  }

  std::map<uint8_t, uint8_t> registers_;
  int command_reads_ = 0;
  int done_on_read_ = 1000;  // never
};

TEST_F(Mailbox, CountZeroSendsArgumentsCommandPollsAndClears) {
  EXPECT_TRUE(MailboxCommand(link_, clock_, 0x10, 0x20, 0, 0, nullptr));
  std::vector<Req> expected = {WriteReg(0, 0), WriteReg(145, 0x20), WriteReg(146, 0),
                               WriteReg(144, 0x10)};
  Append(expected, Polls(20));
  expected.push_back(WriteReg(144, 0));
  EXPECT_EQ(Transcript(driver_), expected);
  EXPECT_EQ(clock_.sleeps, std::vector<uint32_t>(20, 10));
  // It brackets its own requests with an open and a close.
  EXPECT_EQ(driver_.CallsOf(RecordedCall::Kind::kOpen).size(), 1u);
  EXPECT_EQ(driver_.CallsOf(RecordedCall::Kind::kClose).size(), 1u);
  EXPECT_FALSE(link_.HasHandle());
}

TEST_F(Mailbox, FetchingCommandReadsDataAfterDoneAndLeavesCommandRegister) {
  done_on_read_ = 3;
  registers_ = {{147, 0xA1}, {148, 0xB2}, {149, 0xC3}, {150, 0xD4}};
  std::array<uint8_t, 4> settings = {};
  EXPECT_TRUE(MailboxCommand(link_, clock_, 0x10, 0x21, 0, 4, settings.data()));
  std::vector<Req> expected = {WriteReg(0, 0), WriteReg(145, 0x21), WriteReg(146, 0),
                               WriteReg(144, 0x10)};
  Append(expected, Polls(3));
  Append(expected,
         {ReadReg(147, 0xA1), ReadReg(148, 0xB2), ReadReg(149, 0xC3), ReadReg(150, 0xD4)});
  EXPECT_EQ(Transcript(driver_), expected);
  EXPECT_EQ(settings, (std::array<uint8_t, 4>{0xA1, 0xB2, 0xC3, 0xD4}));
  EXPECT_EQ(clock_.sleeps.size(), 3u);
}

TEST_F(Mailbox, StringChunkWritesDataRegistersBeforeTheCommand) {
  done_on_read_ = 1;
  std::array<uint8_t, 5> chunk = {'a', 'b', 'c', 'd', 'e'};
  EXPECT_TRUE(MailboxCommand(link_, clock_, 0x10, 0x14, 2, 5, chunk.data()));
  EXPECT_EQ(Transcript(driver_),
            (std::vector<Req>{WriteReg(0, 0), WriteReg(147, 'a'), WriteReg(148, 'b'),
                              WriteReg(149, 'c'), WriteReg(150, 'd'), WriteReg(151, 'e'),
                              WriteReg(145, 0x14), WriteReg(146, 2), WriteReg(144, 0x10),
                              ReadReg(144, kMailboxDone), WriteReg(144, 0)}));
}

TEST_F(Mailbox, AbsentDeviceStillEndsAfterTwentyPolls) {
  driver_.unopenable.insert(kPath);
  std::array<uint8_t, 4> settings = {1, 2, 3, 4};
  EXPECT_TRUE(MailboxCommand(link_, clock_, 0x10, 0x21, 0, 4, settings.data()));
  EXPECT_TRUE(driver_.CallsOf(RecordedCall::Kind::kIoControl).empty());
  EXPECT_EQ(clock_.sleeps.size(), 20u);
  EXPECT_EQ(settings, (std::array<uint8_t, 4>{1, 2, 3, 4}));
}

TEST_F(Mailbox, RefusesDataPastRegister255WithoutOpening) {
  std::array<uint8_t, 110> data = {};
  EXPECT_FALSE(MailboxCommand(link_, clock_, 0x10, 0x20, 0, 110, data.data()));
  EXPECT_FALSE(MailboxCommand(link_, clock_, 0x10, 0x20, 0, 1, nullptr));
  EXPECT_TRUE(driver_.calls.empty());
  EXPECT_TRUE(clock_.sleeps.empty());
  // 109 bytes end exactly at register 255.
  done_on_read_ = 1;
  EXPECT_TRUE(MailboxCommand(link_, clock_, 0x10, 0x20, 0, 109, data.data()));
  EXPECT_EQ(Transcript(driver_)[109], WriteReg(255, 0));
}

TEST_F(Mailbox, FirmwareVersionReadsBothRegistersInBankZero) {
  registers_ = {{174, 1}, {175, 7}};
  const FirmwareVersion version = ReadFirmwareVersion(link_);
  EXPECT_EQ(version.major, 1);
  EXPECT_EQ(version.minor, 7);
  EXPECT_EQ(Transcript(driver_),
            (std::vector<Req>{WriteReg(0, 0), ReadReg(174, 1), ReadReg(175, 7)}));
  EXPECT_FALSE(link_.HasHandle());
}

TEST_F(Mailbox, FirmwareVersionOfAbsentDeviceIsZero) {
  driver_.unopenable.insert(kPath);
  const FirmwareVersion version = ReadFirmwareVersion(link_);
  EXPECT_EQ(version.major, 0);
  EXPECT_EQ(version.minor, 0);
}

}  // namespace
}  // namespace korvalen::testing
