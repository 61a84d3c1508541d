// A driver that holds each device's lock (link/DeviceLock.h) while this
// program works with the device: the lock is taken at the first OpenPath
// of any of the device's interfaces, kept across handles, and let go when
// an enumeration of the class it was opened through no longer lists the
// device (it was unplugged) or when the driver goes. While another program
// holds the lock, OpenPath returns kNoHandle without touching the device
// and LastOpenInUse says who has it.
#pragma once

#include <map>
#include <memory>
#include <string>

#include "link/DeviceLock.h"
#include "link/Driver.h"

namespace korvalen {

class LockingDriver : public Driver {
 public:
  // key_prefix goes in front of every device's lock key; tests give one of
  // their own so they never meet a real program's locks.
  explicit LockingDriver(Driver& inner, std::string key_prefix = {})
      : inner_(inner), key_prefix_(std::move(key_prefix)) {}

  std::optional<std::vector<std::string>> EnumerateInterfaces(const Guid& interface_class) override;
  DriverHandle OpenPath(const std::string& path) override;
  bool LastOpenDenied() const override { return in_use_.empty() && inner_.LastOpenDenied(); }
  std::string LastOpenInUse() const override { return in_use_; }
  void CloseHandle(DriverHandle handle) override { inner_.CloseHandle(handle); }
  bool IoControl(DriverHandle handle, uint32_t code, std::span<const uint8_t> in,
                 std::span<uint8_t> out) override {
    return inner_.IoControl(handle, code, in, out);
  }
  bool LastIoDeviceGone() const override { return inner_.LastIoDeviceGone(); }

  // Whether this driver holds the lock of the device behind path.
  bool Holds(const std::string& path) const;

 private:
  struct Held {
    std::unique_ptr<DeviceLock> lock;
    Guid interface_class;
  };
  std::string KeyOf(const std::string& path) const;

  Driver& inner_;
  std::string key_prefix_;
  std::map<std::string, Held> held_;  // by lock key
  std::map<std::string, Guid> class_of_path_;
  std::string in_use_;
};

}  // namespace korvalen
