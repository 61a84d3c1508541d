// The real driver on Windows: the system's device-interface discovery and the
// I/O-control calls that reach the firmware-update driver and the device's
// audio driver. The request records go to the kernel driver unchanged.
#pragma once

#ifdef _WIN32

#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "link/Driver.h"

namespace korvalen {

class Win32Driver : public Driver {
 public:
  // nullopt when the system cannot build the set of present interfaces. A
  // walk that the system breaks off early ends with the paths found so far.
  std::optional<std::vector<std::string>> EnumerateInterfaces(const Guid& interface_class) override;
  // kNoHandle when the path is empty, holds a zero byte, or cannot be opened.
  DriverHandle OpenPath(const std::string& path) override;
  void CloseHandle(DriverHandle handle) override;
  bool IoControl(DriverHandle handle, uint32_t code, std::span<const uint8_t> in,
                 std::span<uint8_t> out) override;
  // True when the last call failed with "device not connected", or failed
  // otherwise and the handle's path no longer opens.
  bool LastIoDeviceGone() const override { return last_io_gone_; }

 private:
  bool DeviceGoneAfterFailure(DriverHandle handle, unsigned long error) const;

  std::map<DriverHandle, std::string> paths_;  // the path each open handle came from
  bool last_io_gone_ = false;
};

}  // namespace korvalen

#endif  // _WIN32
