// Number texts of the flash labels: upper-case hexadecimal, zero-padded.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

namespace korvalen {

// Two digits, e.g. "0A".
inline std::string HexByteText(uint8_t value) {
  char text[3];
  std::snprintf(text, sizeof(text), "%02X", static_cast<unsigned>(value));
  return text;
}

// Six digits for a flash address, more if the value needs them.
inline std::string HexAddressText(uint32_t value) {
  char text[9];
  std::snprintf(text, sizeof(text), "%06X", static_cast<unsigned>(value));
  return text;
}

}  // namespace korvalen
