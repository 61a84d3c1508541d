#include "image/FileRead.h"

#include "image/Utf8Text.h"

#include <algorithm>
#include <fstream>
#include <system_error>
#include <utility>

#ifndef _WIN32
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#endif

namespace korvalen {

namespace {
constexpr size_t kReadChunk = 64 * 1024;
}  // namespace

std::string DisplayName(const std::filesystem::path& path) {
  const std::u8string name = path.filename().u8string();
  return EscapeInvalidUtf8(std::string(name.begin(), name.end()));
}

#ifndef _WIN32
namespace {

// Closes the descriptor however the read ends.
class FileDescriptor {
 public:
  explicit FileDescriptor(int fd) : fd_(fd) {}
  ~FileDescriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

}  // namespace
#endif

LoadError CheckRegularFile(const std::filesystem::path& path) {
  std::error_code ec;
  const auto status = std::filesystem::status(path, ec);
  if (ec || !std::filesystem::exists(status)) return LoadError::kCannotOpen;
  // A directory opens for reading on some systems and then reads as empty.
  if (std::filesystem::is_directory(status)) return LoadError::kCannotOpen;
  // A FIFO blocks in open and read until a writer comes, a device may never
  // end: the window would freeze, so only plain files are read.
  if (!std::filesystem::is_regular_file(status)) return LoadError::kNotRegular;
  return LoadError::kNone;
}

LoadError ReadFileBounded(const std::filesystem::path& path, size_t limit, std::string& data) {
  data.clear();
  if (const LoadError checked = CheckRegularFile(path); checked != LoadError::kNone)
    return checked;
#ifdef _WIN32
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
#else
  // The name may have been swapped for a FIFO since the check: open without
  // blocking and look again at what was opened.
  const FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  if (fd.get() < 0) return LoadError::kCannotOpen;
  struct stat info {};
  if (::fstat(fd.get(), &info) != 0) return LoadError::kReadFailed;
  if (!S_ISREG(info.st_mode)) return LoadError::kNotRegular;
  while (data.size() <= limit) {
    const size_t want = std::min(kReadChunk, limit + 1 - data.size());
    const size_t old_size = data.size();
    data.resize(old_size + want);
    const ssize_t got = ::read(fd.get(), data.data() + old_size, want);
    if (got < 0 && errno == EINTR) {
      data.resize(old_size);
      continue;
    }
    data.resize(old_size + static_cast<size_t>(std::max<ssize_t>(got, 0)));
    if (got < 0) return LoadError::kReadFailed;
    if (got == 0) break;  // end of file
  }
#endif
  return data.size() > limit ? LoadError::kTooLarge : LoadError::kNone;
}

std::string ReadErrorMessage(const std::filesystem::path& path, LoadError error, size_t limit) {
  const std::string name = DisplayName(path);
  switch (error) {
    case LoadError::kCannotOpen:
      return name + " cannot be opened for reading";
    case LoadError::kReadFailed:
      return name + " could not be read to the end";
    case LoadError::kNotRegular:
      return name + " is not a regular file";
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
