#include "image/HexDigits.h"

namespace korvalen {

namespace {
constexpr uint8_t kBitsPerDigit = 4;
constexpr uint8_t kFirstLetterValue = 10;
// Typed values convert as a 32-bit integer.
constexpr uint64_t kTypedValueMax = 0xFFFFFFFF;
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

std::optional<uint32_t> ParseTypedHex(std::string_view typed) {
  if (typed.empty()) return std::nullopt;
  uint64_t value = 0;
  for (const char c : typed) {
    const std::optional<uint8_t> digit = HexDigitValue(c);
    if (!digit) return std::nullopt;
    value = (value << kBitsPerDigit) | *digit;
    if (value > kTypedValueMax) return std::nullopt;
  }
  return static_cast<uint32_t>(value);
}

std::string TypedHexError(std::string_view typed) {
  return "'0x" + std::string(typed) + "' is not a valid integer value";
}

}  // namespace korvalen
