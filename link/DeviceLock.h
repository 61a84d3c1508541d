// One device has one master: a program takes the device's lock before its
// first request and keeps it until it is done with the device, so two
// programs (two updates, or an update and the window) never interleave
// their requests. The lock belongs to the open lock object and goes with
// it, also when the program crashes.
//
// On Linux and macOS a device's lock is an advisory lock (flock) on a file
// named after the device in one fixed folder, /run/lock/korvalen, the same
// for every program and user whatever its environment (the package makes
// it at boot: root's, sticky and open to everyone, as /tmp; without the
// package the first program to need it makes it); the holder writes
// its process id into the file. On Windows it is a named mutex in the
// global namespace, with the holder's process id in a named block beside
// it. State kept in a folder of its own (--sim-state) is locked by a file
// in that folder, on every system.
//
// A lock nobody holds any more (its holder ended, whoever it was) is taken
// over. Something else in the lock's place (a link, a folder, a file this
// user may not open that nobody holds, a mutex this user may not use) is
// not a lock: it is refused with who made it and what to do.
#pragma once

#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace korvalen {

class DeviceLock;

struct DeviceLockAttempt {
  std::unique_ptr<DeviceLock> lock;  // null when not taken
  bool in_use = false;               // another holder has it (rather than an error)
  bool planted = false;              // something that is no lock is in its place
  // Why not taken: "the device is in use by process 1234", or what the
  // system refused.
  std::string message;
};

class DeviceLock {
 public:
  // Takes the lock of the device key names ("usb:bus-003:port-1.4", the
  // place a device sits), without waiting.
  static DeviceLockAttempt TakeDevice(std::string_view key);
  // Takes the lock kept in the file at path (created when missing).
  static DeviceLockAttempt TakeFile(const std::filesystem::path& path);
  // Takes the lock of state kept in folder: a file in the folder itself,
  // so every spelling of the folder meets the same lock. A missing folder
  // is made for it, and removed with the lock if nothing was put in it.
  static DeviceLockAttempt TakeFolder(const std::filesystem::path& folder);

  ~DeviceLock();
  DeviceLock(const DeviceLock&) = delete;
  DeviceLock& operator=(const DeviceLock&) = delete;

  struct Held;  // the system's handles

 private:
  explicit DeviceLock(std::unique_ptr<Held> held);
  void RemoveMadeFolders();
  std::unique_ptr<Held> held_;
  std::vector<std::filesystem::path> made_folders_;  // deepest first
};

// The name of a folder's lock file (TakeFolder).
inline constexpr char kFolderLockName[] = ".korvalen-fw.lock";

// The lock key of the device behind an interface path: where it sits
// ("usb:bus-003:port-1.4", or the instance of a system path), the same for
// each of its interfaces and channels. Empty for a path that names no place.
std::string DeviceLockKey(std::string_view interface_path);

// The key as a file or object name: letters, digits, '.', '-' and '_' kept,
// everything else '_', with a hash of the whole key so different keys never
// share a name.
std::string DeviceLockName(std::string_view key);

}  // namespace korvalen
