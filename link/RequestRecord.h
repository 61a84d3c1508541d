// The two envelopes in which one vendor control request travels to a driver,
// and the one decoder that turns either envelope back into a USB control
// transfer (used by every driver that is not the real Windows one).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace korvalen {

// Device-interface channel: the firmware-update driver's two vendor codes.
inline constexpr uint32_t kIoctlVendorHostToDevice = 0x222429;  // function 0x90A, direct input
inline constexpr uint32_t kIoctlVendorDeviceToHost = 0x22242E;  // function 0x90B, direct output
// Audio-driver channel: the system's kernel-streaming property request.
inline constexpr uint32_t kIoctlKsProperty = 0x2F0003;

inline constexpr size_t kSetupRecordSize = 24;
inline constexpr size_t kPropertyHeaderSize = 24;
inline constexpr size_t kPropertyDataOffset = 40;
inline constexpr uint32_t kPropertyIdControlTransfer = 7;
inline constexpr uint32_t kPropertyIdPresence = 0;
inline constexpr uint32_t kPropertyFlagGet = 0x1;
inline constexpr uint32_t kPropertyFlagSet = 0x2;
inline constexpr uint32_t kPropertyFlagSetSupport = 0x100;
// The audio driver takes this fixed byte where a setup packet's request type
// would stand; the caller's own request type is not carried.
inline constexpr uint8_t kPropertyRequestTypeByte = 0x20;

// The request types of this system's vendor requests (recipient "other").
inline constexpr uint8_t kVendorOut = 0x43;
inline constexpr uint8_t kVendorIn = 0xC3;
inline constexpr uint8_t kDirectionIn = 0x80;

struct SetupPacket {
  uint8_t request_type = 0;
  uint8_t request = 0;
  uint16_t value = 0;
  uint16_t index = 0;
  bool operator==(const SetupPacket&) const = default;
};

// The 24-byte record of the device-interface channel. setup_length is 0 for
// ordinary transfers (the length travels as the data buffer's size).
std::vector<uint8_t> BuildSetupRecord(const SetupPacket& setup, uint16_t setup_length);
uint32_t SetupRecordIoctl(uint8_t request_type);

// The kernel-streaming property block of the audio-driver channel: data.size()
// + 47 bytes (48 when empty) with a copy of the caller's data at offset 40.
std::vector<uint8_t> BuildPropertyBlock(const SetupPacket& setup, std::span<const uint8_t> data);
// The audio-driver channel's presence test: the property header alone.
std::vector<uint8_t> BuildPresenceQuery();

struct DecodedRequest {
  enum class Kind { kControlTransfer, kPresenceQuery };
  Kind kind = Kind::kControlTransfer;
  // For the audio-driver channel the request type is reconstructed as this
  // system's vendor request type for the direction (0x43 or 0xC3).
  SetupPacket setup;
  uint32_t length = 0;  // bytes of the data stage, carried in the out block
  bool DeviceToHost() const { return (setup.request_type & kDirectionIn) != 0; }
};

// Decodes one I/O-control call as a driver receives it. nullopt when the
// code is unknown or the record is malformed or inconsistent (wrong size,
// direction that contradicts the code, data stage larger than the block).
std::optional<DecodedRequest> DecodeRequest(uint32_t code, std::span<const uint8_t> in,
                                            size_t out_size);

}  // namespace korvalen
