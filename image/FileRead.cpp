#include "image/FileRead.h"

#include <algorithm>
#include <fstream>
#include <system_error>
#include <utility>

namespace korvalen {

namespace {
constexpr size_t kReadChunk = 64 * 1024;
}  // namespace

std::string DisplayName(const std::filesystem::path& path) {
  const std::u8string name = path.filename().u8string();
  return std::string(name.begin(), name.end());
}

LoadError ReadFileBounded(const std::filesystem::path& path, size_t limit, std::string& data) {
  data.clear();
  std::error_code ec;
  // A directory opens for reading on some systems and then reads as empty.
  if (std::filesystem::is_directory(path, ec)) return LoadError::kCannotOpen;
  std::ifstream in(path, std::ios::binary);
  if (!in) return LoadError::kCannotOpen;
  while (data.size() <= limit) {
    const size_t want = std::min(kReadChunk, limit + 1 - data.size());
    const size_t old_size = data.size();
    data.resize(old_size + want);
    in.read(data.data() + old_size, static_cast<std::streamsize>(want));
    data.resize(old_size + static_cast<size_t>(in.gcount()));
    if (in.bad()) return LoadError::kReadFailed;
    if (!in) break;  // end of file
  }
  return data.size() > limit ? LoadError::kTooLarge : LoadError::kNone;
}

std::string ReadErrorMessage(const std::filesystem::path& path, LoadError error, size_t limit) {
  const std::string name = DisplayName(path);
  switch (error) {
    case LoadError::kCannotOpen:
      return name + " cannot be opened for reading";
    case LoadError::kReadFailed:
      return name + " could not be read to the end";
    case LoadError::kTooLarge:
      return name + " is larger than " + std::to_string(limit) + " bytes";
    default:
      return name + " could not be read";
  }
}

LoadResult FailLoad(FirmwareImage& image, const std::filesystem::path& path, LoadError error,
                    std::string message) {
  FillImage(image, kErasedByte);
  image.length = 0;
  LoadResult result;
  result.ok = false;
  result.error = error;
  result.message = std::move(message);
  result.path = path;
  return result;
}

LoadResult LoadSucceeded(const FirmwareImage& image, const std::filesystem::path& path) {
  LoadResult result;
  result.ok = true;
  result.path = path;
  result.length = image.length;
  result.checksum = ImageChecksum(image);
  return result;
}

}  // namespace korvalen
