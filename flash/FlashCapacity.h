// The size of the flash part as its JEDEC ID tells it, so an update can
// refuse an image the part cannot hold before it erases anything.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "link/FlashPassThrough.h"

namespace korvalen {

// Bytes of the part with this ID, or nullopt when its capacity code is not
// one we know (then nothing may be concluded from it). Most parts give the
// size as 2^code bytes in the third ID byte (codes 0x10 to 0x18); a few
// makers number their parts their own way, and a small table knows those.
std::optional<uint32_t> FlashCapacityBytes(const FlashId& id);

// Why `length` image bytes programmed from flash address `start` do not fit
// the part with this ID, or nullopt when they fit or the size is unknown.
std::optional<std::string> ImageDoesNotFitText(const FlashId& id, uint32_t start, uint32_t length);

}  // namespace korvalen
