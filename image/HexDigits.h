// Reading hexadecimal text the way the whole tool does: no sign, no prefix,
// no errors.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace korvalen {

// The value of one hexadecimal digit ('0'-'9', 'A'-'F', 'a'-'f'), or
// nullopt for any other character.
std::optional<uint8_t> HexDigitValue(char c);

// Reads the first count characters of text as hexadecimal digits, most
// significant first. A character that is not a digit, and every character
// past the end of text, counts as 0, so "5" read with count 2 is 0x50.
// Digits beyond the eighth shift the earlier ones out of the 32-bit result.
uint32_t ParseHexDigits(std::string_view text, size_t count);

// A hexadecimal number typed into an edit or a grid cell, converted as the
// window converts "0x" + text: hexadecimal digits only (no blanks, sign or
// prefix of its own), no larger than 32 bits. nullopt when the text is
// empty or holds anything else; the window then shows the conversion error.
std::optional<uint32_t> ParseTypedHex(std::string_view typed);
// The message for such a text: "'0x<text>' is not a valid integer value".
std::string TypedHexError(std::string_view typed);

}  // namespace korvalen
