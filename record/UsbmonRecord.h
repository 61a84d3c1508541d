// One record of a capture in the Linux usbmon binary layout (link type
// DLT_USB_LINUX_MMAPPED): a 64-byte header followed by the captured data.
// Capture tools decode these as USB traffic; the replay reads them back.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "link/RequestRecord.h"

namespace korvalen::record {

inline constexpr int kLinkTypeUsbLinuxMmapped = 220;
inline constexpr size_t kUsbmonHeaderSize = 64;

inline constexpr char kEventSubmit = 'S';
inline constexpr char kEventComplete = 'C';
inline constexpr uint8_t kTransferControl = 2;
// The status a submission carries while the transfer is in flight.
inline constexpr int32_t kStatusInProgress = -115;
// A request the driver did not carry; the driver does not say why.
inline constexpr int32_t kStatusIoError = -5;
// flag_setup when the record carries no setup packet.
inline constexpr char kNoSetup = '-';
// The transfer flag that marks an IN transfer.
inline constexpr uint32_t kUrbDirIn = 0x200;

// A device note rides on this transfer type, which no USB device uses on the
// control endpoint, so it can never be taken for a transfer of the device.
inline constexpr uint8_t kTransferNote = 3;
// The note's data: this line, then "class=" and "path=" lines.
inline constexpr std::string_view kNoteMagic = "korvalen-device";

struct UsbmonRecord {
  uint64_t id = 0;
  char event = kEventSubmit;
  uint8_t transfer_type = kTransferControl;
  uint8_t endpoint = 0;  // 0x80 | number for IN
  uint8_t device = 0;
  uint16_t bus = 0;
  bool has_setup = false;
  int64_t seconds = 0;
  int32_t micros = 0;
  int32_t status = 0;
  uint32_t urb_length = 0;  // bytes asked for (submit) or transferred (complete)
  SetupPacket setup;
  uint16_t setup_length = 0;  // wLength
  std::vector<uint8_t> data;  // the captured bytes

  uint64_t TimeMicros() const {
    return static_cast<uint64_t>(seconds) * 1000000 + static_cast<uint64_t>(micros);
  }
  void SetTimeMicros(uint64_t micros_since_epoch);
};

// Header and data as they go into the capture, in this machine's byte order
// (the capture file's header says which that is).
std::vector<uint8_t> EncodeUsbmon(const UsbmonRecord& record);
// nullopt when the bytes are shorter than the header or than the data the
// header announces.
std::optional<UsbmonRecord> DecodeUsbmon(std::span<const uint8_t> bytes);

}  // namespace korvalen::record
