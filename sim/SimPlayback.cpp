#include "sim/SimPlayback.h"

#include <charconv>

#include "sim/SimDevice.h"

namespace korvalen::sim {
namespace {

constexpr uint8_t kConnectedBit = 0x01;
constexpr uint8_t kDsdBit = 0x02;
constexpr uint8_t kMutedBit = 0x04;
constexpr uint8_t kRateMask = 0x0F;

}  // namespace

void SetPlayback(SimDevice& device, const SimPlayback& playback) {
  const uint8_t state = (playback.connected ? kConnectedBit : 0) | (playback.dsd ? kDsdBit : 0) |
                        (playback.muted ? kMutedBit : 0);
  device.SetStatusRegisters(playback.rate_code & kRateMask, playback.extra, state);
}

std::optional<SimPlayback> ParsePlayback(std::string_view text, std::string* error) {
  auto fail = [&](std::string why) -> std::optional<SimPlayback> {
    if (error) *error = std::move(why);
    return std::nullopt;
  };
  SimPlayback playback;
  if (text == "disconnected") {
    playback.connected = false;
    return playback;
  }
  if (text == "muted") {
    playback.muted = true;
    return playback;
  }
  const size_t colon = text.find(':');
  const std::string_view kind = text.substr(0, colon);
  if (colon == std::string_view::npos || (kind != "pcm" && kind != "dsd")) {
    return fail("'" + std::string(text) + "' is none of disconnected, muted, pcm:N, dsd:N");
  }
  const std::string_view number = text.substr(colon + 1);
  unsigned code = 0;
  const auto [end, ec] = std::from_chars(number.data(), number.data() + number.size(), code);
  if (number.empty() || ec != std::errc() || end != number.data() + number.size() ||
      code > kRateMask) {
    return fail("the rate code of '" + std::string(text) + "' must be 0 to 15");
  }
  playback.dsd = kind == "dsd";
  playback.rate_code = static_cast<uint8_t>(code);
  return playback;
}

}  // namespace korvalen::sim
