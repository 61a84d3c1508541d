// The devices the command line can work on: every attached device whose
// identity the detection knows, with a stable path (its bus and port chain)
// that picks one among several identical devices, and where each device's
// thread gets its driver and clock.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "link/Clock.h"
#include "link/Driver.h"

namespace korvalen::cli {

struct DeviceEntry {
  std::string path;            // "usb:bus-001:port-1.4": where the device sits
  std::string interface_path;  // the full interface path on its channel
  std::string id_text;         // "vid_5e1a&pid_f070"
  std::string name;            // model display name, or "Firmware update 5E1A"
  int model_row = -1;          // ModelTable row; -1 for a firmware-update identity
  uint8_t channel = 0;         // kAudioDriverChannel or kDeviceInterfaceChannel
  uint16_t vid = 0;
  uint16_t pid = 0;
  std::string serial;  // the USB serial number it reports; empty when none or not read
};

// The known devices among a driver's interfaces: models under the audio
// driver's class, the firmware-update identities under the USB device
// interface class. nullopt when both system queries failed.
std::optional<std::vector<DeviceEntry>> FindKnownDevices(Driver& driver);

// The model row whose update file a device uses: its own row, row 0 for the
// 5E1A loader identity (as the window does), nullopt for the 0C3D loader,
// for which the window loads no file.
std::optional<int> UpdateFileRow(const DeviceEntry& device);

// The driver and clock one device's thread works with. Each line belongs to
// one thread; nothing in it is shared with another line.
class DeviceLine {
 public:
  virtual ~DeviceLine() = default;
  virtual Driver& driver() = 0;
  virtual Clock& clock() = 0;
  // The key of the device's lock (link/DeviceLock.h), or empty for a device
  // no other program can reach (simulated, replayed).
  virtual std::string LockKey() const { return {}; }
};

// Where devices come from: the system's USB stack or simulated devices.
class DeviceSource {
 public:
  virtual ~DeviceSource() = default;
  // Every known device, sorted by path; nullopt when the system query failed.
  virtual std::optional<std::vector<DeviceEntry>> List() = 0;
  // A line of its own for the device (a fresh driver on real hardware).
  virtual std::unique_ptr<DeviceLine> LineFor(const DeviceEntry& device) = 0;
  // Called once the command is done (simulated devices save their state).
  // An error text, or empty.
  virtual std::string Finish() { return {}; }

  // For a station, which watches the source for as long as it runs:
  // The station is done with the device (a simulated operator unplugs it
  // a moment later).
  virtual void RunEnded(const DeviceEntry& device) { (void)device; }
  // Waits until the next look at the devices, at most ms; updates_running
  // says whether any device is being updated meanwhile.
  virtual void WaitBetweenScans(uint32_t ms, bool updates_running);
  // False once no device will ever arrive again (a simulated line whose
  // every device has come and gone).
  virtual bool MoreToCome() { return true; }
};

// Devices on the platform's USB driver, real time.
std::unique_ptr<DeviceSource> MakeUsbSource();

}  // namespace korvalen::cli
