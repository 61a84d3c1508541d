#include <cctype>
#include <cstdint>
#include <cstdio>

#include "link/DeviceLock.h"
#include "link/UsbInterfacePath.h"

namespace korvalen {
namespace {

// The readable part of a name stays well within a file name's 255 bytes.
constexpr size_t kMaxReadableName = 96;

uint64_t Fnv1a(std::string_view text) {
  uint64_t hash = 0xcbf29ce484222325ull;
  for (const char c : text) {
    hash ^= static_cast<uint8_t>(c);
    hash *= 0x100000001b3ull;
  }
  return hash;
}

}  // namespace

std::string DeviceLockKey(std::string_view interface_path) {
  if (ParseInterfacePath(interface_path)) {
    return std::string(interface_path.substr(0, interface_path.find('#')));
  }
  if (const auto system = ParseSystemInterfacePath(interface_path)) return system->place;
  return {};
}

std::string DeviceLockName(std::string_view key) {
  std::string name = "korvalen-";
  for (const char c : key.substr(0, kMaxReadableName)) {
    const bool plain = std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '-' || c == '_';
    name += plain ? c : '_';
  }
  char hash[20];
  std::snprintf(hash, sizeof hash, "-%016llx", static_cast<unsigned long long>(Fnv1a(key)));
  return name + hash;
}

}  // namespace korvalen
