// libFuzzer entry point for the decoder that turns a driver's I/O-control
// record back into a control transfer. The first byte picks the code (the
// two firmware-update codes, the audio driver's property code with the
// vendor property set in front, or four raw code bytes), the next two the
// size of the out block, the rest is the record. Whatever it accepts must be
// consistent with the record and come back unchanged when rebuilt.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <span>
#include <vector>

#include "link/RequestRecord.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace korvalen;
  if (size < 3) return 0;
  const uint8_t pick = data[0];
  const size_t out_size = data[1] | (data[2] << 8);
  std::vector<uint8_t> in;
  uint32_t code = 0;
  std::span<const uint8_t> rest(data + 3, size - 3);
  switch (pick % 4) {
    case 0:
      code = kIoctlVendorHostToDevice;
      break;
    case 1:
      code = kIoctlVendorDeviceToHost;
      break;
    case 2: {
      // The vendor property set, taken from a presence query, then the rest.
      code = kIoctlKsProperty;
      const std::vector<uint8_t> query = BuildPresenceQuery();
      in.assign(query.begin(), query.begin() + 16);
      break;
    }
    default:
      if (rest.size() < 4) return 0;
      std::memcpy(&code, rest.data(), 4);
      rest = rest.subspan(4);
      break;
  }
  in.insert(in.end(), rest.begin(), rest.end());

  const auto decoded = DecodeRequest(code, in, out_size);
  if (!decoded) return 0;
  if (code != kIoctlVendorHostToDevice && code != kIoctlVendorDeviceToHost &&
      code != kIoctlKsProperty)
    std::abort();
  if (decoded->kind == DecodedRequest::Kind::kPresenceQuery) {
    if (code != kIoctlKsProperty) std::abort();
    return 0;
  }
  if (decoded->length > out_size) std::abort();
  if (code == kIoctlKsProperty) {
    // Rebuilt from what was decoded, the block decodes the same.
    const std::span<const uint8_t> payload(in.data() + kPropertyDataOffset, decoded->length);
    const std::vector<uint8_t> rebuilt = BuildPropertyBlock(decoded->setup, payload);
    if (rebuilt.size() != in.size()) std::abort();
    const auto again = DecodeRequest(code, rebuilt, out_size);
    if (!again || again->setup != decoded->setup || again->length != decoded->length)
      std::abort();
  } else {
    if (in.size() != kSetupRecordSize) std::abort();
    if (SetupRecordIoctl(decoded->setup.request_type) != code) std::abort();
    if (decoded->DeviceToHost() != (code == kIoctlVendorDeviceToHost)) std::abort();
    const uint16_t setup_length = static_cast<uint16_t>(in[10] | (in[11] << 8));
    const std::vector<uint8_t> rebuilt = BuildSetupRecord(decoded->setup, setup_length);
    const auto again = DecodeRequest(code, rebuilt, out_size);
    if (!again || again->setup != decoded->setup || again->length != decoded->length)
      std::abort();
  }
  return 0;
}
