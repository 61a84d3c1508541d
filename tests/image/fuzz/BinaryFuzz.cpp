// libFuzzer entry point for the binary update-file loader, fed through a
// real file as the window feeds it. A file up to 256 KiB loads byte for byte
// with the rest of the image erased; anything larger or empty is refused
// and leaves nothing to program.
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>

#include "image/Loaders.h"

namespace {

const std::filesystem::path& ScratchFile() {
  static const std::filesystem::path path = std::filesystem::temp_directory_path() /
                                            ("korvalen-binary-fuzz-" + std::to_string(getpid()) +
                                             ".bin");
  return path;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace korvalen;
  static const auto image = std::make_unique<FirmwareImage>();
  {
    std::ofstream file(ScratchFile(), std::ios::binary | std::ios::trunc);
    file.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
  }
  const LoadResult result = LoadBinaryFile(ScratchFile(), *image);
  const bool fits = size > 0 && size <= kFirmwareImageSize;
  if (result.ok != fits) std::abort();
  if (result.ok) {
    if (image->length != size || result.length != size || !result.message.empty()) std::abort();
    if (!std::equal(data, data + size, image->bytes.begin())) std::abort();
    if (!std::all_of(image->bytes.begin() + size, image->bytes.end(),
                     [](uint8_t b) { return b == kErasedByte; }))
      std::abort();
    if (result.checksum != ImageChecksum(*image)) std::abort();
  } else {
    if (result.message.empty() || image->length != 0) std::abort();
    if (result.error != (size == 0 ? LoadError::kEmpty : LoadError::kTooLarge)) std::abort();
  }
  return 0;
}
