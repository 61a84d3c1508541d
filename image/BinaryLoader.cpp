#include <algorithm>
#include <string>

#include "image/FileRead.h"
#include "image/Loaders.h"

namespace korvalen {

LoadResult LoadBinaryFile(const std::filesystem::path& path, FirmwareImage& image) {
  std::string data;
  const LoadError read = ReadFileBounded(path, kFirmwareImageSize, data);
  if (read == LoadError::kTooLarge) {
    return FailLoad(image, path, read,
                    DisplayName(path) + " is larger than the 256 KiB (0x40000-byte) image");
  }
  if (read != LoadError::kNone) {
    return FailLoad(image, path, read, ReadErrorMessage(path, read, kFirmwareImageSize));
  }
  if (data.empty())
    return FailLoad(image, path, LoadError::kEmpty, DisplayName(path) + " is empty");

  FillImage(image, kErasedByte);
  std::copy(data.begin(), data.end(), image.bytes.begin());
  image.length = static_cast<uint32_t>(data.size());

  return LoadSucceeded(image, path);
}

}  // namespace korvalen
