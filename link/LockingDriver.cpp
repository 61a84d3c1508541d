#include "link/LockingDriver.h"

#include <algorithm>

namespace korvalen {

std::string LockingDriver::KeyOf(const std::string& path) const {
  const std::string key = DeviceLockKey(path);
  return key.empty() ? std::string() : key_prefix_ + key;
}

std::optional<std::vector<std::string>> LockingDriver::EnumerateInterfaces(
    const Guid& interface_class) {
  auto paths = inner_.EnumerateInterfaces(interface_class);
  if (!paths) return paths;
  for (const std::string& path : *paths) class_of_path_[path] = interface_class;
  // A device gone from the class it was opened through is no longer ours.
  for (auto it = held_.begin(); it != held_.end();) {
    const bool listed = std::any_of(paths->begin(), paths->end(), [&](const std::string& path) {
      return KeyOf(path) == it->first;
    });
    it = it->second.interface_class == interface_class && !listed ? held_.erase(it) : std::next(it);
  }
  return paths;
}

DriverHandle LockingDriver::OpenPath(const std::string& path) {
  in_use_.clear();
  const std::string key = KeyOf(path);
  if (!key.empty() && held_.find(key) == held_.end()) {
    DeviceLockAttempt attempt = DeviceLock::TakeDevice(key);
    if (!attempt.lock) {
      in_use_ = attempt.message;
      return kNoHandle;
    }
    const auto known = class_of_path_.find(path);
    held_[key] = Held{std::move(attempt.lock),
                      known != class_of_path_.end() ? known->second : kUsbDeviceInterfaceClass};
  }
  return inner_.OpenPath(path);
}

bool LockingDriver::Holds(const std::string& path) const {
  return held_.find(KeyOf(path)) != held_.end();
}

}  // namespace korvalen
