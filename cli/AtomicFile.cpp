#include "cli/AtomicFile.h"

#include <fmt/format.h>

#include <algorithm>
#include <random>
#include <system_error>

#include "image/PathText.h"

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#endif

namespace korvalen::cli {
namespace {

namespace fs = std::filesystem;

// Enough guesses that a clash with another writer's temporary name does
// not matter; an attacker cannot predict the name in the first place.
constexpr int kNameAttempts = 16;
// The temporary name adds a dot, a suffix and ".tmp" to the target's name;
// a long name is cut so the whole stays within the usual 255-byte limit.
constexpr size_t kMaxNameStem = 200;

fs::path FolderOf(const fs::path& target) {
  return target.has_parent_path() ? target.parent_path() : fs::path(".");
}

fs::path TemporaryName(const fs::path& target, std::mt19937_64& random) {
  auto stem = target.filename().native();
  if (stem.size() > kMaxNameStem) stem.resize(kMaxNameStem);
  fs::path name = FolderOf(target) / ".";
  name += stem;
  name += fmt::format(".{:012x}.tmp", random() & 0xFFFFFFFFFFFFull);
  return name;
}

std::mt19937_64 SeededRandom() {
  std::random_device device;
  std::seed_seq seed{device(), device(), device(), device()};
  return std::mt19937_64(seed);
}

std::string Failed(const fs::path& target, const std::string& why) {
  return "cannot write " + PathText(target) + ": " + why;
}

#ifdef _WIN32

std::string Reason(DWORD error) {
  switch (error) {
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
      return "the disk is full";
    case ERROR_WRITE_PROTECT:
      return "the disk is read-only";
    case ERROR_ACCESS_DENIED:
      return "permission denied";
    case ERROR_PATH_NOT_FOUND:
    case ERROR_FILE_NOT_FOUND:
      return "the folder does not exist";
    default:
      return std::system_category().message(static_cast<int>(error));
  }
}

// What is at target: an error text for something that must not be
// replaced, or empty.
std::string CheckTarget(const fs::path& target) {
  const DWORD attributes = GetFileAttributesW(target.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return {};
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) && !(attributes & FILE_ATTRIBUTE_REPARSE_POINT))
    return Failed(target, "it is a folder");
  return {};
}

// Creates a fresh temporary file beside target; INVALID_HANDLE_VALUE with
// *error set when none could be made.
HANDLE CreateTemporary(const fs::path& target, fs::path& name, DWORD* error) {
  auto random = SeededRandom();
  for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
    name = TemporaryName(target, random);
    // CREATE_NEW fails on anything already there, a link included.
    const HANDLE file = CreateFileW(name.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE) return file;
    *error = GetLastError();
    if (*error != ERROR_FILE_EXISTS && *error != ERROR_ALREADY_EXISTS) break;
  }
  return INVALID_HANDLE_VALUE;
}

}  // namespace

