// One device's link for a command: a driver that shows the link only the
// chosen device's interface (so several identical devices never mix), counts
// the requests, and remembers whether the system refused to open the device.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "cli/Devices.h"
#include "link/DeviceLock.h"
#include "link/NorvaneUsb.h"

namespace korvalen::cli {

class OneDeviceDriver : public Driver {
 public:
  OneDeviceDriver(Driver& inner, std::string interface_path)
      : inner_(inner), interface_path_(std::move(interface_path)) {}

  std::optional<std::vector<std::string>> EnumerateInterfaces(const Guid& interface_class) override;
  DriverHandle OpenPath(const std::string& path) override;
  bool LastOpenDenied() const override { return inner_.LastOpenDenied(); }
  bool LastIoDeviceGone() const override { return inner_.LastIoDeviceGone(); }
  std::string LastOpenInUse() const override { return inner_.LastOpenInUse(); }
  void CloseHandle(DriverHandle handle) override { inner_.CloseHandle(handle); }
  bool IoControl(DriverHandle handle, uint32_t code, std::span<const uint8_t> in,
                 std::span<uint8_t> out) override;

  uint64_t requests() const { return requests_; }
  // Requests the driver did not carry: a device that stopped answering.
  uint64_t failed_requests() const { return failed_requests_; }
  bool open_refused() const { return open_refused_; }

 private:
  Driver& inner_;
  std::string interface_path_;
  uint64_t requests_ = 0;
  uint64_t failed_requests_ = 0;
  bool open_refused_ = false;
};

// What finding the device on its line came to.
enum class SessionState { kReady, kGone, kCannotOpen };

class DeviceSession {
 public:
  DeviceSession(const DeviceEntry& device, std::unique_ptr<DeviceLine> line);
  DeviceSession(const DeviceSession&) = delete;
  DeviceSession& operator=(const DeviceSession&) = delete;

  // Takes the device's lock, finds the device the way detection does (one
  // test request on a handle of its own), then checks that it opens. A
  // device whose lock another program holds is kCannotOpen, nothing sent.
  // The lock is kept until the session ends.
  SessionState Connect();

  const DeviceEntry& device() const { return device_; }
  NorvaneUsb& link() { return link_; }
  Clock& clock() { return line_->clock(); }
  uint64_t requests() const { return driver_.requests(); }
  uint64_t failed_requests() const { return driver_.failed_requests(); }
  // The system refused this user access (rather than the device failing).
  bool access_denied() const { return link_.AccessDenied(); }
  // The device carried the test request that found it.
  bool probe_carried() const { return probe_carried_; }
  // Why Connect gave kCannotOpen, in plain words.
  std::string CannotOpenText() const;

 private:
  DeviceEntry device_;
  std::unique_ptr<DeviceLine> line_;
  OneDeviceDriver driver_;
  NorvaneUsb link_;
  std::unique_ptr<DeviceLock> lock_;
  std::string in_use_;  // the lock's holder, when another program has it
  bool probe_carried_ = false;
};

// The plain-words message for a device the system would not open: for lack
// of permission, which device and how to get access.
std::string CannotOpenText(const DeviceEntry& device, bool access_denied);

}  // namespace korvalen::cli
