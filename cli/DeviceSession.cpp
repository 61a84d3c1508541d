#include "cli/DeviceSession.h"

#include <string_view>

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
  // Two programs' requests interleaved would destroy an update: nothing is
  // sent, not even the test request, without the device's lock.
  if (const std::string key = line_->LockKey(); !key.empty() && !lock_) {
    DeviceLockAttempt attempt = DeviceLock::TakeDevice(key);
    if (!attempt.lock) {
      in_use_ = attempt.message;
      return SessionState::kCannotOpen;
    }
    lock_ = std::move(attempt.lock);
  }
  link_.SetDriverKind(device_.channel);
  link_.SetDeviceId(device_.id_text);
  probe_carried_ = link_.Probe();
  if (!link_.IsPresent()) return SessionState::kGone;
  if (driver_.open_refused() || !link_.Open()) return SessionState::kCannotOpen;
  link_.Close();
  return SessionState::kReady;
}

std::string DeviceSession::CannotOpenText() const {
  if (!in_use_.empty()) return device_.name + " at " + device_.path + ": " + in_use_;
  return cli::CannotOpenText(device_, access_denied());
}

std::string CannotOpenText(const DeviceEntry& device, bool access_denied) {
  if (access_denied) {
    // The package's own rules: the seven identities the tool opens, no
    // other device of the vendor.
    std::string rules;
    for (const std::string_view id : KnownDeviceIds()) {
      const auto digits = SplitDeviceId(id);
      if (!digits) continue;
      rules += "SUBSYSTEM==\"usb\", ENV{DEVTYPE}==\"usb_device\", ATTR{idVendor}==\"" +
               std::string(digits->vid) + "\", ATTR{idProduct}==\"" + std::string(digits->pid) +
               "\", TAG+=\"uaccess\"\n";
    }
    return AccessDeniedMessage(device.id_text) + " (at " + device.path +
           ")\nUntil the package is installed, its rules (these seven devices, no others) grant access:\n"
           "  sudo tee /etc/udev/rules.d/70-korvalen-local.rules <<'EOF'\n" +
           rules +
           "EOF\n"
           "  sudo udevadm control --reload-rules\n"
           "then unplug and replug the device.";
  }
  return "cannot open " + device.name + " at " + device.path +
         ": the device did not open (it may have been unplugged or be in use)";
}

}  // namespace korvalen::cli
