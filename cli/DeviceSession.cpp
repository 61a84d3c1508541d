#include "cli/DeviceSession.h"

#include <cstdio>

#include "link/DeviceAccess.h"

namespace korvalen::cli {

std::optional<std::vector<std::string>> OneDeviceDriver::EnumerateInterfaces(
    const Guid& interface_class) {
  auto paths = inner_.EnumerateInterfaces(interface_class);
  if (!paths) return paths;
  std::vector<std::string> kept;
  for (std::string& path : *paths) {
    if (path == interface_path_) kept.push_back(std::move(path));
  }
  return kept;
}

DriverHandle OneDeviceDriver::OpenPath(const std::string& path) {
  const DriverHandle handle = inner_.OpenPath(path);
  if (handle == kNoHandle) open_refused_ = true;
  return handle;
}

bool OneDeviceDriver::IoControl(DriverHandle handle, uint32_t code, std::span<const uint8_t> in,
                                std::span<uint8_t> out) {
  ++requests_;
  const bool carried = inner_.IoControl(handle, code, in, out);
  if (!carried) ++failed_requests_;
  return carried;
}

DeviceSession::DeviceSession(const DeviceEntry& device, std::unique_ptr<DeviceLine> line)
    : device_(device),
      line_(std::move(line)),
      driver_(line_->driver(), device.interface_path),
      link_(driver_) {}

SessionState DeviceSession::Connect() {
  link_.SetDriverKind(device_.channel);
  link_.SetDeviceId(device_.id_text);
  link_.Probe();
  if (!link_.IsPresent()) return SessionState::kGone;
  if (driver_.open_refused() || !link_.Open()) return SessionState::kCannotOpen;
  link_.Close();
  return SessionState::kReady;
}

std::string CannotOpenText(const DeviceEntry& device, bool access_denied) {
  if (access_denied) {
    char vid[5];
    std::snprintf(vid, sizeof vid, "%04x", static_cast<unsigned>(device.vid));
    return AccessDeniedMessage(device.id_text) + " (at " + device.path +
           ")\nUntil the package is installed, a rule of your own grants access:\n"
           "  echo 'SUBSYSTEM==\"usb\", ATTR{idVendor}==\"" + vid +
           "\", TAG+=\"uaccess\"' | sudo tee /etc/udev/rules.d/70-korvalen-local.rules\n"
           "  sudo udevadm control --reload-rules\n"
           "then unplug and replug the device.";
  }
  return "cannot open " + device.name + " at " + device.path +
         ": the device did not open (it may have been unplugged or be in use)";
}

}  // namespace korvalen::cli
