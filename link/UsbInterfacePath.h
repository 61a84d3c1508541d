// Interface paths for systems whose USB stack has no device-interface paths of
// its own: a path names where a device sits (bus and hub ports), what it is
// (its lower-case vid/pid id text, which the link matches as a substring) and
// the interface class it was listed under, for example
//   usb:bus-003:port-1.4#vid_5e1a&pid_f070#{50894fa4-9206-4a91-8728-cf6f268f271d}
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "link/Driver.h"

namespace korvalen {

// The longest path the link can hold: its path buffer less the terminator.
inline constexpr size_t kMaxInterfacePathLength = 511;
// USB allows at most seven tiers of hubs, so a port chain is never longer.
inline constexpr size_t kMaxPortDepth = 7;

// Where a device sits and what it is. The port chain runs from the root hub
// down to the device; it is empty for a root hub itself. Port numbers start
// at 1. The location stays the same while the device is re-plugged into the
// same socket, unlike its bus address.
struct UsbLocation {
  uint8_t bus = 0;
  std::vector<uint8_t> ports;
  uint16_t vendor_id = 0;
  uint16_t product_id = 0;
  bool operator==(const UsbLocation&) const = default;
};

struct ParsedInterfacePath {
  UsbLocation location;
  Guid interface_class{};
};

// "{xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx}" in lower-case hex.
std::string GuidText(const Guid& guid);

std::string BuildInterfacePath(const UsbLocation& location, const Guid& interface_class);

// A device-interface path as the Windows discovery gives it, for example
//   \\?\usb#vid_5e1a&pid_f070#5&1a2b3c4d&0&2#{a5dcbf10-6530-11d2-901f-00c04fb951ed}
// The place is the device instance between the prefix and the class field
// ("usb#vid_5e1a&pid_f070#5&1a2b3c4d&0&2"): it stays the same while the
// device is re-plugged into the same socket.
struct SystemInterfacePath {
  std::string place;
  uint16_t vendor_id = 0;
  uint16_t product_id = 0;
};

// nullopt unless the path has the "\\?\" prefix, a '#'-separated class field
// after the instance, a lower-case "vid_xxxx&pid_xxxx" in the instance, and
// fits the link's path buffer.
std::optional<SystemInterfacePath> ParseSystemInterfacePath(std::string_view path);

// Reads a path back. Only the exact form BuildInterfacePath writes is
// accepted: anything longer than the link can hold, a port 0, a chain deeper
// than USB allows, upper-case hex, leading zeros or stray text give nullopt.
std::optional<ParsedInterfacePath> ParseInterfacePath(std::string_view path);

}  // namespace korvalen
