#include <fcntl.h>
#include <pwd.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <system_error>
#include <thread>

#include "link/DeviceLock.h"
#include "link/DeviceLockFolder_posix.h"

namespace korvalen {

struct DeviceLock::Held {
  int fd = -1;
  std::filesystem::path path;
};

namespace {

namespace fs = std::filesystem;

// Every device's lock file, for every program and user: a folder of its
// own, so nothing else in /run/lock is touched and a wrong one is told
// apart. The package makes it at boot (tmpfiles.d).
constexpr char kLockFolder[] = "/run/lock/korvalen";

// A holder writes its process id right after taking the lock; a program
// that finds the lock taken looks a few times before it says "another".
constexpr int kHolderReads = 5;
constexpr auto kHolderReadPause = std::chrono::milliseconds(20);
// A new holder may remove the file between our open and our lock: try again.
constexpr int kOpenAttempts = 8;

std::string UserName(uid_t uid) {
  if (const passwd* entry = ::getpwuid(uid); entry != nullptr && entry->pw_name != nullptr)
    return entry->pw_name;
  return "user " + std::to_string(uid);
}

bool Alive(long pid) { return pid > 0 && (::kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM); }

// The process the kernel says holds an flock on the file (/proc/locks), so
// the holder is known even where it could not write its id into a file
// another user left behind. nullopt where the kernel does not say.
std::optional<long> KernelHolder(const struct stat& file) {
  std::ifstream locks("/proc/locks");
  if (!locks) return std::nullopt;
  std::optional<long> by_inode;
  int inode_matches = 0;
  std::string line;
  while (std::getline(locks, line)) {
    std::istringstream fields(line);
    std::string id, kind, advisory, access, where;
    long pid = 0;
    fields >> id >> kind;
    if (kind == "->") continue;  // a waiter, not a holder
    fields >> advisory >> access >> pid >> where;
    if (kind != "FLOCK" || !fields) continue;
    unsigned major_number = 0, minor_number = 0;
    unsigned long long inode = 0;
    if (std::sscanf(where.c_str(), "%x:%x:%llu", &major_number, &minor_number, &inode) != 3)
      continue;
    if (inode != file.st_ino) continue;
    if (major_number == major(file.st_dev) && minor_number == minor(file.st_dev)) return pid;
    // Layered file systems report the layer below: the inode alone, if only one.
    by_inode = pid;
    ++inode_matches;
  }
  if (inode_matches == 1) return by_inode;
  return std::nullopt;
}

std::string InUseBy(long pid) {
  std::string text = "the device is in use by process " + std::to_string(pid);
  struct stat process {};
  const std::string proc = "/proc/" + std::to_string(pid);
  if (::stat(proc.c_str(), &process) == 0 && process.st_uid != ::geteuid())
    text += " (user " + UserName(process.st_uid) + ")";
  return text;
}

std::string HolderText(int fd) {
  struct stat file {};
  if (::fstat(fd, &file) == 0) {
    if (const auto pid = KernelHolder(file)) return InUseBy(*pid);
  }
  for (int read = 0; read < kHolderReads; ++read) {
    char text[24] = {};
    const ssize_t got = ::pread(fd, text, sizeof text - 1, 0);
    if (got > 0) {
      const long pid = std::strtol(text, nullptr, 10);
      // A file left by a holder that ended names it for good: not believed.
      if (Alive(pid)) return InUseBy(pid);
      if (pid > 0) break;
    }
    std::this_thread::sleep_for(kHolderReadPause);
  }
  return "the device is in use by another process";
}

std::string SystemText(const fs::path& path, int error) {
  return "cannot take the device lock " + path.string() + ": " + std::strerror(error);
}

std::string KindOf(const struct stat& info) {
  if (S_ISLNK(info.st_mode)) return "a link";
  if (S_ISDIR(info.st_mode)) return "a folder";
  if (S_ISFIFO(info.st_mode)) return "a FIFO";
  if (S_ISREG(info.st_mode)) return "a file";
  return "a special file";
}

// Something that is no lock file sits at path: nobody can take the lock
// until it goes.
DeviceLockAttempt Planted(const fs::path& path, const std::string& what, uid_t owner) {
  DeviceLockAttempt attempt;
  attempt.planted = true;
  attempt.message = "the device lock " + path.string() + " is " + what + " made by " +
                    UserName(owner) +
                    ", not a lock file of this program; nobody can take the lock while it is "
                    "there: ask " + UserName(owner) + " or an administrator to remove it (sudo rm -r " +
                    path.string() + ")";
  return attempt;
}

// Opens the lock file without following a link planted under its name and
// without waiting on a FIFO. Without O_CREAT first: in a shared sticky
// folder the system refuses O_CREAT on another user's file even when it
// exists. A file left by another user that we may not write is opened to
// read: flock needs no more.
int OpenLockFile(const fs::path& path) {
  constexpr int kFlags = O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
  int fd = ::open(path.c_str(), O_RDWR | kFlags);
  if (fd < 0 && errno == EACCES) fd = ::open(path.c_str(), O_RDONLY | kFlags);
  if (fd >= 0 || errno != ENOENT) return fd;
  fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | kFlags, 0644);
  // Another user's program must be able to open and lock it too.
  if (fd >= 0) ::fchmod(fd, 0644);
  return fd;
}

// The lock folder as every program must find it: a real folder, root's or
// this user's, that nobody can empty of other users' locks. Made when
// missing. An error text, or empty.
std::string CheckLockFolder(const fs::path& folder, bool* planted) {
  struct stat info {};
  if (::lstat(folder.c_str(), &info) != 0 && errno == ENOENT) {
    // The mode is cut by the umask: set again.
    if (::mkdir(folder.c_str(), 01777) == 0) ::chmod(folder.c_str(), 01777);
    if (::lstat(folder.c_str(), &info) != 0) {
      return "cannot take the device lock: cannot make its folder " + folder.string() + " (" +
             std::strerror(errno) +
             "); install the package, or have an administrator run: sudo install -d -m 1777 " +
             folder.string();
    }
  }
  const std::string remake = "sudo rm -r " + folder.string() + " && sudo install -d -m 1777 " +
                             folder.string();
  if (!S_ISDIR(info.st_mode)) {
    *planted = true;
    return "cannot take the device lock: " + folder.string() + " is " + KindOf(info) + " of " +
           UserName(info.st_uid) + ", not the lock folder; have an administrator run: " + remake;
  }
  if (info.st_uid != 0 && info.st_uid != ::geteuid()) {
    *planted = true;
    return "cannot take the device lock: the lock folder " + folder.string() + " belongs to " +
           UserName(info.st_uid) + ", who could remove anyone's lock; have an administrator run: " +
           remake;
  }
  if ((info.st_mode & (S_IWGRP | S_IWOTH)) != 0 && (info.st_mode & S_ISVTX) == 0) {
    *planted = true;
    return "cannot take the device lock: anyone may remove locks from " + folder.string() +
           " (it is not sticky); have an administrator run: sudo chmod +t " + folder.string();
  }
  if (::access(folder.c_str(), W_OK | X_OK) != 0) {
    return "cannot take the device lock: " + UserName(::geteuid()) + " may not write to " +
           folder.string() + "; install the package, or have an administrator run: sudo chmod 1777 " +
           folder.string();
  }
  return {};
}

}  // namespace

