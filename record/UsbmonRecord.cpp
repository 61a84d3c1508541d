#include "record/UsbmonRecord.h"

#include <algorithm>
#include <cstring>

namespace korvalen::record {
namespace {

// Header field offsets.
constexpr size_t kId = 0, kType = 8, kTransferType = 9, kEndpoint = 10, kDevice = 11, kBus = 12,
                 kFlagSetup = 14, kFlagData = 15, kSeconds = 16, kMicros = 24, kStatus = 28,
                 kLength = 32, kCaptured = 36, kSetup = 40, kInterval = 48, kStartFrame = 52,
                 kFlags = 56, kDescriptors = 60;

template <typename T>
void Put(std::vector<uint8_t>& bytes, size_t at, T value) {
  std::memcpy(bytes.data() + at, &value, sizeof value);
}

template <typename T>
T Get(std::span<const uint8_t> bytes, size_t at) {
  T value;
  std::memcpy(&value, bytes.data() + at, sizeof value);
  return value;
}

}  // namespace

void UsbmonRecord::SetTimeMicros(uint64_t micros_since_epoch) {
  seconds = static_cast<int64_t>(micros_since_epoch / 1000000);
  micros = static_cast<int32_t>(micros_since_epoch % 1000000);
}

std::vector<uint8_t> EncodeUsbmon(const UsbmonRecord& record) {
  std::vector<uint8_t> bytes(kUsbmonHeaderSize + record.data.size(), 0);
  Put<uint64_t>(bytes, kId, record.id);
  bytes[kType] = static_cast<uint8_t>(record.event);
  bytes[kTransferType] = record.transfer_type;
  bytes[kEndpoint] = record.endpoint;
  bytes[kDevice] = record.device;
  Put<uint16_t>(bytes, kBus, record.bus);
  bytes[kFlagSetup] = record.has_setup ? 0 : static_cast<uint8_t>(kNoSetup);
  // No data: '<' on an IN submission and '>' on an OUT completion say where
  // the data went, as the kernel's monitor writes them.
  const bool in = (record.endpoint & kDirectionIn) != 0;
  uint8_t data_flag = 0;
  if (record.data.empty() && record.event == kEventSubmit && in) data_flag = '<';
  if (record.data.empty() && record.event == kEventComplete && !in) data_flag = '>';
  bytes[kFlagData] = data_flag;
  Put<int64_t>(bytes, kSeconds, record.seconds);
  Put<int32_t>(bytes, kMicros, record.micros);
  Put<int32_t>(bytes, kStatus, record.status);
  Put<uint32_t>(bytes, kLength, record.urb_length);
  Put<uint32_t>(bytes, kCaptured, static_cast<uint32_t>(record.data.size()));
  if (record.has_setup) {
    // The setup packet is USB's own, little-endian whatever the host.
    bytes[kSetup] = record.setup.request_type;
    bytes[kSetup + 1] = record.setup.request;
    bytes[kSetup + 2] = static_cast<uint8_t>(record.setup.value);
    bytes[kSetup + 3] = static_cast<uint8_t>(record.setup.value >> 8);
    bytes[kSetup + 4] = static_cast<uint8_t>(record.setup.index);
    bytes[kSetup + 5] = static_cast<uint8_t>(record.setup.index >> 8);
    bytes[kSetup + 6] = static_cast<uint8_t>(record.setup_length);
    bytes[kSetup + 7] = static_cast<uint8_t>(record.setup_length >> 8);
  }
  Put<int32_t>(bytes, kInterval, 0);
  Put<int32_t>(bytes, kStartFrame, 0);
  Put<uint32_t>(bytes, kFlags, in ? kUrbDirIn : 0);
  Put<uint32_t>(bytes, kDescriptors, 0);
  std::copy(record.data.begin(), record.data.end(), bytes.begin() + kUsbmonHeaderSize);
  return bytes;
}

std::optional<UsbmonRecord> DecodeUsbmon(std::span<const uint8_t> bytes) {
  if (bytes.size() < kUsbmonHeaderSize) return std::nullopt;
  UsbmonRecord record;
  record.id = Get<uint64_t>(bytes, kId);
  record.event = static_cast<char>(bytes[kType]);
  record.transfer_type = bytes[kTransferType];
  record.endpoint = bytes[kEndpoint];
  record.device = bytes[kDevice];
  record.bus = Get<uint16_t>(bytes, kBus);
  record.has_setup = bytes[kFlagSetup] == 0;
  record.seconds = Get<int64_t>(bytes, kSeconds);
  record.micros = Get<int32_t>(bytes, kMicros);
  record.status = Get<int32_t>(bytes, kStatus);
  record.urb_length = Get<uint32_t>(bytes, kLength);
  const uint32_t captured = Get<uint32_t>(bytes, kCaptured);
  if (captured > bytes.size() - kUsbmonHeaderSize) return std::nullopt;
  if (record.has_setup) {
    const auto s = bytes.subspan(kSetup, 8);
    record.setup = {s[0], s[1], static_cast<uint16_t>(s[2] | s[3] << 8),
                    static_cast<uint16_t>(s[4] | s[5] << 8)};
    record.setup_length = static_cast<uint16_t>(s[6] | s[7] << 8);
  }
  const auto data = bytes.subspan(kUsbmonHeaderSize, captured);
  record.data.assign(data.begin(), data.end());
  return record;
}

}  // namespace korvalen::record
