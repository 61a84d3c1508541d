#include "image/Utf8Text.h"

#include <cstdint>
#include <cstdio>

namespace korvalen {
namespace {

// The length of the well-formed sequence at text[pos], or 0 when the byte
// there does not start one.
size_t SequenceLength(std::string_view text, size_t pos) {
  const auto byte = [&](size_t i) { return static_cast<uint8_t>(text[i]); };
  const uint8_t lead = byte(pos);
  if (lead < 0x80) return 1;
  size_t length = 0;
  uint8_t low = 0x80;  // the second byte's bounds rule out overlongs and surrogates
  uint8_t high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return 0;
  }
  if (pos + length > text.size()) return 0;
  if (byte(pos + 1) < low || byte(pos + 1) > high) return 0;
  for (size_t i = 2; i < length; ++i) {
    if (byte(pos + i) < 0x80 || byte(pos + i) > 0xBF) return 0;
  }
  return length;
}

}  // namespace

bool IsUtf8(std::string_view text) {
  for (size_t pos = 0; pos < text.size();) {
    const size_t length = SequenceLength(text, pos);
    if (length == 0) return false;
    pos += length;
  }
  return true;
}

std::string EscapeInvalidUtf8(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t pos = 0; pos < text.size();) {
    const size_t length = SequenceLength(text, pos);
    if (length == 0) {
      char escaped[5];
      std::snprintf(escaped, sizeof escaped, "\\x%02X", static_cast<uint8_t>(text[pos]));
      out += escaped;
      ++pos;
    } else {
      out.append(text.substr(pos, length));
      pos += length;
    }
  }
  return out;
}

}  // namespace korvalen
