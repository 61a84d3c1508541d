// What to tell a person whose device is there but cannot be opened because
// the system does not give their user access to it (NorvaneUsb::AccessDenied).
// On Linux the package's udev rules grant the logged-in user access to the
// known device identities; they take effect when the device is plugged in.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace korvalen {

// The name of the Debian package that installs the program and its rules.
inline constexpr char kPackageName[] = "korvalen-updater";

// Every identity the tool opens: the model rows in table order, then the two
// firmware-update identities. The installed udev rules are made from this.
std::vector<std::string_view> KnownDeviceIds();

// The vendor and product id of an id text "vid_xxxx&pid_xxxx", four
// hexadecimal digits each, as written there; nullopt when the text does not
// hold both.
struct UsbIdDigits {
  std::string_view vid;
  std::string_view pid;
};
std::optional<UsbIdDigits> SplitDeviceId(std::string_view device_id);

// The device as a person knows it: the model's display name, or "the firmware
// update device" for the two update identities, or "the USB device", followed
// by its USB ids as lsusb shows them ("KORVALEN TIDE (USB 5e1a:f072)").
// device_id is an id text or an interface path that holds one; a text that
// holds no "vid_xxxx&pid_xxxx" is shown as it is.
std::string DeviceDisplayName(std::string_view device_id);

// One plain message for the device line and the command line: names the
// device and says to install the package (or its udev rules) and replug.
std::string AccessDeniedMessage(std::string_view device_id);

}  // namespace korvalen
