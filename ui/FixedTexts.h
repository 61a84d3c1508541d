// Texts made once at start-up and kept for the whole run.
#pragma once

#include <array>

namespace korvalen {

inline constexpr char kWindowCaption[] = "KORVALEN Firmware Update Tool V1.2";

struct StatusTextSet {
  const char* connected = "USB connected";
  const char* disconnected = "USB Disconnected";
  const char* playing = "Playing";
  const char* muted = "Mute";
  const char* pcm = "PCM";
  const char* dsd = "DSD";
};
inline constexpr StatusTextSet StatusTexts{};

// Rate texts of the status read-out, 8 characters each: 0..15 PCM rates by
// their 4-bit code, 16..31 DSD formats (16 + the same code).
inline constexpr char kNoRate[] = "        ";
inline constexpr std::array<const char*, 32> RateTexts = {
    " 44.1KHz", "   48KHz", " 88.2KHz", "   96KHz", "176.4KHz", "  192KHz", "352.8KHz",
    "  384KHz", "705.6KHz", "  768KHz", kNoRate,    kNoRate,    kNoRate,    kNoRate,
    kNoRate,    kNoRate,    " DoP  64", " DoP 128", " DoP 256", " DoP 512", kNoRate,
    kNoRate,    kNoRate,    kNoRate,    " DSD  64", " DSD 128", " DSD 256", " DSD 512",
    kNoRate,    kNoRate,    kNoRate,    kNoRate};

}  // namespace korvalen
