// The driver seam over a set of simulated devices. Enumeration lists each
// present device under the interface class of its channel (models under the
// audio driver's class, firmware-update identities under the USB device
// interface class) with a path that looks like a real interface path and
// carries the lower-case "vid_xxxx&pid_xxxx" id text. I/O-control calls go
// through the shared decoder DecodeRequest (link/RequestRecord.h), the same
// one LibusbDriver uses, to the device behind the handle. Devices can be
// attached and detached at any time; a handle of a removed device fails
// every request (false, never a crash). Not thread-safe: one thread.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "link/Driver.h"
#include "sim/SimDevice.h"

namespace korvalen::sim {

class SimDriver : public korvalen::Driver {
 public:
  SimDriver() = default;

  // Plugs a device in (again): it gets the next free port number, which is
  // part of its path. Attaching an attached device does nothing.
  void Attach(std::shared_ptr<SimDevice> device);
  // Plugs a device into a chosen port (1 to 255), as a device on a driver of
  // its own would sit beside others on the same bus. Does nothing when the
  // device is attached or the port is taken.
  void AttachAt(std::shared_ptr<SimDevice> device, int port);
  // Unplugs it: enumeration stops listing it, its open handles fail from now
  // on (and stay failing after a re-attach). Unknown devices are ignored.
  void Detach(const std::shared_ptr<SimDevice>& device);
  void DetachAll();
  std::vector<std::shared_ptr<SimDevice>> Attached() const;
  // The interface path of an attached device ("" when not attached).
  std::string PathOf(const SimDevice& device) const;

  // Makes the system query itself fail (EnumerateInterfaces returns nullopt).
  void SetEnumerationFails(bool fails) { enumeration_fails_ = fails; }

  std::optional<std::vector<std::string>> EnumerateInterfaces(
      const korvalen::Guid& interface_class) override;
  korvalen::DriverHandle OpenPath(const std::string& path) override;
  void CloseHandle(korvalen::DriverHandle handle) override;
  bool IoControl(korvalen::DriverHandle handle, uint32_t code, std::span<const uint8_t> in,
                 std::span<uint8_t> out) override;
  // True when the last call failed because its device was unplugged (or
  // plugged in again since the handle was opened) or has vanished.
  bool LastIoDeviceGone() const override { return last_io_gone_; }

  // Bookkeeping for tests.
  size_t OpenHandles() const { return handles_.size(); }
  uint64_t IoControlCalls() const { return io_control_calls_; }
  // Calls that broke the seam's contract: CloseHandle or IoControl on a
  // handle that was never opened or is already closed.
  uint64_t ContractViolations() const { return contract_violations_; }

 private:
  struct Slot {
    std::shared_ptr<SimDevice> device;
    int port = 0;
    uint64_t generation = 0;  // bumped at every attach
  };
  struct OpenHandle {
    std::weak_ptr<SimDevice> device;
    uint64_t generation = 0;
  };
  const Slot* FindSlot(const SimDevice* device) const;
  static std::string PathFor(const SimIdentity& identity, int port);

  std::vector<Slot> slots_;
  std::map<korvalen::DriverHandle, OpenHandle> handles_;
  korvalen::DriverHandle next_handle_ = 0x1000;
  uint64_t next_generation_ = 1;
  int next_port_ = 1;
  bool enumeration_fails_ = false;
  bool last_io_gone_ = false;
  uint64_t io_control_calls_ = 0;
  uint64_t contract_violations_ = 0;
};

}  // namespace korvalen::sim
