// libFuzzer entry point for the Intel HEX parser. Not part of image_tests.
// Besides memory safety it checks the loader's contract: a success holds
// data and the matching checksum; a failure says why and leaves the image
// erased and empty.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string_view>

#include "image/Loaders.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using korvalen::FirmwareImage;
  static const auto image = std::make_unique<FirmwareImage>();
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const korvalen::LoadResult result = korvalen::ParseHexText(text, "fuzz.hex", *image);
  if (result.ok) {
    if (image->length == 0 || image->length > korvalen::kFirmwareImageSize) std::abort();
    if (result.length != image->length || !result.message.empty()) std::abort();
    if (result.checksum != korvalen::ImageChecksum(*image)) std::abort();
  } else {
    if (result.message.empty() || image->length != 0 || result.checksum != 0) std::abort();
    const bool erased = std::all_of(image->bytes.begin(), image->bytes.end(),
                                    [](uint8_t b) { return b == korvalen::kErasedByte; });
    if (!erased) std::abort();
  }
  return 0;
}
