// The names by which a command line picks a simulated device: its identity
// and its flash part.
#pragma once

#include <optional>
#include <string_view>

#include "sim/SimIdentity.h"

namespace korvalen::sim {

// A ModelTable row 0-4, a model key such as KORVALEN_TIDE, or 5e1a/0c3d for a
// firmware-update identity; nullopt for anything else.
std::optional<SimIdentity> IdentityForModel(std::string_view model);
// page256, page32 and aai name the flash of each write mode; anything else
// is taken as a part name (FindFlashModel decides whether it is one).
std::string_view FlashPartFor(std::string_view flash);

}  // namespace korvalen::sim
