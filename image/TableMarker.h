// The product descriptor table inside a firmware image is found by its
// marker text "NVUSB_Table01".
#pragma once

#include <cstdint>
#include <optional>

#include "image/FirmwareImage.h"

namespace korvalen {

// The lowest offset p below image.length where the image reads at least
// "NVUSB_Tabl" (the first 10 characters of the marker; at most 12 are
// compared). The compared bytes may run past image.length, but never past
// the 256 KiB buffer: a byte beyond it counts as a mismatch. nullopt when no
// offset matches (always for an empty image).
std::optional<uint32_t> FindTableMarker(const FirmwareImage& image);

}  // namespace korvalen
