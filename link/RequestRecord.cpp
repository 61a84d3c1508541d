#include "link/RequestRecord.h"

#include <algorithm>

#include "link/Driver.h"

namespace korvalen {
namespace {

void Put16(std::vector<uint8_t>& b, size_t at, uint16_t v) {
  b[at] = static_cast<uint8_t>(v);
  b[at + 1] = static_cast<uint8_t>(v >> 8);
}

void Put32(std::vector<uint8_t>& b, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + i] = static_cast<uint8_t>(v >> (8 * i));
}

uint16_t Get16(std::span<const uint8_t> b, size_t at) {
  return static_cast<uint16_t>(b[at] | (b[at + 1] << 8));
}

uint32_t Get32(std::span<const uint8_t> b, size_t at) {
  uint32_t v = 0;
  for (int i = 0; i < 4; ++i) v |= static_cast<uint32_t>(b[at + i]) << (8 * i);
  return v;
}

std::vector<uint8_t> PropertyHeader(uint32_t id, uint32_t flags, size_t size) {
  std::vector<uint8_t> block(size, 0);
  const auto set = kVendorPropertySet.Bytes();
  std::copy(set.begin(), set.end(), block.begin());
  Put32(block, 16, id);
  Put32(block, 20, flags);
  return block;
}

size_t PropertyBlockSize(size_t length) { return length == 0 ? 48 : length + 47; }

}  // namespace

std::vector<uint8_t> BuildSetupRecord(const SetupPacket& setup, uint16_t setup_length) {
  std::vector<uint8_t> record(kSetupRecordSize, 0);
  record[4] = setup.request_type;
  record[5] = setup.request;
  Put16(record, 6, setup.value);
  Put16(record, 8, setup.index);
  Put16(record, 10, setup_length);
  return record;
}

uint32_t SetupRecordIoctl(uint8_t request_type) {
  return (request_type & kDirectionIn) ? kIoctlVendorDeviceToHost : kIoctlVendorHostToDevice;
}

std::vector<uint8_t> BuildPropertyBlock(const SetupPacket& setup, std::span<const uint8_t> data) {
  const uint32_t flags = (setup.request_type & kDirectionIn) ? kPropertyFlagGet : kPropertyFlagSet;
  auto block = PropertyHeader(kPropertyIdControlTransfer, flags, PropertyBlockSize(data.size()));
  block[24] = kPropertyRequestTypeByte;
  block[25] = setup.request;
  Put16(block, 26, setup.value);
  Put16(block, 28, setup.index);
  Put32(block, 36, static_cast<uint32_t>(data.size()));
  std::copy(data.begin(), data.end(), block.begin() + kPropertyDataOffset);
  return block;
}

std::vector<uint8_t> BuildPresenceQuery() {
  return PropertyHeader(kPropertyIdPresence, kPropertyFlagSetSupport, kPropertyHeaderSize);
}

std::optional<DecodedRequest> DecodeRequest(uint32_t code, std::span<const uint8_t> in,
                                            size_t out_size) {
  DecodedRequest decoded;
  if (code == kIoctlVendorHostToDevice || code == kIoctlVendorDeviceToHost) {
    if (in.size() != kSetupRecordSize) return std::nullopt;
    decoded.setup = {in[4], in[5], Get16(in, 6), Get16(in, 8)};
    if (SetupRecordIoctl(decoded.setup.request_type) != code) return std::nullopt;
    const uint16_t setup_length = Get16(in, 10);
    if (setup_length > out_size) return std::nullopt;
    decoded.length = setup_length != 0 ? setup_length : static_cast<uint32_t>(out_size);
    return decoded;
  }
  if (code != kIoctlKsProperty || in.size() < kPropertyHeaderSize) return std::nullopt;
  const auto set = kVendorPropertySet.Bytes();
  if (!std::equal(set.begin(), set.end(), in.begin())) return std::nullopt;
  const uint32_t id = Get32(in, 16);
  const uint32_t flags = Get32(in, 20);
  if (id == kPropertyIdPresence && flags == kPropertyFlagSetSupport) {
    decoded.kind = DecodedRequest::Kind::kPresenceQuery;
    return decoded;
  }
  if (id != kPropertyIdControlTransfer || in.size() < 48) return std::nullopt;
  if (flags != kPropertyFlagGet && flags != kPropertyFlagSet) return std::nullopt;
  if (in[24] != kPropertyRequestTypeByte) return std::nullopt;
  const uint32_t length = Get32(in, 36);
  if (in.size() != PropertyBlockSize(length) || length > out_size) return std::nullopt;
  decoded.setup = {flags == kPropertyFlagGet ? kVendorIn : kVendorOut, in[25], Get16(in, 26),
                   Get16(in, 28)};
  decoded.length = length;
  return decoded;
}

}  // namespace korvalen
