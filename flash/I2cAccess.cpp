#include "flash/I2cAccess.h"

#include <algorithm>

#include "image/HexDigits.h"
#include "link/I2cEngine.h"

namespace korvalen {
namespace {

constexpr size_t kDigitsPerByte = 2;
constexpr uint8_t kByteMask = 0xFF;

uint8_t ClampLength(int length) {
  return static_cast<uint8_t>(std::clamp(length, kI2cRawMinLength, kI2cRawMaxLength));
}

// The fields' bytes into out, as many as length says.
void PackFields(std::span<const std::string> texts, uint8_t length,
                std::array<uint8_t, kI2cRawMaxLength>& out) {
  for (uint8_t i = 0; i < length; ++i) {
    const std::string_view text = i < texts.size() ? std::string_view(texts[i]) : "";
    out[i] = static_cast<uint8_t>(ParseHexDigits(text, kDigitsPerByte));
  }
}

}  // namespace

std::optional<uint8_t> SlaveAddressFromText(std::string_view typed) {
  const std::optional<uint32_t> value = ParseTypedHex(typed);
  if (!value) return std::nullopt;
  return static_cast<uint8_t>(*value & kByteMask);
}

std::optional<uint8_t> SteppedValue(I2cGridKey key, uint8_t value) {
  switch (key) {
    case I2cGridKey::kEnter:
      return value;
    case I2cGridKey::kInsert:
      if (value == 0xFF) return std::nullopt;
      return static_cast<uint8_t>(value + 1);
    case I2cGridKey::kDelete:
      if (value == 0x00) return std::nullopt;
      return static_cast<uint8_t>(value - 1);
  }
  return std::nullopt;
}

I2cRawTransfer PackRawTransfer(std::span<const std::string> command_texts, int command_length,
                               std::span<const std::string> data_texts, int data_length) {
  I2cRawTransfer transfer;
  transfer.command_length = ClampLength(command_length);
  transfer.data_length = ClampLength(data_length);
  PackFields(command_texts, transfer.command_length, transfer.command);
  PackFields(data_texts, transfer.data_length, transfer.data);
  return transfer;
}

void I2cSlaveAccess::Setup() {
  link_.Open();
  I2cSetup(link_);
  link_.Close();
}

bool I2cSlaveAccess::ReadRegister(uint8_t reg) {
  link_.Open();
  const bool acknowledged = I2cReadRegs(link_, slave_address_, reg, 1, &shadow_[reg]);
  link_.Close();
  return acknowledged;
}

void I2cSlaveAccess::ReadAll(const std::function<bool(uint8_t reg)>& after_each) {
  link_.Open();
  for (size_t reg = 0; reg < kI2cSlaveRegisters; ++reg) {
    const auto n = static_cast<uint8_t>(reg);
    I2cReadRegs(link_, slave_address_, n, 1, &shadow_[n]);
    if (!after_each(n)) break;
  }
  link_.Close();
}

bool I2cSlaveAccess::GridKey(I2cGridKey key, uint8_t reg, std::string_view cell_text) {
  const std::optional<uint32_t> typed = ParseTypedHex(cell_text);
  if (!typed) return false;
  // The converted value stays in the shadow even when nothing is sent.
  shadow_[reg] = static_cast<uint8_t>(*typed & kByteMask);
  const std::optional<uint8_t> value = SteppedValue(key, shadow_[reg]);
  if (!value) return true;
  shadow_[reg] = *value;
  WriteAndReadBack(reg, kI2cKeyWriteSettleMs);
  return true;
}

void I2cSlaveAccess::WriteBits(uint8_t reg, uint8_t value) {
  shadow_[reg] = value;
  WriteAndReadBack(reg, kI2cBitWriteSettleMs);
}

void I2cSlaveAccess::WriteAndReadBack(uint8_t reg, uint32_t settle_ms) {
  link_.Open();
  I2cWriteRegs(link_, slave_address_, reg, 1, &shadow_[reg]);
  clock_.Sleep(settle_ms);
  // What the slave really holds is shown, not what was written; without an
  // acknowledge the entry keeps the value that was to be written.
  I2cReadRegs(link_, slave_address_, reg, 1, &shadow_[reg]);
  link_.Close();
}

void I2cSlaveAccess::WriteRaw(const I2cRawTransfer& transfer) {
  link_.Open();
  I2cWriteRaw(link_, slave_address_, transfer.command_length, transfer.command.data(),
              transfer.data_length, transfer.data.data());
  link_.Close();
}

std::optional<std::vector<uint8_t>> I2cSlaveAccess::ReadRaw(const I2cRawTransfer& transfer) {
  std::vector<uint8_t> received(transfer.data_length, 0);
  link_.Open();
  const bool acknowledged =
      I2cReadRaw(link_, slave_address_, transfer.command_length, transfer.command.data(),
                 transfer.data_length, received.data());
  link_.Close();
  if (!acknowledged) return std::nullopt;
  return received;
}

}  // namespace korvalen
