// The chip behind the driver seam: registers and banks, ISP mode, the
// pass-through's one pending answer, the firmware mailbox, requests it
// does not know.
#include "sim/SimDevice.h"

#include <gtest/gtest.h>

#include "link/Registers.h"
#include "tests/sim/SimBench.h"

namespace korvalen::sim {
namespace {

using testing::SimBench;

TEST(SimDevice, RegisterZeroOfEveryBankSelectsTheBank) {
  SimBench bench;
  EXPECT_TRUE(bench.WriteReg(0, 5));
  EXPECT_TRUE(bench.WriteReg(0x40, 0x12));
  EXPECT_EQ(bench.ReadReg(0), 5);
  EXPECT_TRUE(bench.WriteReg(0, 6));
  EXPECT_EQ(bench.ReadReg(0x40), 0x00);
  EXPECT_TRUE(bench.WriteReg(0x40, 0x34));
  EXPECT_TRUE(bench.WriteReg(0, 5));
  EXPECT_EQ(bench.ReadReg(0x40), 0x12);
  EXPECT_EQ(bench.device->PeekRegister(6, 0x40), 0x34);
  EXPECT_EQ(bench.device->CurrentBank(), 5);
}

TEST(SimDevice, StatusAndVersionRegistersBelongToTheFirmware) {
  SimBench bench;
  bench.device->SetStatusRegisters(0x04, 0x55, 0x01);
  bench.device->SetFirmwareVersion(2, 9);
  EXPECT_TRUE(bench.WriteReg(0, 0));
  EXPECT_TRUE(bench.WriteReg(164, 0xAA)) << "accepted";
  EXPECT_EQ(bench.ReadReg(164), 0x04) << "but not stored";
  EXPECT_EQ(bench.ReadReg(165), 0x55);
  EXPECT_EQ(bench.ReadReg(166), 0x01);
  EXPECT_EQ(bench.ReadReg(174), 2);
  EXPECT_EQ(bench.ReadReg(175), 9);
}

TEST(SimDevice, ModelRunsFirmwareUpdateIdentityDoesNot) {
  SimBench model(kSimOrbitMax);
  EXPECT_TRUE(model.device->FirmwareRunning());
  EXPECT_EQ(model.ReadReg(174), 1);
  EXPECT_EQ(model.ReadReg(175), 7);
  SimBench loader(kSimUpdate5E1A);
  EXPECT_FALSE(loader.device->FirmwareRunning());
  EXPECT_EQ(loader.ReadReg(174), 0);
}

TEST(SimDevice, RegisterRequestsNeedTheirDataStage) {
  SimBench bench;
  EXPECT_FALSE(bench.Out(0x90, 0, 0x10, {}));
  EXPECT_FALSE(bench.Out(0x90, 0, 0x10, {1, 2}));
  EXPECT_FALSE(bench.Out(0x90, 0, 0x100, {1})) << "register numbers stop at 255";
  std::vector<uint8_t> two(2);
  EXPECT_FALSE(bench.In(0x91, 0, 0x10, two));
}

TEST(SimDevice, UnknownRequestsAreRejected) {
  SimBench bench;
  std::vector<uint8_t> one(1);
  EXPECT_FALSE(bench.Out(0x42, 0, 0));
  EXPECT_FALSE(bench.In(0x99, 0, 0, one));
  EXPECT_FALSE(bench.In(0x90, 0, 0, one)) << "write register in the IN direction";
  EXPECT_EQ(bench.device->RejectedCount(), 3u);
}

TEST(SimDevice, IspModeOnlyWithItsExactValues) {
  SimBench bench;
  EXPECT_FALSE(bench.Out(0x84, 0xB6A3, 0xF8E3));
  EXPECT_FALSE(bench.Out(0x84, 0xB6A2, 0xF8E2));
  EXPECT_FALSE(bench.Out(0x84, 0xB6A3, 0xF8E2, {0}));
  EXPECT_FALSE(bench.device->IspMode());
  EXPECT_TRUE(bench.Out(0x84, 0xB6A3, 0xF8E2));
  EXPECT_TRUE(bench.device->IspMode());
  EXPECT_FALSE(bench.Out(0x85, 0x91E7, 0x7F04));
  EXPECT_TRUE(bench.device->IspMode());
  EXPECT_TRUE(bench.Out(0x85, 0x91E7, 0x7F03));
  EXPECT_FALSE(bench.device->IspMode());
}

TEST(SimDevice, PassThroughNeedsIspModeAndRouting) {
  SimBench bench;
  std::vector<uint8_t> one(1);
  EXPECT_FALSE(bench.FlashWrite({0x06})) << "outside ISP mode the pass-through stalls";
  EXPECT_FALSE(bench.In(0x83, 0, 0, one));
  ASSERT_TRUE(bench.Out(0x84, 0xB6A3, 0xF8E2));
  EXPECT_FALSE(bench.device->FlashRouted());
  EXPECT_EQ(bench.Command({0x9F}, 3), std::vector<uint8_t>(3, 0xFF)) << "flash not on the pins";
  bench.WriteReg(0, 13);
  bench.WriteReg(7, 0x10);
  EXPECT_FALSE(bench.device->FlashRouted());
  bench.WriteReg(1, 3);
  EXPECT_TRUE(bench.device->FlashRouted());
  EXPECT_EQ(bench.Command({0x9F}, 3), (std::vector<uint8_t>{0xEF, 0x30, 0x12}));
  bench.LeaveIsp();
  EXPECT_FALSE(bench.device->FlashRouted());
}

TEST(SimDevice, FlashWritePacketsWithIndexZeroKeepTheTransferOpen) {
  SimBench bench;
  bench.EnterIsp();
  ASSERT_TRUE(bench.FlashWrite({0x06}));
  ASSERT_TRUE(bench.FlashWrite({0x02, 0x00, 0x01}, 0));
  ASSERT_TRUE(bench.FlashWrite({0x00}, 0));  // last address byte
  EXPECT_TRUE(bench.device->flash().selected());
  ASSERT_TRUE(bench.FlashWrite({0xAB, 0xCD}));
  EXPECT_FALSE(bench.device->flash().selected());
  bench.WaitIdle();
  EXPECT_EQ(bench.device->flash().Read(0x100, 2), (std::vector<uint8_t>{0xAB, 0xCD}));
  EXPECT_FALSE(bench.FlashWrite({0x06}, 2)) << "wIndex is 0 or 1";
}

TEST(SimDevice, AnswerReadyAfterATimeProportionalToItsLength) {
  SimBench bench;
  bench.EnterIsp();
  // A status byte is ready at the first poll under the default latency.
  ASSERT_TRUE(bench.Out(0x81, 1, 1, {0x05}));
  EXPECT_TRUE(bench.Ready());
  // A 64-byte read is not: the host's 1 ms waits between polls matter.
  ASSERT_TRUE(bench.Out(0x81, 64, 1, {0x03, 0, 0, 0}));
  EXPECT_FALSE(bench.Ready());
  bench.clock.Sleep(1);
  EXPECT_TRUE(bench.Ready());
  EXPECT_FALSE(bench.Out(0x81, 257, 1, {0x03, 0, 0, 0})) << "the answer buffer holds 256";
  EXPECT_FALSE(bench.Out(0x81, 1, 0, {0x05})) << "a command with answer ends its transfer";
}

TEST(SimDevice, EarlyFetchGetsTheBytesThatAreInAndStaleOnesAfter) {
  SimBench bench;
  bench.device->flash().Fill(0x11);
  bench.device->flash().Fill(0x1000, 64, 0x22);
  bench.EnterIsp();
  bench.ReadFlash(0, 64);  // the buffer now holds 0x11s
  ASSERT_TRUE(bench.Out(0x81, 64, 1, {0x03, 0, 0x10, 0}));
  std::vector<uint8_t> early(64);
  ASSERT_TRUE(bench.In(0x82, 0, 0, early));  // 250 us in: some bytes arrived
  EXPECT_EQ(early.front(), 0x22);
  EXPECT_EQ(early.back(), 0x11);
  bench.clock.Sleep(1);
  std::vector<uint8_t> late(64);
  ASSERT_TRUE(bench.In(0x82, 0, 0, late));
  EXPECT_EQ(late, std::vector<uint8_t>(64, 0x22));
}

TEST(SimDevice, PassThroughWaitsForTheSpiEngine) {
  SimBench bench;
  bench.device->timing().request_latency_us = 0;
  bench.EnterIsp();
  const uint64_t start = bench.clock.NowMicros();
  ASSERT_TRUE(bench.FlashWrite(std::vector<uint8_t>(200, 0xFF)));
  ASSERT_TRUE(bench.FlashWrite({0x04}));
  EXPECT_GE(bench.clock.NowMicros() - start, 200u * 8) << "the second packet waited";
}

TEST(SimDevice, LatencyAdvancesTheClockPerRequest) {
  SimBench bench;
  bench.device->timing().request_latency_us = 400;
  const uint64_t start = bench.clock.NowMicros();
  bench.ReadReg(0);
  bench.ReadReg(0);
  EXPECT_EQ(bench.clock.NowMicros() - start, 800u);
}

TEST(SimDevice, MailboxStoresWhatTheParameterPageSends) {
  SimBench bench;
  uint8_t vid[4] = {'5', 'e', '1', 'a'};
  MailboxCommand(bench.link, bench.clock, 0x10, 0x08, 0, 4, vid);
  uint8_t chunk0[8] = {11, 'N', 'o', 'r', 'v', 'a', 'n', 'e'};
  uint8_t chunk1[4] = {'-', 'i', 'n', 'c'};
  MailboxCommand(bench.link, bench.clock, 0x10, 0x10, 0, 8, chunk0);
  MailboxCommand(bench.link, bench.clock, 0x10, 0x10, 1, 4, chunk1);
  uint8_t settings[4] = {0x30, 0xE0, 0x00, 0x80};
  MailboxCommand(bench.link, bench.clock, 0x10, 0x20, 0, 4, settings);
  const MailboxStore& store = bench.device->mailbox();
  EXPECT_EQ(store.VidText(), "5e1a");
  EXPECT_EQ(store.StringText(0), "Norvane-inc");
  EXPECT_EQ(store.settings, (std::array<uint8_t, 4>{0x30, 0xE0, 0x00, 0x80}));
  EXPECT_EQ(store.commands_done, 4u);
  uint8_t back[4] = {};
  bench.device->mailbox().settings = {1, 2, 3, 4};
  MailboxCommand(bench.link, bench.clock, 0x10, 0x21, 0, 4, back);
  EXPECT_EQ(std::vector<uint8_t>(back, back + 4), (std::vector<uint8_t>{1, 2, 3, 4}));
}

TEST(SimDevice, MailboxAnswersAfterItsDelay) {
  SimBench bench;
  bench.WriteReg(0, 0);
  bench.WriteReg(145, 0x21);
  bench.WriteReg(144, 0x10);
  EXPECT_EQ(bench.ReadReg(144), 0x10) << "not done yet";
  bench.clock.Sleep(10);
  EXPECT_EQ(bench.ReadReg(144), 0x10);
  bench.clock.Sleep(10);
  EXPECT_EQ(bench.ReadReg(144), 0xEE);
}

TEST(SimDevice, MediaKeyAnsweredWith31) {
  SimBench bench;
  bench.WriteReg(0, 0);
  bench.WriteReg(145, 0x10);
  bench.WriteReg(144, 0x30);
  bench.clock.Sleep(10);
  EXPECT_EQ(bench.ReadReg(144), 0x31);
  EXPECT_EQ(bench.device->mailbox().media_keys, std::vector<uint8_t>{0x10});
}

TEST(SimDevice, UnknownMailboxCommandIsRefused) {
  SimBench bench;
  bench.WriteReg(0, 0);
  bench.WriteReg(145, 0x44);
  bench.WriteReg(144, 0x10);
  bench.clock.Sleep(20);
  EXPECT_EQ(bench.ReadReg(144), kMailboxRefused);
}

TEST(SimDevice, FirmwareIsHaltedInIspModeAndAbsentOnTheLoader) {
  SimBench bench;
  bench.EnterIsp();
  bench.WriteReg(0, 0);
  bench.WriteReg(145, 0x21);
  bench.WriteReg(144, 0x10);
  bench.clock.Sleep(100);
  EXPECT_EQ(bench.ReadReg(144), 0x10);
  bench.LeaveIsp();
  bench.WriteReg(0, 0);
  EXPECT_EQ(bench.ReadReg(144), 0xEE) << "runs again after ISP mode";

  SimBench loader(kSimUpdate0C3D);
  loader.WriteReg(0, 0);
  loader.WriteReg(144, 0x10);
  loader.clock.Sleep(1000);
  EXPECT_EQ(loader.ReadReg(144), 0x10);
}

TEST(SimDevice, DirectControlTransferSkipsTheEnvelope) {
  VirtualClock clock;
  auto device = MakeSimDevice(clock, kSimOrbit);
  uint8_t value = 9;
  EXPECT_TRUE(device->ControlTransfer({kVendorOut, 0x90, 0, 0x20}, {&value, 1}));
  EXPECT_EQ(device->PeekRegister(0, 0x20), 9);
  EXPECT_EQ(clock.NowMicros(), 0u) << "no latency";
  EXPECT_EQ(MakeSimDevice(clock, kSimOrbit, "no-such-flash"), nullptr);
}

}  // namespace
}  // namespace korvalen::sim