DeviceLock::DeviceLock(std::unique_ptr<Held> held) : held_(std::move(held)) {}

DeviceLock::~DeviceLock() {
  // Removed while still locked, so nobody locks a name that is going away;
  // a program that opened it meanwhile sees the file gone and opens anew.
  ::unlink(held_->path.c_str());
  ::close(held_->fd);
  RemoveMadeFolders();
}

DeviceLockAttempt DeviceLock::TakeDevice(std::string_view key) {
  return TakeDeviceLockIn(kLockFolder, key);
}

DeviceLockAttempt TakeDeviceLockIn(const fs::path& folder, std::string_view key) {
  bool planted = false;
  if (std::string refused = CheckLockFolder(folder, &planted); !refused.empty()) {
    DeviceLockAttempt attempt;
    attempt.planted = planted;
    attempt.message = std::move(refused);
    return attempt;
  }
  return DeviceLock::TakeFile(folder / (DeviceLockName(key) + ".lock"));
}

DeviceLockAttempt DeviceLock::TakeFile(const fs::path& path) {
  DeviceLockAttempt attempt;
  for (int tries = 0; tries < kOpenAttempts; ++tries) {
    struct stat named {};
    const bool there = ::lstat(path.c_str(), &named) == 0;
    if (there && !S_ISREG(named.st_mode)) return Planted(path, KindOf(named), named.st_uid);
    const int fd = OpenLockFile(path);
    if (fd < 0) {
      const int error = errno;
      if (error == ENOENT || error == EEXIST) continue;  // raced with a holder's removal
      if (error == ELOOP || error == EISDIR || error == ENXIO) {
        if (::lstat(path.c_str(), &named) == 0) return Planted(path, KindOf(named), named.st_uid);
        continue;
      }
      if (error == EACCES && there) {
        // Not even readable for us: a holder of another user, or a file
        // nobody holds that blocks everyone but its owner.
        if (const auto pid = KernelHolder(named)) {
          attempt.in_use = true;
          attempt.message = InUseBy(*pid);
          return attempt;
        }
        return Planted(path, "a file that nobody holds and " + UserName(::geteuid()) + " may not open,",
                       named.st_uid);
      }
      attempt.message = SystemText(path, error);
      return attempt;
    }
    struct stat opened {};
    if (::fstat(fd, &opened) != 0 || !S_ISREG(opened.st_mode)) {
      ::close(fd);
      continue;  // swapped since it was looked at: look again
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
    if (::lstat(path.c_str(), &named) != 0 || opened.st_ino != named.st_ino ||
        opened.st_dev != named.st_dev) {
      ::close(fd);
      continue;
    }
    // Whoever held it before has ended, and may have been another user: the
    // id is ours now where the file lets us write it, and the kernel's word
    // (/proc/locks) names us where it does not.
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
