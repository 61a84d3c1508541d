// Every fault: as the wrapper around any driver, as chip settings, and as
// the command-line text that the demo and the one-click update tests use.
#include <gtest/gtest.h>

#include <random>

#include "link/FlashPassThrough.h"
#include "link/Registers.h"
#include "sim/FaultDriver.h"
#include "sim/FaultSpec.h"
#include "tests/sim/SimBench.h"

namespace korvalen::sim {
namespace {

using testing::SimBench;

// A device behind a FaultDriver behind the link.
struct FaultBench {
  FaultBench() : device(MakeSimDevice(clock, kSimOrbit)), faults(driver), link(faults) {
    driver.Attach(device);
    link.SetDriverKind(kAudioDriverChannel);
    link.SetDeviceId(kSimOrbit.id_text);
    EXPECT_TRUE(link.Probe());
    EXPECT_TRUE(link.Open());
    faults.ResetCount();
  }
  bool Write(uint8_t reg, uint8_t value) { return WriteRegister(link, reg, value); }

  VirtualClock clock;
  SimDriver driver;
  std::shared_ptr<SimDevice> device;
  FaultDriver faults;
  NorvaneUsb link;
};

TEST(FaultDriver, RejectsRequestNOnce) {
  FaultBench bench;
  bench.faults.RejectRequest(2);
  EXPECT_TRUE(bench.Write(0x20, 1));
  EXPECT_FALSE(bench.Write(0x21, 2));
  EXPECT_TRUE(bench.Write(0x21, 3));
  EXPECT_EQ(bench.device->PeekRegister(0, 0x21), 3);
  // The probe's query and the two accepted writes: the rejected one never reached it.
  EXPECT_EQ(bench.device->RequestCount(), 3u);
  EXPECT_EQ(bench.faults.FaultsInjected(), 1u);
}

TEST(FaultDriver, VanishesFromRequestN) {
  FaultBench bench;
  bench.faults.VanishFrom(3);
  EXPECT_TRUE(bench.Write(0x20, 1));
  EXPECT_TRUE(bench.Write(0x20, 2));
  EXPECT_FALSE(bench.Write(0x20, 3));
  EXPECT_FALSE(bench.Write(0x20, 4));
  EXPECT_FALSE(bench.link.Scan()) << "enumeration finds nothing";
  EXPECT_FALSE(bench.link.Open());
  bench.faults.Revive();
  EXPECT_TRUE(bench.link.Scan());
  EXPECT_TRUE(bench.link.Open());
  EXPECT_TRUE(bench.Write(0x20, 5));
}

TEST(FaultDriver, FlipsABitInTheDataOfARead) {
  FaultBench bench;
  bench.device->PokeRegister(0, 0x30, 0x00);
  bench.faults.FlipBits(1, 0, 0x80);
  uint8_t value = 0;
  EXPECT_TRUE(ReadRegister(bench.link, 0x30, &value));
  EXPECT_EQ(value, 0x80);
  EXPECT_TRUE(ReadRegister(bench.link, 0x30, &value));
  EXPECT_EQ(value, 0x00) << "once only";
}

TEST(FaultDriver, FlipsBitsInEveryFlashFetch) {
  FaultBench bench;
  ASSERT_TRUE(SetIspMode(bench.link, true));
  bench.faults.FlipBitsInEvery(kRequestFlashFetch, 5, 0x01, 2);
  uint8_t data[64];
  for (int read = 0; read < 3; ++read) {
    ASSERT_TRUE(FlashRead(bench.link, bench.clock, 0, 64, data));
    EXPECT_EQ(data[5], read < 2 ? 0xFE : 0xFF) << "read " << read;
    EXPECT_EQ(data[4], 0xFF);
  }
  uint8_t id[1];
  EXPECT_TRUE(ReadRegister(bench.link, 0, id)) << "other requests untouched";
}

TEST(FaultDriver, RejectRuleAndFailingSystemCalls) {
  FaultBench bench;
  bench.faults.RejectWhen([](uint64_t, const std::optional<DecodedRequest>& r) {
    return r && r->setup.request == kRequestWriteRegister && r->setup.index == 0x44;
  });
  EXPECT_FALSE(bench.Write(0x44, 1));
  EXPECT_TRUE(bench.Write(0x45, 1));
  bench.faults.FailEnumeration(true);
  EXPECT_FALSE(bench.faults.EnumerateInterfaces(kAudioDriverInterfaceClass).has_value());
  bench.faults.FailOpen(true);
  EXPECT_FALSE(bench.link.Open());
  bench.faults.ClearFaults();
  EXPECT_TRUE(bench.link.Open());
  EXPECT_TRUE(bench.Write(0x44, 1));
}

TEST(ChipFaults, RejectRequestNCountsFromAttach) {
  SimBench bench;  // the probe's presence query was request 1
  bench.device->faults().reject_request = 3;
  EXPECT_TRUE(bench.WriteReg(0x20, 1));   // 2
  EXPECT_FALSE(bench.WriteReg(0x20, 2));  // 3
  EXPECT_TRUE(bench.WriteReg(0x20, 3));   // 4
  EXPECT_EQ(bench.device->PeekRegister(0, 0x20), 3);
  EXPECT_EQ(bench.device->RequestCount(), 4u);
}

TEST(ChipFaults, VanishFromRequestNRemovesTheDevice) {
  SimBench bench;
  bench.device->faults().vanish_from_request = 3;
  EXPECT_TRUE(bench.WriteReg(0x20, 1));
  EXPECT_FALSE(bench.WriteReg(0x20, 2));
  EXPECT_FALSE(bench.device->Present());
  EXPECT_FALSE(bench.link.Scan());
  EXPECT_EQ(bench.device->RequestCount(), 3u);
  EXPECT_FALSE(bench.WriteReg(0x20, 3));
  EXPECT_EQ(bench.device->RequestCount(), 3u) << "a vanished device counts nothing";
}

TEST(ChipFaults, StuckBusyRunsTheHostIntoItsPollLimit) {
  SimBench bench;
  bench.device->flash().SetStuckBusy(true);
  bench.EnterIsp();
  EXPECT_EQ(bench.WaitIdle(1000), 1000);
  EXPECT_EQ(FlashReadStatus(bench.link) & kStatusBusy, kStatusBusy);
}

TEST(ChipFaults, WeakCellFailsVerifyThenPrograms) {
  SimBench bench;
  bench.device->flash().AddWeakCell(0x0105, 1);
  bench.EnterIsp();
  const uint8_t data[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  for (int attempt = 0; attempt < 2; ++attempt) {
    ASSERT_TRUE(FlashWriteEnable(bench.link));
    ASSERT_TRUE(FlashPageProgram(bench.link, 0x100, 8, data));
    bench.WaitIdle();
    EXPECT_EQ(bench.ReadFlash(0x105, 1).at(0), attempt == 0 ? 0xFF : 6) << attempt;
  }
}

TEST(ChipFaults, MailboxThatNeverAnswers) {
  SimBench bench;
  bench.device->faults().mailbox_silent = true;
  uint8_t settings[4] = {};
  MailboxCommand(bench.link, bench.clock, 0x10, 0x21, 0, 4, settings);
  EXPECT_EQ(bench.device->mailbox().commands_done, 0u);
  ASSERT_TRUE(bench.link.Open());
  bench.WriteReg(0, 0);
  EXPECT_EQ(bench.ReadReg(144), 0x10);
}

TEST(ChipFaults, ReadThatFlipsABit) {
  SimBench bench;
  bench.device->flash().AddReadFlip(0x22, 0x04);
  bench.EnterIsp();
  EXPECT_EQ(bench.ReadFlash(0x20, 4), (std::vector<uint8_t>{0xFF, 0xFF, 0xFB, 0xFF}));
  EXPECT_EQ(bench.ReadFlash(0x20, 4), std::vector<uint8_t>(4, 0xFF));
}

TEST(ChipFaults, ReadThatIsNeverReady) {
  SimBench bench;
  bench.device->faults().unready_read_address = 0x40;
  bench.device->faults().unready_reads = 2;
  bench.EnterIsp();
  for (int read = 0; read < 3; ++read) {
    ASSERT_TRUE(bench.Out(0x81, 64, 1, {0x03, 0x00, 0x00, 0x40}));
    bench.clock.Sleep(10);
    EXPECT_EQ(bench.Ready(), read == 2) << read;
  }
  // Other commands and other addresses are not held up.
  EXPECT_EQ(bench.ReadFlash(0x80, 4), std::vector<uint8_t>(4, 0xFF));
  bench.device->faults().unready_reads = 1;
  EXPECT_EQ(bench.Status() & kStatusBusy, 0);
  EXPECT_EQ(bench.ReadFlash(0x00, 4), std::vector<uint8_t>(4, 0xFF));
}

TEST(FaultSpecText, ParsesTheFourCommandLineFaults) {
  const auto parsed = ParseFaultSpec("reject:7, vanish:0x20,stuck-busy,weak:0x1234:3");
  ASSERT_TRUE(parsed.ok()) << parsed.error;
  ASSERT_EQ(parsed.specs.size(), 4u);
  EXPECT_EQ(parsed.specs[0], (FaultSpec{FaultSpec::Kind::kReject, 7, 0, 0}));
  EXPECT_EQ(parsed.specs[1], (FaultSpec{FaultSpec::Kind::kVanish, 32, 0, 0}));
  EXPECT_EQ(parsed.specs[2].kind, FaultSpec::Kind::kStuckBusy);
  EXPECT_EQ(parsed.specs[3], (FaultSpec{FaultSpec::Kind::kWeakCell, 0, 0x1234, 3}));
}

TEST(FaultSpecText, ParsesTheOtherFaults) {
  const auto parsed = ParseFaultSpec("mailbox-silent,flip:100:0x80,i2c-nak:0x20");
  ASSERT_TRUE(parsed.ok()) << parsed.error;
  ASSERT_EQ(parsed.specs.size(), 3u);
  EXPECT_EQ(parsed.specs[1], (FaultSpec{FaultSpec::Kind::kReadFlip, 0, 100, 0x80}));
  EXPECT_EQ(parsed.specs[2], (FaultSpec{FaultSpec::Kind::kI2cNak, 0, 0x20, 0}));
}

TEST(FaultSpecText, RejectsMalformedText) {
  for (const char* text : {"",
                           "  ",
                           "reject",
                           "reject:",
                           "reject:0",
                           "reject:-1",
                           "reject:5x",
                           "reject:0x",
                           "vanish:1:2",
                           "stuck-busy:1",
                           "weak:0x100",
                           "weak:0x100:0",
                           "weak:0x1000000:1",
                           "weak:zz:1",
                           "flip:1:0",
                           "flip:1:0x100",
                           "i2c-nak:256",
                           "explode",
                           "reject:5,,vanish:2",
                           "Reject:5",
                           "reject:99999999999999999999"}) {
    const auto parsed = ParseFaultSpec(text);
    EXPECT_FALSE(parsed.ok()) << "'" << text << "'";
    EXPECT_TRUE(parsed.specs.empty());
  }
  EXPECT_NE(ParseFaultSpec("reject:0").error.find("request number"), std::string::npos);
  EXPECT_NE(ParseFaultSpec("explode").error.find("unknown"), std::string::npos);
}

TEST(FaultSpecText, FormatReadsBack) {
  for (const char* text : {"reject:5", "vanish:12", "stuck-busy", "weak:0x000100:2",
                           "mailbox-silent", "flip:0x000040:0x01", "i2c-nak:0x20"}) {
    const auto parsed = ParseFaultSpec(text);
    ASSERT_TRUE(parsed.ok()) << text;
    EXPECT_EQ(FormatFaultSpec(parsed.specs.at(0)), text);
  }
}

TEST(FaultSpecText, RandomTextNeverCrashesAndWhatParsesFormatsBack) {
  const std::string alphabet = "rejctvanishstuck-bywkmlopfi2:,0x9aFZ ";
  std::mt19937 random(20261209);
  for (int round = 0; round < 20000; ++round) {
    std::string text;
    const int length = static_cast<int>(random() % 24);
    for (int i = 0; i < length; ++i) text += alphabet[random() % alphabet.size()];
    if (round % 4 == 0) text = (round % 8 == 0 ? "weak:" : "reject:") + text;
    const auto parsed = ParseFaultSpec(text);
    EXPECT_EQ(parsed.ok(), !parsed.specs.empty()) << text;
    for (const FaultSpec& fault : parsed.specs) {
      const auto again = ParseFaultSpec(FormatFaultSpec(fault));
      ASSERT_TRUE(again.ok()) << text;
      EXPECT_EQ(again.specs.at(0), fault) << text;
    }
  }
}

TEST(FaultSpecText, AppliesToTheDevice) {
  VirtualClock clock;
  auto device = MakeSimDevice(clock, kSimOrbit);
  const auto parsed = ParseFaultSpec(
      "reject:4,vanish:9,stuck-busy,weak:0x10:2,mailbox-silent,flip:0x20:0x01,i2c-nak:0x20");
  ASSERT_TRUE(parsed.ok()) << parsed.error;
  ApplyFaultSpecs(parsed.specs, *device);
  EXPECT_EQ(device->faults().reject_request, 4u);
  EXPECT_EQ(device->faults().vanish_from_request, 9u);
  EXPECT_TRUE(device->faults().mailbox_silent);
  EXPECT_TRUE(device->flash().Busy());
  device->flash().SetStuckBusy(false);
  device->flash().Select();
  for (uint8_t b : {0x03, 0x00, 0x00, 0x20}) device->flash().Exchange(b);
  EXPECT_EQ(device->flash().Exchange(0), 0xFE);
  device->flash().Deselect();
  EXPECT_FALSE(device->i2c().WriteByte(0x20));
  device->i2c().Start();
  EXPECT_FALSE(device->i2c().WriteByte(0x20));
}

}  // namespace
}  // namespace korvalen::sim
