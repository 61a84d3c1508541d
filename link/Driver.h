// The driver seam: the one place where the link meets the operating system's
// device discovery and I/O-control calls. NorvaneUsb builds the request
// records and hands them to a Driver unchanged, so the record bytes are the
// contract between the link and whatever carries them to the device.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace korvalen {

// A GUID in its standard binary layout (little-endian first three fields).
struct Guid {
  uint32_t data1;
  uint16_t data2;
  uint16_t data3;
  std::array<uint8_t, 8> data4;

  std::array<uint8_t, 16> Bytes() const;
  static Guid FromBytes(std::span<const uint8_t, 16> bytes);
  bool operator==(const Guid&) const = default;
};

// The system's USB device interface class: the firmware-update driver's channel.
inline constexpr Guid kUsbDeviceInterfaceClass = {
    0xA5DCBF10, 0x6530, 0x11D2, {0x90, 0x1F, 0x00, 0xC0, 0x4F, 0xB9, 0x51, 0xED}};
// The device's audio driver publishes its interfaces under this class.
inline constexpr Guid kAudioDriverInterfaceClass = {
    0x50894FA4, 0x9206, 0x4A91, {0x87, 0x28, 0xCF, 0x6F, 0x26, 0x8F, 0x27, 0x1D}};
// The audio driver's vendor property set that carries control requests.
inline constexpr Guid kVendorPropertySet = {
    0xF6D7C04D, 0xC5C3, 0x4181, {0x9E, 0xD7, 0x50, 0x4A, 0xBE, 0x0C, 0xDD, 0xFF}};

using DriverHandle = std::intptr_t;
inline constexpr DriverHandle kNoHandle = 0;

class Driver {
 public:
  virtual ~Driver() = default;

  // Lists the interface paths of the present devices that expose the given
  // interface class. nullopt when the system query itself failed; an empty
  // list when it worked and found nothing. Interfaces whose detail cannot be
  // fetched are left out.
  virtual std::optional<std::vector<std::string>> EnumerateInterfaces(const Guid& interface_class) = 0;

  // Opens an interface path for reading and writing. Returns kNoHandle when
  // the path does not name a present device or cannot be opened.
  virtual DriverHandle OpenPath(const std::string& path) = 0;

  // Why the most recent OpenPath returned kNoHandle: true when the device is
  // there but the system refuses this user access to it (on Linux: no write
  // permission on the device node, which the package's udev rules grant).
  // False after an OpenPath that succeeded, after any other failure, before
  // the first OpenPath, and for drivers that cannot tell. Never fails.
  virtual bool LastOpenDenied() const { return false; }

  // Set when the most recent OpenPath returned kNoHandle because another
  // program holds the device's lock (link/DeviceLock.h): "the device is in
  // use by process 1234". Empty otherwise, and for drivers that take no
  // lock. Never fails.
  virtual std::string LastOpenInUse() const { return {}; }

  // Closes a handle returned by OpenPath. Never called with kNoHandle.
  virtual void CloseHandle(DriverHandle handle) = 0;

  // One I/O-control call: `in` is the request record, `out` the caller's data
  // block (source of an OUT transfer, destination of an IN transfer; it may
  // be empty). True when the driver accepted the request; false on any
  // failure, including a handle whose device has gone. Never throws.
  virtual bool IoControl(DriverHandle handle, uint32_t code, std::span<const uint8_t> in,
                         std::span<uint8_t> out) = 0;

  // Why the most recent IoControl returned false: true when the device
  // behind the handle is gone (unplugged, powered off, its bus removed), so
  // no later request on it can succeed; false when the device refused or
  // lost that one request, after an IoControl that succeeded, and for
  // drivers that cannot tell. Wrappers pass the inner driver's answer on.
  // Never fails.
  virtual bool LastIoDeviceGone() const { return false; }

  // The USB serial number string of the device behind an interface path, as
  // the system knows it (no vendor request); empty when it has none, it
  // cannot be read, or the driver cannot tell.
  virtual std::string SerialNumberOf(const std::string& path) {
    (void)path;
    return {};
  }
};

}  // namespace korvalen
