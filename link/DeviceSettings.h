// The device settings the running firmware keeps: the 4-byte settings block
// of audio output options and the USB identity texts, both exchanged through
// the firmware mailbox with command 0x10. The Parameter page and the command
// line share this; nothing here knows about widgets.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "link/Clock.h"
#include "link/NorvaneUsb.h"

namespace korvalen {

// Byte order as the mailbox carries it: byte 0 general flags, byte 1 output
// switches (bits 5-7), byte 2 unused by the host, byte 3 bit 7 "has EEPROM".
using DeviceSettingsBlock = std::array<uint8_t, 4>;

// What window creation puts in the block before any device was read: 32-bit
// I2S, 24-bit S/PDIF, 512 Fs, Standard, DSD out, nothing switched off.
inline constexpr DeviceSettingsBlock kStartupDeviceSettings{0xA1, 0x00, 0x00, 0x00};

// The one-bit options of the block. Each maps to exactly one bit; setting it
// leaves every other bit of the block as it was.
enum class SettingsFlag {
  kI2s32Bit,      // byte 0 bit 0: I2S output length 32 bit (else 24 bit)
  kSpdif32Bit,    // byte 0 bit 1: S/PDIF output length 32 bit (else 24 bit)
  kI2sSwap,       // byte 0 bit 2: I2S output channel swap
  kDsdSwap,       // byte 0 bit 3: DSD output channel swap
  kLeftJustify,   // byte 0 bit 6: I2S format Left Justify (else Standard)
  kDsdAsDsd,      // byte 0 bit 7: DSD input goes out as DSD (else DoP)
  kMclkOutOff,    // byte 1 bit 7
  kI2sOutOff,     // byte 1 bit 6
  kSpdifOutOff,   // byte 1 bit 5
  kEepromExists,  // byte 3 bit 7: read only, the device reports it
};

bool GetFlag(const DeviceSettingsBlock& block, SettingsFlag flag);
void SetFlag(DeviceSettingsBlock& block, SettingsFlag flag, bool on);

// MCLK output frequency index in byte 0 bits 4-5: 0 "128 Fs", 1 "256 Fs",
// 2 "512 Fs", 3 "1024 Fs". SetMclkIndex uses the low two bits of index.
int MclkIndex(const DeviceSettingsBlock& block);
void SetMclkIndex(DeviceSettingsBlock& block, int index);
std::string_view MclkText(int index);

// "EEPROM Exist" or "EEPROM not Available".
std::string_view EepromText(const DeviceSettingsBlock& block);

// The block as a person reads it, one option per line ("I2S length: 32 bit").
std::string DescribeSettings(const DeviceSettingsBlock& block);

// Sends the block (sub-command 0x20). Needs a closed link; opens it itself.
bool WriteDeviceSettings(NorvaneUsb& link, Clock& clock, const DeviceSettingsBlock& block);
// Fetches the block (sub-command 0x21) into block. A register read that fails
// leaves its byte as it was.
bool ReadDeviceSettings(NorvaneUsb& link, Clock& clock, DeviceSettingsBlock& block);

// The USB identity texts the firmware takes, each with its sub-command.
enum class IdentityField {
  kVid,           // sub-command 0x08, four characters
  kPid,           // sub-command 0x0A, four characters
  kManufacturer,  // sub-command 0x10, string packet
  kProduct,       // sub-command 0x14, string packet
  kSerialNumber,  // sub-command 0x18, string packet
};

uint8_t IdentitySubCommand(IdentityField field);
// How many characters the field holds: 4 for VID/PID, 31 for the strings.
size_t IdentityMaxLength(IdentityField field);
// "VID", "PID", "String 1", "String 2", "String 3".
std::string_view IdentityName(IdentityField field);

// What the device receives for one identity text, in mailbox exchanges. VID
// and PID go as one exchange of four bytes: the characters as typed, then zero
// bytes up to four ("6012" -> 36 30 31 32). A string goes as its packet, a
// length byte followed by the characters without a terminating zero, cut
// into 8-byte chunks, one exchange per chunk with the chunk number as index.
struct IdentityExchange {
  uint8_t index = 0;
  std::vector<uint8_t> data;
};
struct IdentityPlan {
  bool ok = false;
  // Empty when ok; otherwise why nothing may be sent.
  std::string message;
  std::vector<IdentityExchange> exchanges;
  // Set by SendIdentityText: every exchange got the firmware's done status.
  bool confirmed = false;
};

// text is 8-bit characters, one byte each. A text longer than the field holds
// is refused, never cut: a cut text would give the device an identity nobody
// typed.
IdentityPlan PlanIdentityText(IdentityField field, std::string_view text);

// Plans and sends one identity text. Each string chunk is followed by a 50 ms
// wait, giving the firmware time to store it. A refused text sends nothing.
IdentityPlan SendIdentityText(NorvaneUsb& link, Clock& clock, IdentityField field,
                              std::string_view text);

}  // namespace korvalen
