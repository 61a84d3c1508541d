// One device has one master: a program takes the device's lock before its
// first request and keeps it until it is done with the device, so two
// programs (two updates, or an update and the window) never interleave
// their requests. The lock belongs to the open lock object and goes with
// it, also when the program crashes.
//
// On Linux and macOS it is an advisory lock (flock) on a file named after
// the device in the system's lock folder (/run/lock, else /var/lock, else
// the temporary folder); the holder writes its process id into the file.
// On Windows it is a named mutex in the global namespace, with the
// holder's process id in a named block beside it.
#pragma once

#include <filesystem>
#include <memory>
#include <string>
#include <string_view>

namespace korvalen {

class DeviceLock;

struct DeviceLockAttempt {
  std::unique_ptr<DeviceLock> lock;  // null when not taken
  bool in_use = false;               // another holder has it (rather than an error)
  // Why not taken: "the device is in use by process 1234", or what the
  // system refused.
  std::string message;
};

class DeviceLock {
 public:
  // Takes the lock of the device key names ("usb:bus-003:port-1.4", the
  // place a device sits), without waiting.
  static DeviceLockAttempt TakeDevice(std::string_view key);
  // Takes the lock kept in the file at path (created when missing), for
  // state that lives in a folder of its own.
  static DeviceLockAttempt TakeFile(const std::filesystem::path& path);

  ~DeviceLock();
  DeviceLock(const DeviceLock&) = delete;
  DeviceLock& operator=(const DeviceLock&) = delete;

  struct Held;  // the system's handles

 private:
  explicit DeviceLock(std::unique_ptr<Held> held);
  std::unique_ptr<Held> held_;
};

// The lock key of the device behind an interface path: where it sits
// ("usb:bus-003:port-1.4", or the instance of a system path), the same for
// each of its interfaces and channels. Empty for a path that names no place.
std::string DeviceLockKey(std::string_view interface_path);

// The key as a file or object name: letters, digits, '.', '-' and '_' kept,
// everything else '_', with a hash of the whole key so different keys never
// share a name.
std::string DeviceLockName(std::string_view key);

}  // namespace korvalen
