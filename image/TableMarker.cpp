#include "image/TableMarker.h"

#include <algorithm>
#include <string_view>

namespace korvalen {
namespace {

constexpr std::string_view kMarker = "NVUSB_Table01";
// Up to 12 characters are compared; 10 matching ones identify the table.
constexpr size_t kCompared = 12;
constexpr size_t kRequired = 10;

}  // namespace

std::optional<uint32_t> FindTableMarker(const FirmwareImage& image) {
  const uint32_t end = std::min(image.length, kFirmwareImageSize);
  for (uint32_t p = 0; p < end; ++p) {
    size_t matched = 0;
    while (matched < kCompared && p + matched < kFirmwareImageSize &&
           image.bytes[p + matched] == static_cast<uint8_t>(kMarker[matched])) {
      ++matched;
    }
    if (matched >= kRequired) return p;
  }
  return std::nullopt;
}

}  // namespace korvalen
