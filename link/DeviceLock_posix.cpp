#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <string>
#include <system_error>
#include <thread>

#include "link/DeviceLock.h"

namespace korvalen {

struct DeviceLock::Held {
  int fd = -1;
  std::filesystem::path path;
};

namespace {

namespace fs = std::filesystem;

// A holder writes its process id right after taking the lock; a program
// that finds the lock taken looks a few times before it says "another".
constexpr int kHolderReads = 5;
constexpr auto kHolderReadPause = std::chrono::milliseconds(20);
// A new holder may remove the file between our open and our lock: try again.
constexpr int kOpenAttempts = 8;

fs::path LockFolder() {
  for (const char* folder : {"/run/lock", "/var/lock"}) {
    if (::access(folder, W_OK | X_OK) == 0) return folder;
  }
  std::error_code ignored;
  return fs::temp_directory_path(ignored);
}

std::string HolderText(int fd) {
  for (int read = 0; read < kHolderReads; ++read) {
    char text[24] = {};
    const ssize_t got = ::pread(fd, text, sizeof text - 1, 0);
    if (got > 0) {
      const long pid = std::strtol(text, nullptr, 10);
      if (pid > 0) return "the device is in use by process " + std::to_string(pid);
    }
    std::this_thread::sleep_for(kHolderReadPause);
  }
  return "the device is in use by another process";
}

// Opens the lock file without following a link planted under its name.
// Without O_CREAT first: in a shared sticky folder the system refuses
// O_CREAT on another user's file even when it exists.
int OpenLockFile(const fs::path& path) {
  int fd = ::open(path.c_str(), O_RDWR | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0 && errno == EACCES) fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  if (fd >= 0 || errno != ENOENT) return fd;
  fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
  // Another user's program must be able to open and lock it too.
  if (fd >= 0) ::fchmod(fd, 0644);
  return fd;
}

std::string SystemText(const fs::path& path, int error) {
  return "cannot take the device lock " + path.string() + ": " + std::strerror(error);
}

}  // namespace

DeviceLock::DeviceLock(std::unique_ptr<Held> held) : held_(std::move(held)) {}

DeviceLock::~DeviceLock() {
  // Removed while still locked, so nobody locks a name that is going away;
  // a program that opened it meanwhile sees the file gone and opens anew.
  ::unlink(held_->path.c_str());
  ::close(held_->fd);
}

DeviceLockAttempt DeviceLock::TakeDevice(std::string_view key) {
  return TakeFile(LockFolder() / (DeviceLockName(key) + ".lock"));
}

DeviceLockAttempt DeviceLock::TakeFile(const fs::path& path) {
  DeviceLockAttempt attempt;
  for (int tries = 0; tries < kOpenAttempts; ++tries) {
    const int fd = OpenLockFile(path);
    if (fd < 0) {
      if (errno == ENOENT || errno == EEXIST) continue;  // raced with a holder's removal
      attempt.message = SystemText(path, errno);
      return attempt;
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
      const int error = errno;
      if (error == EWOULDBLOCK) {
        attempt.in_use = true;
        attempt.message = HolderText(fd);
      } else {
        attempt.message = SystemText(path, error);
      }
      ::close(fd);
      return attempt;
    }
    // Locked: but is it still the file under the name?
    struct stat opened {};
    struct stat named {};
    if (::fstat(fd, &opened) != 0 || ::lstat(path.c_str(), &named) != 0 ||
        opened.st_ino != named.st_ino || opened.st_dev != named.st_dev) {
      ::close(fd);
      continue;
    }
    const std::string pid = std::to_string(::getpid()) + "\n";
    if (::ftruncate(fd, 0) == 0) {
      [[maybe_unused]] const ssize_t wrote = ::pwrite(fd, pid.data(), pid.size(), 0);
    }
    auto held = std::make_unique<Held>();
    held->fd = fd;
    held->path = path;
    attempt.lock.reset(new DeviceLock(std::move(held)));
    return attempt;
  }
  attempt.message = "cannot take the device lock " + path.string() + ": it keeps changing";
  return attempt;
}

}  // namespace korvalen
