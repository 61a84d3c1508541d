#include "link/DeviceSettings.h"

#include <algorithm>

#include "link/Registers.h"

namespace korvalen {
namespace {

// Every settings exchange uses this mailbox command code.
constexpr uint8_t kSettingsCommand = 0x10;
constexpr uint8_t kSubSettingsWrite = 0x20;
constexpr uint8_t kSubSettingsRead = 0x21;
constexpr uint8_t kSettingsSize = 4;

constexpr uint8_t kMclkShift = 4;
constexpr uint8_t kMclkMask = 0x30;

// An identity string travels as a 32-byte packet (length byte and up to 31
// characters) in chunks of 8; the firmware needs a moment after each chunk.
constexpr size_t kPacketMax = 32;
constexpr size_t kChunkSize = 8;
constexpr uint32_t kChunkPauseMs = 50;
constexpr size_t kIdTextSize = 4;

struct FlagBit {
  int byte;
  uint8_t mask;
};

FlagBit BitOf(SettingsFlag flag) {
  switch (flag) {
    case SettingsFlag::kI2s32Bit: return {0, 0x01};
    case SettingsFlag::kSpdif32Bit: return {0, 0x02};
    case SettingsFlag::kI2sSwap: return {0, 0x04};
    case SettingsFlag::kDsdSwap: return {0, 0x08};
    case SettingsFlag::kLeftJustify: return {0, 0x40};
    case SettingsFlag::kDsdAsDsd: return {0, 0x80};
    case SettingsFlag::kMclkOutOff: return {1, 0x80};
    case SettingsFlag::kI2sOutOff: return {1, 0x40};
    case SettingsFlag::kSpdifOutOff: return {1, 0x20};
    case SettingsFlag::kEepromExists: return {3, 0x80};
  }
  return {0, 0};
}

const char* OnOff(bool on) { return on ? "on" : "off"; }

}  // namespace

bool GetFlag(const DeviceSettingsBlock& block, SettingsFlag flag) {
  const FlagBit bit = BitOf(flag);
  return (block[bit.byte] & bit.mask) != 0;
}

void SetFlag(DeviceSettingsBlock& block, SettingsFlag flag, bool on) {
  const FlagBit bit = BitOf(flag);
  if (on) {
    block[bit.byte] |= bit.mask;
  } else {
    block[bit.byte] &= static_cast<uint8_t>(~bit.mask);
  }
}

int MclkIndex(const DeviceSettingsBlock& block) { return (block[0] & kMclkMask) >> kMclkShift; }

void SetMclkIndex(DeviceSettingsBlock& block, int index) {
  block[0] = static_cast<uint8_t>((block[0] & ~kMclkMask) | ((index << kMclkShift) & kMclkMask));
}

std::string_view MclkText(int index) {
  static constexpr std::string_view kTexts[] = {"128 Fs", "256 Fs", "512 Fs", "1024 Fs"};
  return kTexts[index & 3];
}

std::string_view EepromText(const DeviceSettingsBlock& block) {
  return GetFlag(block, SettingsFlag::kEepromExists) ? "EEPROM Exist" : "EEPROM not Available";
}

std::string DescribeSettings(const DeviceSettingsBlock& block) {
  std::string text;
  auto line = [&text](std::string_view name, std::string_view value) {
    text.append(name).append(": ").append(value).append("\n");
  };
  line("I2S output length", GetFlag(block, SettingsFlag::kI2s32Bit) ? "32 bit" : "24 bit");
  line("SPDIF output length", GetFlag(block, SettingsFlag::kSpdif32Bit) ? "32 bit" : "24 bit");
  line("I2S output channel swap", OnOff(GetFlag(block, SettingsFlag::kI2sSwap)));
  line("DSD output channel swap", OnOff(GetFlag(block, SettingsFlag::kDsdSwap)));
  line("I2S MCLK output frequency", MclkText(MclkIndex(block)));
  line("I2S format", GetFlag(block, SettingsFlag::kLeftJustify) ? "Left Justify" : "Standard");
  line("Output when DSD in", GetFlag(block, SettingsFlag::kDsdAsDsd) ? "DSD" : "DoP");
  line("MCLK output off", OnOff(GetFlag(block, SettingsFlag::kMclkOutOff)));
  line("I2S output off", OnOff(GetFlag(block, SettingsFlag::kI2sOutOff)));
  line("SPDIF output off", OnOff(GetFlag(block, SettingsFlag::kSpdifOutOff)));
  line("EEPROM", EepromText(block));
  return text;
}

bool WriteDeviceSettings(NorvaneUsb& link, Clock& clock, const DeviceSettingsBlock& block) {
  DeviceSettingsBlock copy = block;
  return MailboxCommand(link, clock, kSettingsCommand, kSubSettingsWrite, 0, kSettingsSize,
                        copy.data());
}

bool ReadDeviceSettings(NorvaneUsb& link, Clock& clock, DeviceSettingsBlock& block) {
  return MailboxCommand(link, clock, kSettingsCommand, kSubSettingsRead, 0, kSettingsSize,
                        block.data());
}

uint8_t IdentitySubCommand(IdentityField field) {
  switch (field) {
    case IdentityField::kVid: return 0x08;
    case IdentityField::kPid: return 0x0A;
    case IdentityField::kManufacturer: return 0x10;
    case IdentityField::kProduct: return 0x14;
    case IdentityField::kSerialNumber: return 0x18;
  }
  return 0;
}

size_t IdentityMaxLength(IdentityField field) {
  return field == IdentityField::kVid || field == IdentityField::kPid ? kIdTextSize
                                                                      : kPacketMax - 1;
}

std::string_view IdentityName(IdentityField field) {
  switch (field) {
    case IdentityField::kVid: return "VID";
    case IdentityField::kPid: return "PID";
    case IdentityField::kManufacturer: return "String 1";
    case IdentityField::kProduct: return "String 2";
    case IdentityField::kSerialNumber: return "String 3";
  }
  return "";
}

IdentityPlan PlanIdentityText(IdentityField field, std::string_view text) {
  IdentityPlan plan;
  const size_t max = IdentityMaxLength(field);
  if (text.size() > max) {
    plan.message = std::string(IdentityName(field)) + " not sent: it has " +
                   std::to_string(text.size()) + " bytes, the device takes at most " +
                   std::to_string(max) + ".";
    return plan;
  }
  plan.ok = true;
  if (field == IdentityField::kVid || field == IdentityField::kPid) {
    std::vector<uint8_t> data(kIdTextSize, 0);
    for (size_t i = 0; i < text.size(); ++i) data[i] = static_cast<uint8_t>(text[i]);
    plan.exchanges.push_back({0, std::move(data)});
    return plan;
  }
  std::vector<uint8_t> packet;
  packet.push_back(static_cast<uint8_t>(text.size()));
  packet.insert(packet.end(), text.begin(), text.end());
  for (size_t start = 0, chunk = 0; start < packet.size(); start += kChunkSize, ++chunk) {
    const size_t end = std::min(packet.size(), start + kChunkSize);
    plan.exchanges.push_back({static_cast<uint8_t>(chunk),
                              std::vector<uint8_t>(packet.begin() + start, packet.begin() + end)});
  }
  return plan;
}

IdentityPlan SendIdentityText(NorvaneUsb& link, Clock& clock, IdentityField field,
                              std::string_view text) {
  IdentityPlan plan = PlanIdentityText(field, text);
  if (!plan.ok) return plan;
  const bool chunked = field != IdentityField::kVid && field != IdentityField::kPid;
  plan.confirmed = true;
  for (IdentityExchange& exchange : plan.exchanges) {
    bool done = false;
    MailboxCommand(link, clock, kSettingsCommand, IdentitySubCommand(field), exchange.index,
                   static_cast<uint8_t>(exchange.data.size()), exchange.data.data(), &done);
    plan.confirmed = plan.confirmed && done;
    if (chunked) clock.Sleep(kChunkPauseMs);
  }
  return plan;
}

}  // namespace korvalen
