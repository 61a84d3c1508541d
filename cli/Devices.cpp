#include "cli/Devices.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <thread>

#include "link/DeviceLock.h"
#include "link/ModelTable.h"
#include "link/NorvaneUsb.h"
#include "link/UsbInterfacePath.h"

#ifdef _WIN32
#include "link/Win32Driver.h"
#else
#include "link/LibusbDriver.h"
#endif

namespace korvalen::cli {
namespace {

struct UpdateIdentity {
  const char* id_text;
  const char* name;
};
constexpr UpdateIdentity kUpdateIdentities[] = {
    {kUpdateId5E1A, "Firmware update 5E1A"},
    {kUpdateId0C3D, "Firmware update 0C3D"},
};

void AddMatches(Driver& driver, uint8_t channel, std::vector<DeviceEntry>& out, bool& any_ok) {
  const Guid& interface_class =
      channel == kAudioDriverChannel ? kAudioDriverInterfaceClass : kUsbDeviceInterfaceClass;
  const auto paths = driver.EnumerateInterfaces(interface_class);
  if (!paths) return;
  any_ok = true;
  for (const std::string& interface_path : *paths) {
    DeviceEntry entry;
    if (const auto parsed = ParseInterfacePath(interface_path)) {
      entry.path = interface_path.substr(0, interface_path.find('#'));
      entry.vid = parsed->location.vendor_id;
      entry.pid = parsed->location.product_id;
    } else if (const auto system = ParseSystemInterfacePath(interface_path)) {
      // The system's own paths start with "\\?\usb#": their first field
      // would name every device alike, so the place is the whole instance.
      entry.path = system->place;
      entry.vid = system->vendor_id;
      entry.pid = system->product_id;
    } else {
      continue;
    }
    entry.interface_path = interface_path;
    entry.channel = channel;
    entry.serial = driver.SerialNumberOf(interface_path);
    // The link matches id texts as substrings of the path, so this does too.
    if (channel == kAudioDriverChannel) {
      for (int row = 0; row < kModelCount; ++row) {
        if (interface_path.find(ModelTable[row].device_id) == std::string::npos) continue;
        entry.id_text = ModelTable[row].device_id;
        entry.name = ModelTable[row].display_name;
        entry.model_row = row;
        break;
      }
    } else {
      for (const UpdateIdentity& identity : kUpdateIdentities) {
        if (interface_path.find(identity.id_text) == std::string::npos) continue;
        entry.id_text = identity.id_text;
        entry.name = identity.name;
        break;
      }
    }
    if (!entry.id_text.empty()) out.push_back(std::move(entry));
  }
}

#ifdef _WIN32
using PlatformDriver = Win32Driver;
#else
using PlatformDriver = LibusbDriver;
#endif

class UsbLine : public DeviceLine {
 public:
  explicit UsbLine(std::string lock_key) : lock_key_(std::move(lock_key)) {}
  Driver& driver() override { return driver_; }
  Clock& clock() override { return clock_; }
  std::string LockKey() const override { return lock_key_; }

 private:
  PlatformDriver driver_;
  RealClock clock_;
  std::string lock_key_;
};

class UsbSource : public DeviceSource {
 public:
  // Each look is the system's own view of that moment: a driver kept from
  // an earlier look would go on showing the devices it first saw (a long
  // running station never saw a device plugged after it started).
  std::optional<std::vector<DeviceEntry>> List() override {
    PlatformDriver driver;
    return FindKnownDevices(driver);
  }
  std::unique_ptr<DeviceLine> LineFor(const DeviceEntry& device) override {
    return std::make_unique<UsbLine>(DeviceLockKey(device.interface_path));
  }
};

}  // namespace

std::optional<std::vector<DeviceEntry>> FindKnownDevices(Driver& driver) {
  std::vector<DeviceEntry> devices;
  bool any_ok = false;
  AddMatches(driver, kAudioDriverChannel, devices, any_ok);
  AddMatches(driver, kDeviceInterfaceChannel, devices, any_ok);
  if (!any_ok) return std::nullopt;
  std::sort(devices.begin(), devices.end(), [](const DeviceEntry& a, const DeviceEntry& b) {
    return a.path != b.path ? a.path < b.path : a.channel > b.channel;
  });
  return devices;
}

std::optional<int> UpdateFileRow(const DeviceEntry& device) {
  if (device.model_row >= 0) return device.model_row;
  if (device.id_text == kUpdateId5E1A) return 0;
  return std::nullopt;
}

void DeviceSource::WaitBetweenScans(uint32_t ms, bool) {
  std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

std::unique_ptr<DeviceSource> MakeUsbSource() { return std::make_unique<UsbSource>(); }

}  // namespace korvalen::cli
