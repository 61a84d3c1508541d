// Numbers typed on korvalen-fw's command line: "0x" and hexadecimal digits,
// or decimal digits. Nothing else converts (no sign, no blanks, no suffix),
// so a typo is refused before anything reaches the device.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace korvalen::cli {

std::optional<uint32_t> ParseNumber(std::string_view text);

// The number in text when it lies in [min, max]; otherwise nullopt and
// *error says what was expected, naming the argument as `what`.
std::optional<uint32_t> NumberInRange(std::string_view text, std::string_view what, uint32_t min,
                                      uint32_t max, std::string* error);

}  // namespace korvalen::cli
