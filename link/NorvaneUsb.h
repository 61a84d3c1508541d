// The device link: finds the attached device among the system's device
// interfaces, opens it, and carries one vendor control request at a time
// through the driver of the current channel.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "link/Driver.h"

namespace korvalen {

// Driver kinds: which kernel driver serves the device.
inline constexpr uint8_t kDeviceInterfaceChannel = 0;  // firmware-update identity
inline constexpr uint8_t kAudioDriverChannel = 1;      // a model running its firmware

class NorvaneUsb {
 public:
  static constexpr size_t kDevicePathSize = 512;
  static constexpr size_t kDeviceIdSize = 50;

  explicit NorvaneUsb(Driver& driver);
  NorvaneUsb(const NorvaneUsb&) = delete;
  NorvaneUsb& operator=(const NorvaneUsb&) = delete;
  virtual ~NorvaneUsb();

  // Searches for the device id text; every matching interface becomes the
  // device path, sets the present flag and gets one test request on a handle
  // of its own. Returns the last test request's outcome (false when nothing
  // matched). Never clears the present flag.
  virtual bool Probe();
  // Searches for the device id text without sending anything; the present
  // flag becomes the outcome (false also when the enumeration failed).
  virtual bool Scan();
  virtual bool IsPresent() const;

  // Copies text into the device id text. A text that does not fit the
  // 50-character buffer (more than 49 characters) is refused: false, and the
  // old id stays.
  bool SetDeviceId(std::string_view text);
  void SetDriverKind(uint8_t kind) { driver_kind_ = kind; }
  uint8_t DriverKind() const { return driver_kind_; }
  void ClearPresent() { present_ = false; }

  // Opens the device path, closing a held handle first. An open that fails
  // because the path is no longer listed marks the device gone.
  bool Open();
  void Close();
  bool HasHandle() const { return handle_ != kNoHandle; }
  // True when the last attempt to open the device path (the test request of
  // Probe, or Open) failed because the system refused this user access to a
  // device that is there; false after one that succeeded or failed for any
  // other reason. Each Probe starts afresh. AccessDeniedMessage
  // (link/DeviceAccess.h) says what to do about it.
  bool AccessDenied() const { return access_denied_; }
  // Like AccessDenied, for a device whose lock another program holds: what
  // the driver said ("the device is in use by process 1234"), or empty.
  const std::string& InUseText() const { return in_use_; }

  // One vendor control request on the held handle. False without a handle
  // (and then no system call is made), or when the driver refused it.
  bool ControlTransfer(uint8_t request_type, uint8_t request, uint16_t value, uint16_t index,
                       uint8_t* data, uint32_t length);
  // True once the device has gone: a request failed because the driver
  // found its device gone, or an Open found its path no longer listed. A
  // gone device answers nothing more, so callers stop instead of retrying
  // and polling. Stays set until an Open or a Probe reaches the device again;
  // a request that was merely refused never sets it.
  bool DeviceGone() const { return device_gone_; }
  // Requests the driver did not carry (refused or lost), the presence
  // tests included, since this object was made.
  uint64_t refused_requests() const { return refused_requests_; }

  const char* DevicePath() const { return device_path_; }
  const char* DeviceId() const { return device_id_; }

 private:
  template <typename OnMatch>
  void Search(OnMatch on_match);
  // False when the system lists the device path no more; true while it
  // does, and when the system query itself fails (nothing is known then).
  bool PathStillListed();
  bool SendTestRequest(DriverHandle handle);

  Driver& driver_;
  bool present_ = false;
  uint8_t driver_kind_ = kDeviceInterfaceChannel;
  char device_path_[kDevicePathSize] = {};
  char device_id_[kDeviceIdSize] = {};
  DriverHandle handle_ = kNoHandle;
  bool access_denied_ = false;
  bool device_gone_ = false;
  uint64_t refused_requests_ = 0;
  std::string in_use_;
};

}  // namespace korvalen