std::string WriteFileAtomically(const fs::path& target, std::string_view text) {
  if (std::string refused = CheckTarget(target); !refused.empty()) return refused;
  fs::path name;
  DWORD error = 0;
  const HANDLE file = CreateTemporary(target, name, &error);
  if (file == INVALID_HANDLE_VALUE) return Failed(target, Reason(error));
  bool ok = true;
  size_t done = 0;
  while (ok && done < text.size()) {
    const DWORD want = static_cast<DWORD>(std::min<size_t>(text.size() - done, 1u << 30));
    DWORD wrote = 0;
    ok = WriteFile(file, text.data() + done, want, &wrote, nullptr) && wrote > 0;
    done += wrote;
  }
  if (ok) ok = FlushFileBuffers(file);
  if (!ok) error = GetLastError();
  CloseHandle(file);
  if (ok && !MoveFileExW(name.c_str(), target.c_str(),
                         MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    ok = false;
    error = GetLastError();
  }
  if (!ok) {
    DeleteFileW(name.c_str());
    return Failed(target, Reason(error));
  }
  return {};
}

std::string CheckWritable(const fs::path& target) {
  if (std::string refused = CheckTarget(target); !refused.empty()) return refused;
  fs::path name;
  DWORD error = 0;
  const HANDLE file = CreateTemporary(target, name, &error);
  if (file == INVALID_HANDLE_VALUE) return Failed(target, Reason(error));
  CloseHandle(file);
  DeleteFileW(name.c_str());
  return {};
}

#else

std::string Reason(int error) {
  switch (error) {
    case ENOSPC:
    case EDQUOT:
      return "the disk is full";
    case EROFS:
      return "the file system is read-only";
    case EACCES:
    case EPERM:
      return "permission denied";
    case ENOENT:
    case ENOTDIR:
      return "the folder does not exist";
    default:
      return std::system_category().message(error);
  }
}

// What is at target: an error text for something that must not be
// replaced, or empty; *mode gets the permission bits of a file there.
std::string CheckTarget(const fs::path& target, mode_t* mode) {
  struct stat info {};
  if (::lstat(target.c_str(), &info) != 0) return {};
  if (S_ISDIR(info.st_mode)) return Failed(target, "it is a folder");
  // Renaming over a FIFO or a device node would take it away from whoever
  // uses it.
  if (!S_ISREG(info.st_mode) && !S_ISLNK(info.st_mode))
    return Failed(target, "it is not a regular file");
  if (S_ISREG(info.st_mode) && mode != nullptr) *mode = info.st_mode & 07777;
  return {};
}

// Creates a fresh temporary file beside target; -1 with *error set when
// none could be made.
int CreateTemporary(const fs::path& target, fs::path& name, int* error) {
  auto random = SeededRandom();
  for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
    name = TemporaryName(target, random);
    // O_EXCL never opens what is there, a link included; the mode is what
    // a new file gets under the user's umask.
    const int fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd >= 0) return fd;
    *error = errno;
    if (errno != EEXIST) break;
  }
  return -1;
}

bool WriteAll(int fd, std::string_view text) {
  size_t done = 0;
  while (done < text.size()) {
    const ssize_t wrote = ::write(fd, text.data() + done, text.size() - done);
    if (wrote < 0 && errno == EINTR) continue;
    if (wrote <= 0) {
      if (wrote == 0) errno = ENOSPC;
      return false;
    }
    done += static_cast<size_t>(wrote);
  }
  return true;
}

}  // namespace

std::string WriteFileAtomically(const fs::path& target, std::string_view text) {
  mode_t old_mode = 0;
  bool replaces_file = false;
  {
    mode_t mode = static_cast<mode_t>(-1);
    if (std::string refused = CheckTarget(target, &mode); !refused.empty()) return refused;
    replaces_file = mode != static_cast<mode_t>(-1);
    old_mode = mode;
  }
  fs::path name;
  int error = 0;
  const int fd = CreateTemporary(target, name, &error);
  if (fd < 0) return Failed(target, Reason(error));
  bool ok = WriteAll(fd, text);
  // The replaced file's readers keep their access.
  if (ok && replaces_file) ok = ::fchmod(fd, old_mode) == 0;
  // Delayed allocation reports a full disk only here.
  if (ok) ok = ::fsync(fd) == 0;
  if (!ok) error = errno;
  if (::close(fd) != 0 && ok) {
    ok = false;
    error = errno;
  }
  if (ok && ::rename(name.c_str(), target.c_str()) != 0) {
    ok = false;
    error = errno;
  }
  if (!ok) {
    ::unlink(name.c_str());
    return Failed(target, Reason(error));
  }
  // The rename itself reaches the disk with the folder.
  const int folder = ::open(FolderOf(target).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (folder >= 0) {
    ::fsync(folder);
    ::close(folder);
  }
  return {};
}

std::string CheckWritable(const fs::path& target) {
  if (std::string refused = CheckTarget(target, nullptr); !refused.empty()) return refused;
  fs::path name;
  int error = 0;
  const int fd = CreateTemporary(target, name, &error);
  if (fd < 0) return Failed(target, Reason(error));
  ::close(fd);
  ::unlink(name.c_str());
  return {};
}

#endif

}  // namespace korvalen::cli
