// Chip registers, ISP mode and the firmware mailbox: the requests that turn
// the link's control transfers into register accesses of the chip.
#pragma once

#include <cstdint>

#include "link/Clock.h"
#include "link/NorvaneUsb.h"

namespace korvalen {

inline constexpr uint8_t kRequestWriteRegister = 0x90;
inline constexpr uint8_t kRequestReadRegister = 0x91;
inline constexpr uint8_t kRequestEnterIsp = 0x84;
inline constexpr uint8_t kRequestLeaveIsp = 0x85;
// The chip honours the ISP-mode requests only with these exact values.
inline constexpr uint16_t kEnterIspValue = 0xB6A3;
inline constexpr uint16_t kEnterIspIndex = 0xF8E2;
inline constexpr uint16_t kLeaveIspValue = 0x91E7;
inline constexpr uint16_t kLeaveIspIndex = 0x7F03;

inline constexpr uint8_t kRegBankSelect = 0;
inline constexpr uint8_t kBankMailbox = 0;
inline constexpr uint8_t kBankIspRouting = 13;
inline constexpr uint8_t kBankI2c = 14;
inline constexpr uint8_t kRegMailboxCommand = 144;
inline constexpr uint8_t kRegMailboxArgument1 = 145;
inline constexpr uint8_t kRegMailboxArgument2 = 146;
inline constexpr uint8_t kRegMailboxData = 147;
inline constexpr uint8_t kRegStatus0 = 164;
inline constexpr uint8_t kRegFirmwareMajor = 174;
inline constexpr uint8_t kRegFirmwareMinor = 175;
// The firmware answers this in the command register when a command is done.
inline constexpr uint8_t kMailboxDone = 0xEE;
// Mailbox data registers run from 147 to 255.
inline constexpr unsigned kMailboxMaxData = 256 - kRegMailboxData;

// Each needs an open link and returns whether the request was accepted.
bool WriteRegister(NorvaneUsb& link, uint8_t reg, uint8_t value);
// Leaves *value unchanged when the request fails.
bool ReadRegister(NorvaneUsb& link, uint8_t reg, uint8_t* value);
bool SelectBank(NorvaneUsb& link, uint8_t bank);
// Sends the mode request and routes the flash pins (bank 13 stays selected);
// the result is the mode request's alone.
bool SetIspMode(NorvaneUsb& link, bool enter);

// Opens and closes the link itself. Returns true once the exchange has run,
// whatever the device answered; false only when count would run past
// register 255, and then nothing is sent. *done, when given, says whether
// the firmware's done status came before the polls ran out.
bool MailboxCommand(NorvaneUsb& link, Clock& clock, uint8_t command, uint8_t argument1,
                    uint8_t argument2, uint8_t count, uint8_t* data, bool* done = nullptr);

struct FirmwareVersion {
  uint8_t major = 0;
  uint8_t minor = 0;
};
// Opens the link, selects bank 0, reads registers 174/175 and closes it. A
// failed read leaves its number 0.
FirmwareVersion ReadFirmwareVersion(NorvaneUsb& link);

}  // namespace korvalen
