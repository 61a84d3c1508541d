// The playback status that the firmware keeps in registers 164-166 of bank
// 0, its texts, and what the Information page shows for it.
#pragma once

#include <array>
#include <cstdint>

#include "link/NorvaneUsb.h"

namespace korvalen {

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

inline constexpr uint8_t kRegPlaybackRate = 164;   // bits 3..0: rate code
inline constexpr uint8_t kRegPlaybackExtra = 165;  // read, not shown
inline constexpr uint8_t kRegPlaybackState = 166;  // bit 0 link, bit 1 DSD, bit 2 mute

// The three status bytes, 0 until the first read.
struct PlaybackStatus {
  uint8_t rate = 0;   // register 164
  uint8_t extra = 0;  // register 165
  uint8_t state = 0;  // register 166
};

// Opens the link, selects bank 0, reads 164, 165 and 166 in this order and
// closes it. A read that fails leaves its byte as it was, so the display
// shows the last values read. Returns whether all three reads went through.
bool ReadPlaybackStatus(NorvaneUsb& link, PlaybackStatus& status);

// What the status read-out shows. A text that is nullptr stays as it was;
// a line that is not enabled is shown greyed.
struct StatusDisplay {
  const char* connect = nullptr;
  const char* mute = nullptr;
  bool mute_enabled = false;
  const char* format = nullptr;  // "PCM" or "DSD"
  const char* rate = nullptr;    // one of RateTexts
  bool format_enabled = false;   // the format and rate lines with their captions
};

StatusDisplay DecodePlaybackStatus(const PlaybackStatus& status);

}  // namespace korvalen
