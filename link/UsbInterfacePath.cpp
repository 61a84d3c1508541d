#include "link/UsbInterfacePath.h"

#include <charconv>
#include <cstdio>

namespace korvalen {
namespace {

constexpr std::string_view kBusPrefix = "usb:bus-";
constexpr std::string_view kPortPrefix = ":port-";
constexpr std::string_view kRootHubPorts = "root";
constexpr char kPortSeparator = '.';
constexpr char kFieldSeparator = '#';
constexpr std::string_view kVendorPrefix = "vid_";
constexpr std::string_view kProductPrefix = "&pid_";
constexpr size_t kIdDigits = 4;
constexpr size_t kGuidTextLength = 38;  // braces, 32 digits, 4 dashes
constexpr std::string_view kSystemPathPrefix = "\\\\?\\";

bool LowerHex(std::string_view text) {
  for (const char c : text) {
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  }
  return true;
}

// A whole, non-empty field read as an unsigned number; false on any stray
// character or a value that does not fit.
template <typename T>
bool ReadNumber(std::string_view text, int base, T& value) {
  if (text.empty()) return false;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, base);
  return error == std::errc() && end == text.data() + text.size();
}

std::optional<std::vector<uint8_t>> ReadPorts(std::string_view text) {
  std::vector<uint8_t> ports;
  if (text == kRootHubPorts) return ports;
  while (true) {
    const size_t dot = text.find(kPortSeparator);
    uint8_t port = 0;
    if (!ReadNumber(text.substr(0, dot), 10, port) || port == 0) return std::nullopt;
    ports.push_back(port);
    if (ports.size() > kMaxPortDepth) return std::nullopt;
    if (dot == std::string_view::npos) return ports;
    text.remove_prefix(dot + 1);
  }
}

std::optional<Guid> ReadGuid(std::string_view text) {
  if (text.size() != kGuidTextLength || text.front() != '{' || text.back() != '}') {
    return std::nullopt;
  }
  Guid guid{};
  // Fixed columns of the braced form; the dashes are checked when the caller
  // compares the rebuilt path with the one it was given.
  bool ok = ReadNumber(text.substr(1, 8), 16, guid.data1) &&
            ReadNumber(text.substr(10, 4), 16, guid.data2) &&
            ReadNumber(text.substr(15, 4), 16, guid.data3);
  constexpr size_t kByteColumns[8] = {20, 22, 25, 27, 29, 31, 33, 35};
  for (size_t i = 0; ok && i < guid.data4.size(); ++i) {
    ok = ReadNumber(text.substr(kByteColumns[i], 2), 16, guid.data4[i]);
  }
  if (!ok) return std::nullopt;
  return guid;
}

}  // namespace

std::string GuidText(const Guid& guid) {
  char text[kGuidTextLength + 1];
  const auto& d = guid.data4;
  std::snprintf(text, sizeof text, "{%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x}",
                static_cast<unsigned>(guid.data1), guid.data2, guid.data3, d[0], d[1], d[2], d[3],
                d[4], d[5], d[6], d[7]);
  return text;
}

std::string BuildInterfacePath(const UsbLocation& location, const Guid& interface_class) {
  char number[8];
  std::snprintf(number, sizeof number, "%03u", location.bus);
  std::string path(kBusPrefix);
  path += number;
  path += kPortPrefix;
  if (location.ports.empty()) path += kRootHubPorts;
  for (size_t i = 0; i < location.ports.size(); ++i) {
    if (i != 0) path += kPortSeparator;
    path += std::to_string(location.ports[i]);
  }
  char id[32];
  std::snprintf(id, sizeof id, "%cvid_%04x&pid_%04x%c", kFieldSeparator, location.vendor_id,
                location.product_id, kFieldSeparator);
  path += id;
  path += GuidText(interface_class);
  return path;
}

std::optional<SystemInterfacePath> ParseSystemInterfacePath(std::string_view path) {
  if (path.size() > kMaxInterfacePathLength || !path.starts_with(kSystemPathPrefix)) {
    return std::nullopt;
  }
  // The class field follows the instance; a kernel-streaming interface adds
  // a reference string after it ("\\global"), which the last '#' leaves out.
  const std::string_view body = path.substr(kSystemPathPrefix.size());
  const size_t class_start = body.rfind(kFieldSeparator);
  if (class_start == std::string_view::npos || class_start == 0) return std::nullopt;
  SystemInterfacePath parsed;
  const std::string_view place = body.substr(0, class_start);
  parsed.place = place;
  const size_t product_at = kVendorPrefix.size() + kIdDigits;
  const size_t id_length = product_at + kProductPrefix.size() + kIdDigits;
  // The first id text in the instance names the device; an interface of a
  // composite device adds "&mi_xx" after it.
  for (size_t at = place.find(kVendorPrefix); at != std::string_view::npos;
       at = place.find(kVendorPrefix, at + 1)) {
    const std::string_view id = place.substr(at, id_length);
    const std::string_view vendor = id.substr(kVendorPrefix.size(), kIdDigits);
    if (id.size() != id_length || id.substr(product_at, kProductPrefix.size()) != kProductPrefix)
      continue;
    const std::string_view product = id.substr(product_at + kProductPrefix.size());
    if (!LowerHex(vendor) || !LowerHex(product) || !ReadNumber(vendor, 16, parsed.vendor_id) ||
        !ReadNumber(product, 16, parsed.product_id)) {
      continue;
    }
    return parsed;
  }
  return std::nullopt;
}

std::optional<ParsedInterfacePath> ParseInterfacePath(std::string_view path) {
  if (path.size() > kMaxInterfacePathLength || !path.starts_with(kBusPrefix)) return std::nullopt;
  std::string_view rest = path.substr(kBusPrefix.size());

  const size_t port_start = rest.find(kPortPrefix);
  const size_t id_start = rest.find(kFieldSeparator);
  if (port_start == std::string_view::npos || id_start == std::string_view::npos ||
      id_start < port_start) {
    return std::nullopt;
  }
  ParsedInterfacePath parsed;
  UsbLocation& location = parsed.location;
  if (!ReadNumber(rest.substr(0, port_start), 10, location.bus)) return std::nullopt;
  const size_t ports_start = port_start + kPortPrefix.size();
  auto ports = ReadPorts(rest.substr(ports_start, id_start - ports_start));
  if (!ports) return std::nullopt;
  location.ports = std::move(*ports);

  rest.remove_prefix(id_start + 1);
  const size_t product_at = kVendorPrefix.size() + kIdDigits;
  const size_t id_length = product_at + kProductPrefix.size() + kIdDigits;
  if (rest.size() < id_length + 1 || !rest.starts_with(kVendorPrefix) ||
      rest.substr(product_at, kProductPrefix.size()) != kProductPrefix ||
      rest[id_length] != kFieldSeparator ||
      !ReadNumber(rest.substr(kVendorPrefix.size(), kIdDigits), 16, location.vendor_id) ||
      !ReadNumber(rest.substr(product_at + kProductPrefix.size(), kIdDigits), 16,
                  location.product_id)) {
    return std::nullopt;
  }
  const auto guid = ReadGuid(rest.substr(id_length + 1));
  if (!guid) return std::nullopt;
  parsed.interface_class = *guid;

  // Only the one written form names a device: rebuilding must give the same
  // text, which rules out upper case, leading zeros and misplaced dashes.
  if (BuildInterfacePath(location, parsed.interface_class) != path) return std::nullopt;
  return parsed;
}

}  // namespace korvalen
