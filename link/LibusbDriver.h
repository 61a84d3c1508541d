// The real driver on Linux and macOS. Every USB device is listed under the
// USB device interface class, devices with an audio-class interface also
// under the audio driver's class, each with a path built from its location
// and vid/pid (link/UsbInterfacePath.h). Each request record is decoded back
// into its control transfer and sent to endpoint 0 with libusb.
//
// The vendor requests go to the device as a whole (recipient "other") and the
// presence test is a standard device request: neither touches an interface,
// so the driver claims no interface and never detaches a kernel driver; the
// audio driver keeps playing while the tool talks to the chip.
//
// Not thread-safe: the link is used from the GUI thread only.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "link/Driver.h"
#include "link/RequestRecord.h"

struct libusb_context;
struct libusb_device_handle;
struct libusb_config_descriptor;

namespace korvalen {

// A single control transfer can carry at most this many data bytes.
inline constexpr uint32_t kMaxControlTransferLength = 0xFFFF;
// No single request may block the window longer than this.
inline constexpr unsigned kControlTransferTimeoutMs = 1000;
// The presence test becomes a standard GET_STATUS of the device, which any
// attached device answers with two bytes.
inline constexpr SetupPacket kGetDeviceStatus = {0x80, 0x00, 0, 0};
inline constexpr uint16_t kDeviceStatusLength = 2;

// The control transfer that one I/O-control call becomes.
struct PlannedTransfer {
  SetupPacket setup;
  uint16_t length = 0;
  // False for the presence test, whose answer goes to a scratch buffer of the
  // driver because the caller passes no data block.
  bool into_caller_block = true;
};

// nullopt when the record does not decode or its data stage is longer than a
// control transfer can carry (rather than cutting it short).
std::optional<PlannedTransfer> PlanTransfer(uint32_t code, std::span<const uint8_t> in,
                                            size_t out_size);

// True when any alternate setting of any interface is of the audio class.
bool HasAudioInterface(const libusb_config_descriptor& config);

class LibusbDriver : public Driver {
 public:
  LibusbDriver();
  ~LibusbDriver() override;
  LibusbDriver(const LibusbDriver&) = delete;
  LibusbDriver& operator=(const LibusbDriver&) = delete;

  // nullopt when libusb cannot start or cannot list the devices; an empty
  // list for any class other than the two this system uses.
  std::optional<std::vector<std::string>> EnumerateInterfaces(const Guid& interface_class) override;
  // kNoHandle when the path is malformed, no device of that vid/pid sits at
  // that location (or it lacks the path's interface class), or the system
  // refuses the open (commonly: no access rights to the device node).
  DriverHandle OpenPath(const std::string& path) override;
  // True when libusb refused the last open with LIBUSB_ERROR_ACCESS.
  bool LastOpenDenied() const override { return last_open_denied_; }
  void CloseHandle(DriverHandle handle) override;
  // False for an unknown or closed handle, a record that does not decode, a
  // transfer the device stalls or does not answer within the timeout, and a
  // device that has gone. The transferred byte count is not looked at.
  bool IoControl(DriverHandle handle, uint32_t code, std::span<const uint8_t> in,
                 std::span<uint8_t> out) override;
  // True when libusb failed the last transfer with LIBUSB_ERROR_NO_DEVICE.
  bool LastIoDeviceGone() const override { return last_io_gone_; }
  // The string descriptor the device descriptor's iSerialNumber names, read
  // on a handle of its own (a standard request); empty when there is none.
  std::string SerialNumberOf(const std::string& path) override;

 private:
  // Starts libusb on first use, and again after a failed start, so a system
  // whose USB stack comes up late is still found. nullptr when it fails.
  libusb_context* Context();

  libusb_context* context_ = nullptr;
  // Handles are counters, not pointers, so a stale or made-up handle value is
  // looked up and refused instead of being dereferenced.
  std::map<DriverHandle, libusb_device_handle*> open_handles_;
  DriverHandle next_handle_ = 1;
  bool last_open_denied_ = false;
  bool last_io_gone_ = false;
};

}  // namespace korvalen
