#include "image/HexDigits.h"

namespace korvalen {

namespace {
constexpr uint8_t kBitsPerDigit = 4;
constexpr uint8_t kFirstLetterValue = 10;
}  // namespace

std::optional<uint8_t> HexDigitValue(char c) {
  if (c >= '0' && c <= '9') return static_cast<uint8_t>(c - '0');
  if (c >= 'A' && c <= 'F') return static_cast<uint8_t>(c - 'A' + kFirstLetterValue);
  if (c >= 'a' && c <= 'f') return static_cast<uint8_t>(c - 'a' + kFirstLetterValue);
  return std::nullopt;
}

uint32_t ParseHexDigits(std::string_view text, size_t count) {
  uint32_t value = 0;
  for (size_t i = 0; i < count; ++i) {
    const uint8_t digit = i < text.size() ? HexDigitValue(text[i]).value_or(0) : 0;
    value = (value << kBitsPerDigit) | digit;
  }
  return value;
}

}  // namespace korvalen
