// libFuzzer entry point for the search of the product table's marker. The
// first four input bytes give the image length (kept within the buffer), the
// rest its contents. The answer must be the lowest offset below the length
// where the first ten marker characters stand, compared against a plain
// search that never reads past the buffer.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string_view>

#include "image/FirmwareImage.h"
#include "image/TableMarker.h"

namespace {

constexpr std::string_view kMarkerPrefix = "NVUSB_Tabl";

std::optional<uint32_t> PlainSearch(const korvalen::FirmwareImage& image) {
  for (uint32_t p = 0; p < image.length; ++p) {
    if (p + kMarkerPrefix.size() > image.bytes.size()) return std::nullopt;
    if (std::memcmp(image.bytes.data() + p, kMarkerPrefix.data(), kMarkerPrefix.size()) == 0)
      return p;
  }
  return std::nullopt;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace korvalen;
  static const auto image = std::make_unique<FirmwareImage>();
  if (size < 4) return 0;
  uint32_t length = 0;
  std::memcpy(&length, data, 4);
  FillImage(*image, kErasedByte);
  const size_t contents = std::min(size - 4, image->bytes.size());
  std::memcpy(image->bytes.data(), data + 4, contents);
  // Mostly lengths near the contents, sometimes up to the whole buffer.
  image->length = length % (kFirmwareImageSize + 1);
  if (FindTableMarker(*image) != PlainSearch(*image)) std::abort();
  return 0;
}
