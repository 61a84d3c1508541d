// Texts made once at start-up and kept for the whole run.
#pragma once

#include "link/PlaybackStatus.h"  // StatusTexts, RateTexts

namespace korvalen {

inline constexpr char kWindowCaption[] = "KORVALEN Firmware Update Tool V1.2";

}  // namespace korvalen
