// SHA-256 of a file's bytes, so a record names exactly the file a unit was
// programmed from.
#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace korvalen::station {

// The digest of bytes as 64 lower-case hex digits.
std::string Sha256Hex(std::span<const uint8_t> bytes);

}  // namespace korvalen::station
