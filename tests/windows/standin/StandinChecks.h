// What the stand-in's tool checks from the caller's side: that the driver
// refuses malformed records, and what a caller sees after an unplug.
#pragma once

#include <windows.h>

#include <string>

namespace korvalen::standin {

// Sends malformed records (one of each kind the driver must catch) and one
// well-formed request to the child whose interface path holds id_text.
// 0 when every malformed one was refused with ERROR_INVALID_PARAMETER and
// the well-formed one was carried; 1 otherwise.
int CheckMalformed(const std::string& id_text);

// Unplugs the child in `slot` with a handle to `path` held open, waits for
// its interface to go, and says what the stale handle and a new open give.
std::string Unplug(HANDLE control, unsigned long slot, const std::string& path,
                   const GUID& interface_class);

}  // namespace korvalen::standin
