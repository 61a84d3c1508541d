// The playback state that the firmware publishes in the status registers
// 164-166 of bank 0, as tests and the demo set it. Written as text for
// command lines: "disconnected", "muted", "pcm:N" or "dsd:N" with N the
// 4-bit rate code (pcm:3 is 96 kHz, dsd:9 is DSD 128).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace korvalen::sim {

class SimDevice;

struct SimPlayback {
  bool connected = true;  // the host streams to the device
  bool dsd = false;       // DSD (or DoP) instead of PCM
  bool muted = false;
  uint8_t rate_code = 0;  // 0..15: 44.1 kHz, 48 kHz, 88.2 kHz, 96 kHz, ...
  // Register 165: firmware state the host reads but does not show.
  uint8_t extra = 0;
};

// What the firmware writes: 164 = rate code in bits 3..0; 166 = bit 0
// connected, bit 1 DSD, bit 2 muted.
void SetPlayback(SimDevice& device, const SimPlayback& playback);

// nullopt when the text is none of the forms above; error says why.
std::optional<SimPlayback> ParsePlayback(std::string_view text, std::string* error = nullptr);

}  // namespace korvalen::sim
