// The settings block's bits and the identity texts, sent through the link to
// the simulated firmware, which keeps what it received.
#include "link/DeviceSettings.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "link/NorvaneUsb.h"
#include "sim/SimDevice.h"
#include "sim/SimDriver.h"
#include "sim/VirtualClock.h"

namespace korvalen {
namespace {

using Bytes = std::vector<uint8_t>;

struct Firmware {
  Firmware() : device(sim::MakeSimDevice(clock, sim::kSimOrbit)) {
    driver.Attach(device);
    link.SetDriverKind(sim::kSimOrbit.channel);
    link.SetDeviceId(sim::kSimOrbit.id_text);
    link.Probe();
  }
  ~Firmware() { EXPECT_EQ(driver.ContractViolations(), 0u); }
  const std::vector<sim::MailboxExchange>& Received() { return device->mailbox().received; }

  sim::VirtualClock clock;
  sim::SimDriver driver;
  std::shared_ptr<sim::SimDevice> device;
  NorvaneUsb link{driver};
};

TEST(SettingsBlock, EachOptionRewritesOnlyItsOwnBit) {
  const struct {
    SettingsFlag flag;
    int byte;
    uint8_t mask;
  } cases[] = {{SettingsFlag::kI2s32Bit, 0, 0x01},    {SettingsFlag::kSpdif32Bit, 0, 0x02},
               {SettingsFlag::kI2sSwap, 0, 0x04},     {SettingsFlag::kDsdSwap, 0, 0x08},
               {SettingsFlag::kLeftJustify, 0, 0x40}, {SettingsFlag::kDsdAsDsd, 0, 0x80},
               {SettingsFlag::kMclkOutOff, 1, 0x80},  {SettingsFlag::kI2sOutOff, 1, 0x40},
               {SettingsFlag::kSpdifOutOff, 1, 0x20}, {SettingsFlag::kEepromExists, 3, 0x80}};
  for (const auto& c : cases) {
    DeviceSettingsBlock block{0x5A, 0x1F, 0x77, 0x3C};
    const DeviceSettingsBlock before = block;
    SetFlag(block, c.flag, true);
    EXPECT_TRUE(GetFlag(block, c.flag));
    SetFlag(block, c.flag, false);
    EXPECT_FALSE(GetFlag(block, c.flag));
    for (int i = 0; i < 4; ++i) {
      const uint8_t others = static_cast<uint8_t>(i == c.byte ? ~c.mask : 0xFF);
      EXPECT_EQ(block[i] & others, before[i] & others) << "byte " << i;
    }
  }
}

TEST(SettingsBlock, MclkIndexSitsInBitsFourAndFive) {
  DeviceSettingsBlock block{0xCF, 0, 0, 0};
  EXPECT_EQ(MclkIndex(block), 0);
  SetMclkIndex(block, 3);
  EXPECT_EQ(block[0], 0xFF);
  SetMclkIndex(block, 1);
  EXPECT_EQ(block[0], 0xDF);
  EXPECT_EQ(MclkText(MclkIndex(block)), "256 Fs");
  EXPECT_EQ(MclkText(3), "1024 Fs");
}

TEST(SettingsBlock, ReadBackExampleDecodes) {
  const DeviceSettingsBlock block{0x30, 0xE0, 0x00, 0x80};
  EXPECT_EQ(EepromText(block), "EEPROM Exist");
  EXPECT_EQ(DescribeSettings(block),
            "I2S output length: 24 bit\nSPDIF output length: 24 bit\n"
            "I2S output channel swap: off\nDSD output channel swap: off\n"
            "I2S MCLK output frequency: 1024 Fs\nI2S format: Standard\n"
            "Output when DSD in: DoP\nMCLK output off: on\nI2S output off: on\n"
            "SPDIF output off: on\nEEPROM: EEPROM Exist\n");
  EXPECT_EQ(EepromText(kStartupDeviceSettings), "EEPROM not Available");
  EXPECT_EQ(MclkText(MclkIndex(kStartupDeviceSettings)), "512 Fs");
}

TEST(SettingsExchange, WriteAndReadThroughTheFirmware) {
  Firmware fw;
  EXPECT_TRUE(WriteDeviceSettings(fw.link, fw.clock, {0x30, 0xE0, 0x12, 0x80}));
  EXPECT_EQ(fw.device->mailbox().settings, (DeviceSettingsBlock{0x30, 0xE0, 0x12, 0x80}));
  ASSERT_EQ(fw.Received().size(), 1u);
  EXPECT_EQ(fw.Received()[0].sub, 0x20);
  fw.device->mailbox().settings = {0x01, 0x02, 0x03, 0x04};
  DeviceSettingsBlock block{};
  EXPECT_TRUE(ReadDeviceSettings(fw.link, fw.clock, block));
  EXPECT_EQ(block, (DeviceSettingsBlock{0x01, 0x02, 0x03, 0x04}));
  EXPECT_EQ(fw.Received()[1].sub, 0x21);
  EXPECT_TRUE(fw.Received()[1].data.empty()) << "a fetch carries no data out";
}

TEST(IdentityText, VidAndPidGoAsTheirCharactersPaddedWithZeros) {
  Firmware fw;
  EXPECT_TRUE(SendIdentityText(fw.link, fw.clock, IdentityField::kPid, "6012").ok);
  EXPECT_TRUE(SendIdentityText(fw.link, fw.clock, IdentityField::kVid, "5e1a").ok);
  EXPECT_TRUE(SendIdentityText(fw.link, fw.clock, IdentityField::kVid, "5E").ok);
  ASSERT_EQ(fw.Received().size(), 3u);
  EXPECT_EQ(fw.Received()[0].sub, 0x0A);
  EXPECT_EQ(fw.Received()[0].data, (Bytes{0x36, 0x30, 0x31, 0x32}));
  EXPECT_EQ(fw.Received()[1].sub, 0x08);
  EXPECT_EQ(fw.Received()[1].data, (Bytes{0x35, 0x65, 0x31, 0x61}));
  EXPECT_EQ(fw.Received()[2].data, (Bytes{0x35, 0x45, 0x00, 0x00}));
  EXPECT_EQ(fw.device->mailbox().VidText(), "5E");
  EXPECT_EQ(fw.device->mailbox().PidText(), "6012");
}

TEST(IdentityText, StringsGoAsLengthPrefixedChunksOfEight) {
  const struct {
    IdentityField field;
    std::string text;
    uint8_t sub;
    size_t chunks;
    size_t last_chunk;
  } cases[] = {
      {IdentityField::kManufacturer, "", 0x10, 1, 1},
      {IdentityField::kProduct, "ABCDEFG", 0x14, 1, 8},
      {IdentityField::kSerialNumber, "ABCDEFGH", 0x18, 2, 1},
      {IdentityField::kManufacturer, "Norvane-inc", 0x10, 2, 4},
      {IdentityField::kProduct, std::string(31, 'x'), 0x14, 4, 8},
  };
  for (const auto& c : cases) {
    Firmware fw;
    const uint64_t start = fw.clock.NowMicros();
    const IdentityPlan plan = SendIdentityText(fw.link, fw.clock, c.field, c.text);
    ASSERT_TRUE(plan.ok) << plan.message;
    const auto& got = fw.Received();
    ASSERT_EQ(got.size(), c.chunks) << c.text;
    Bytes joined;
    for (size_t i = 0; i < got.size(); ++i) {
      EXPECT_EQ(got[i].sub, c.sub);
      EXPECT_EQ(got[i].index, i);
      EXPECT_EQ(got[i].data.size(), i + 1 == got.size() ? c.last_chunk : 8u);
      joined.insert(joined.end(), got[i].data.begin(), got[i].data.end());
    }
    EXPECT_EQ(joined[0], c.text.size());
    EXPECT_EQ(std::string(joined.begin() + 1, joined.end()), c.text);
    EXPECT_EQ(fw.device->mailbox().StringText((c.sub - 0x10) / 4), c.text);
    EXPECT_GE(fw.clock.NowMicros() - start, c.chunks * 50000u) << "50 ms after each chunk";
  }
}

TEST(IdentityText, NorvaneIncIsEightThenFourBytes) {
  const IdentityPlan plan = PlanIdentityText(IdentityField::kManufacturer, "Norvane-inc");
  ASSERT_EQ(plan.exchanges.size(), 2u);
  EXPECT_EQ(plan.exchanges[0].data, (Bytes{0x0B, 'N', 'o', 'r', 'v', 'a', 'n', 'e'}));
  EXPECT_EQ(plan.exchanges[1].data, (Bytes{'-', 'i', 'n', 'c'}));
}

TEST(IdentityText, TooLongIsRefusedAndNothingSent) {
  Firmware fw;
  const uint64_t requests = fw.device->RequestCount();
  const IdentityPlan string = SendIdentityText(fw.link, fw.clock, IdentityField::kProduct,
                                               std::string(32, 'y'));
  EXPECT_FALSE(string.ok);
  EXPECT_EQ(string.message,
            "String 2 not sent: it has 32 bytes, the device takes at most 31.");
  const IdentityPlan vid = SendIdentityText(fw.link, fw.clock, IdentityField::kVid, "5e1a0");
  EXPECT_FALSE(vid.ok);
  EXPECT_EQ(vid.message, "VID not sent: it has 5 bytes, the device takes at most 4.");
  EXPECT_TRUE(fw.Received().empty());
  EXPECT_EQ(fw.device->RequestCount(), requests) << "not one request";
}

TEST(IdentityText, SilentFirmwareDoesNotHangTheSend) {
  Firmware fw;
  fw.device->faults().mailbox_silent = true;
  EXPECT_TRUE(SendIdentityText(fw.link, fw.clock, IdentityField::kSerialNumber, "NVUA170203").ok);
  EXPECT_TRUE(fw.Received().empty());
  EXPECT_EQ(fw.device->mailbox().StringText(2), "");
}

}  // namespace
}  // namespace korvalen
