// The USB/IP wire format as the Linux virtual host controller speaks it: the
// operation headers of the import phase and the 48-byte URB headers that
// follow. Every header field is big-endian; the setup packet travels as the
// eight bytes of the USB request itself.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace korvalen::usbip {

inline constexpr uint16_t kProtocolVersion = 0x0111;
inline constexpr uint16_t kOpReqDevlist = 0x8005;
inline constexpr uint16_t kOpRepDevlist = 0x0005;
inline constexpr uint16_t kOpReqImport = 0x8003;
inline constexpr uint16_t kOpRepImport = 0x0003;
inline constexpr uint32_t kOpStatusOk = 0;
inline constexpr uint32_t kOpStatusFailed = 1;
inline constexpr size_t kOpHeaderSize = 8;
inline constexpr size_t kBusIdSize = 32;
// The exported-device record: path[256], busid[32], then busnum, devnum,
// speed (u32 each), idVendor, idProduct, bcdDevice (u16 each), six bytes.
inline constexpr size_t kDeviceRecordSize = 312;
inline constexpr size_t kInterfaceRecordSize = 4;

inline constexpr uint32_t kCmdSubmit = 1;
inline constexpr uint32_t kCmdUnlink = 2;
inline constexpr uint32_t kRetSubmit = 3;
inline constexpr uint32_t kRetUnlink = 4;
inline constexpr size_t kUrbHeaderSize = 48;
inline constexpr uint32_t kDirOut = 0;
inline constexpr uint32_t kDirIn = 1;
// number_of_packets of a non-isochronous transfer (0 from older hosts).
inline constexpr uint32_t kNotIsochronous = 0xFFFFFFFF;
inline constexpr uint32_t kSpeedHigh = 3;  // enum usb_device_speed

// URB status values (negated errno as the host's URB carries them).
inline constexpr int32_t kStatusOk = 0;
inline constexpr int32_t kStatusStall = -32;       // -EPIPE
inline constexpr int32_t kStatusCancelled = -104;  // -ECONNRESET: unlinked

// The largest data stage of one control transfer (wLength is 16 bits).
inline constexpr uint32_t kMaxControlData = 0xFFFF;

inline void Put16(std::span<uint8_t> at, uint16_t v) {
  at[0] = static_cast<uint8_t>(v >> 8);
  at[1] = static_cast<uint8_t>(v);
}
inline void Put32(std::span<uint8_t> at, uint32_t v) {
  for (int i = 0; i < 4; ++i) at[i] = static_cast<uint8_t>(v >> (24 - 8 * i));
}
inline uint16_t Get16(std::span<const uint8_t> at) {
  return static_cast<uint16_t>(at[0] << 8 | at[1]);
}
inline uint32_t Get32(std::span<const uint8_t> at) {
  return uint32_t{at[0]} << 24 | uint32_t{at[1]} << 16 | uint32_t{at[2]} << 8 | at[3];
}

// The fields of a CMD_SUBMIT or CMD_UNLINK this server looks at.
struct UrbCommand {
  uint32_t command = 0;
  uint32_t seqnum = 0;
  uint32_t devid = 0;
  uint32_t direction = 0;
  uint32_t endpoint = 0;
  uint32_t buffer_length = 0;   // CMD_SUBMIT
  uint32_t packet_count = 0;    // CMD_SUBMIT: number_of_packets
  uint32_t unlink_seqnum = 0;   // CMD_UNLINK: the URB to cancel
  std::array<uint8_t, 8> setup{};
};

inline UrbCommand ParseUrbCommand(std::span<const uint8_t, kUrbHeaderSize> h) {
  UrbCommand c;
  c.command = Get32(h.subspan(0, 4));
  c.seqnum = Get32(h.subspan(4, 4));
  c.devid = Get32(h.subspan(8, 4));
  c.direction = Get32(h.subspan(12, 4));
  c.endpoint = Get32(h.subspan(16, 4));
  c.unlink_seqnum = Get32(h.subspan(20, 4));
  c.buffer_length = Get32(h.subspan(24, 4));
  c.packet_count = Get32(h.subspan(32, 4));
  for (size_t i = 0; i < 8; ++i) c.setup[i] = h[40 + i];
  return c;
}

}  // namespace korvalen::usbip
