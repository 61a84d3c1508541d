// Text that came from outside (a file name as the system gave it, a typed
// argument) made safe to print and to put into a JSON report: names on
// Linux are bytes, and a report writer that meets a byte that is not UTF-8
// must not abort the program after the device was written.
#pragma once

#include <string>
#include <string_view>

namespace korvalen {

// True when text is well-formed UTF-8 (no overlong forms, no surrogates,
// nothing past U+10FFFF).
bool IsUtf8(std::string_view text);

// text with every byte that is not part of a well-formed UTF-8 sequence
// written as "\xFF" (upper-case hex); well-formed text comes back as it is.
std::string EscapeInvalidUtf8(std::string_view text);

}  // namespace korvalen
