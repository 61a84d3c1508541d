// libFuzzer entry point for the parsers of numbers typed into the window's
// edits and grid cells. Every input byte is kept, NULs included: a pasted
// text can carry one, and a parser that stops there would take the digits
// before it. Each parser is checked against a plain reading of what it must
// accept, so a wrong acceptance aborts as surely as a crash.
#include <QString>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <optional>
#include <string_view>

#include "image/HexDigits.h"
#include "ui/TypedNumbers.h"

namespace {

// Blanks around it aside, an optional sign and at least one decimal digit,
// within 64 bits.
std::optional<int64_t> ExpectedDecimal(const QString& typed) {
  const QString text = typed.trimmed();
  qsizetype i = 0;
  const bool negative = i < text.size() && text[i] == u'-';
  if (i < text.size() && (text[i] == u'-' || text[i] == u'+')) ++i;
  if (i == text.size()) return std::nullopt;
  // Accumulated as a negative number, which reaches the 64-bit minimum.
  int64_t value = 0;
  for (; i < text.size(); ++i) {
    const char16_t c = text[i].unicode();
    if (c < u'0' || c > u'9') return std::nullopt;
    const int digit = c - u'0';
    if (value < (std::numeric_limits<int64_t>::min() + digit) / 10) return std::nullopt;
    value = value * 10 - digit;
  }
  if (!negative) {
    if (value == std::numeric_limits<int64_t>::min()) return std::nullopt;
    value = -value;
  }
  return value;
}

// Hexadecimal digits only, at least one, within 32 bits.
std::optional<uint32_t> ExpectedHex(std::string_view text) {
  if (text.empty()) return std::nullopt;
  uint64_t value = 0;
  for (const char c : text) {
    const bool digit = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
    if (!digit) return std::nullopt;
    value = value * 16 + static_cast<uint64_t>(c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10);
    if (value > 0xFFFFFFFF) return std::nullopt;
  }
  return static_cast<uint32_t>(value);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  // One character per byte, so a NUL stays a character of the text.
  const QString typed = QString::fromLatin1(text.data(), static_cast<qsizetype>(size));
  if (korvalen::ParseDecimal(typed) != ExpectedDecimal(typed)) std::abort();
  if (korvalen::ParseTypedHex(text) != ExpectedHex(text)) std::abort();
  return 0;
}
