#include "link/Registers.h"

#include "link/RequestRecord.h"

namespace korvalen {
namespace {

// Flash pin routing in bank 13: ISP mode hands the flash pins to the host's
// pass-through, leaving gives them back to the running firmware.
constexpr uint8_t kRegIspRouting = 7;
constexpr uint8_t kRegIspPins = 1;
constexpr uint8_t kIspRoutingToHost = 0x10;
constexpr uint8_t kIspPinsToHost = 3;
constexpr uint8_t kIspRoutingToFirmware = 0;

// Bit 0 of argument 1 says which way the mailbox data travel.
constexpr uint8_t kMailboxFetchBit = 0x01;
constexpr uint8_t kMailboxIdle = 0;
// The firmware gets 20 looks at the command register, 10 ms apart.
constexpr int kMailboxPolls = 20;
constexpr uint32_t kMailboxPollMs = 10;

}  // namespace

bool WriteRegister(NorvaneUsb& link, uint8_t reg, uint8_t value) {
  return link.ControlTransfer(kVendorOut, kRequestWriteRegister, 0, reg, &value, 1);
}

bool ReadRegister(NorvaneUsb& link, uint8_t reg, uint8_t* value) {
  if (value == nullptr) return false;
  // Read into a scratch byte so a refused request leaves the caller's byte
  // as it was, whatever the driver did to the buffer.
  uint8_t answer = 0;
  if (!link.ControlTransfer(kVendorIn, kRequestReadRegister, 0, reg, &answer, 1)) return false;
  *value = answer;
  return true;
}

bool SelectBank(NorvaneUsb& link, uint8_t bank) {
  return WriteRegister(link, kRegBankSelect, bank);
}

bool SetIspMode(NorvaneUsb& link, bool enter) {
  const bool accepted = enter ? link.ControlTransfer(kVendorOut, kRequestEnterIsp, kEnterIspValue,
                                                     kEnterIspIndex, nullptr, 0)
                              : link.ControlTransfer(kVendorOut, kRequestLeaveIsp, kLeaveIspValue,
                                                     kLeaveIspIndex, nullptr, 0);
  // The routing follows the mode request whatever its outcome; only the mode
  // request decides the result.
  SelectBank(link, kBankIspRouting);
  if (enter) {
    WriteRegister(link, kRegIspRouting, kIspRoutingToHost);
    WriteRegister(link, kRegIspPins, kIspPinsToHost);
  } else {
    WriteRegister(link, kRegIspRouting, kIspRoutingToFirmware);
  }
  return accepted;
}

bool MailboxCommand(NorvaneUsb& link, Clock& clock, uint8_t command, uint8_t argument1,
                    uint8_t argument2, uint8_t count, uint8_t* data, bool* done) {
  // Data registers end at 255; a longer exchange would wrap into the bank's
  // low registers, so it is refused before anything is sent.
  if (count > kMailboxMaxData) return false;
  if (count > 0 && data == nullptr) return false;
  const bool fetch = (argument1 & kMailboxFetchBit) != 0;

  // Single outcomes are not looked at: the exchange always runs to its end.
  link.Open();
  SelectBank(link, kBankMailbox);
  if (!fetch) {
    for (uint8_t i = 0; i < count; ++i)
      WriteRegister(link, static_cast<uint8_t>(kRegMailboxData + i), data[i]);
  }
  WriteRegister(link, kRegMailboxArgument1, argument1);
  WriteRegister(link, kRegMailboxArgument2, argument2);
  // The firmware starts on the command code, so it goes last.
  WriteRegister(link, kRegMailboxCommand, command);

  bool answered = false;
  for (int poll = 0; poll < kMailboxPolls; ++poll) {
    clock.Sleep(kMailboxPollMs);
    uint8_t state = kMailboxIdle;
    ReadRegister(link, kRegMailboxCommand, &state);
    if (state == kMailboxDone) {
      answered = true;
      break;
    }
  }
  if (done != nullptr) *done = answered;

  if (fetch) {
    for (uint8_t i = 0; i < count; ++i)
      ReadRegister(link, static_cast<uint8_t>(kRegMailboxData + i), &data[i]);
  } else {
    WriteRegister(link, kRegMailboxCommand, kMailboxIdle);
  }
  link.Close();
  return true;
}

FirmwareVersion ReadFirmwareVersion(NorvaneUsb& link) {
  FirmwareVersion version;
  link.Open();
  SelectBank(link, kBankMailbox);
  ReadRegister(link, kRegFirmwareMajor, &version.major);
  ReadRegister(link, kRegFirmwareMinor, &version.minor);
  link.Close();
  return version;
}

}  // namespace korvalen
