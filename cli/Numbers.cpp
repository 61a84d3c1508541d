#include "cli/Numbers.h"

#include <fmt/format.h>

namespace korvalen::cli {
namespace {

constexpr size_t kMaxHexDigits = 8;
constexpr size_t kMaxDecimalDigits = 10;

int DigitValue(char c, int base) {
  int value = 99;
  if (c >= '0' && c <= '9') value = c - '0';
  if (c >= 'a' && c <= 'f') value = c - 'a' + 10;
  if (c >= 'A' && c <= 'F') value = c - 'A' + 10;
  return value < base ? value : -1;
}

}  // namespace

std::optional<uint32_t> ParseNumber(std::string_view text) {
  int base = 10;
  size_t max_digits = kMaxDecimalDigits;
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    base = 16;
    max_digits = kMaxHexDigits;
    text.remove_prefix(2);
  }
  if (text.empty() || text.size() > max_digits) return std::nullopt;
  uint64_t value = 0;
  for (char c : text) {
    const int digit = DigitValue(c, base);
    if (digit < 0) return std::nullopt;
    value = value * base + digit;
  }
  if (value > UINT32_MAX) return std::nullopt;
  return static_cast<uint32_t>(value);
}

std::optional<uint32_t> NumberInRange(std::string_view text, std::string_view what, uint32_t min,
                                      uint32_t max, std::string* error) {
  const auto value = ParseNumber(text);
  if (!value) {
    *error = fmt::format("{} '{}' is not a number: write hexadecimal with 0x (0x1F) or decimal (31)",
                         what, text);
    return std::nullopt;
  }
  if (*value < min || *value > max) {
    *error = fmt::format("{} {} is out of range: {} to {} (0x{:02X} to 0x{:02X})", what, text, min, max,
                         min, max);
    return std::nullopt;
  }
  return value;
}

}  // namespace korvalen::cli
