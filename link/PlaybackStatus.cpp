#include "link/PlaybackStatus.h"

#include "link/Registers.h"

namespace korvalen {
namespace {

constexpr uint8_t kConnectedBit = 0x01;
constexpr uint8_t kDsdBit = 0x02;
constexpr uint8_t kMutedBit = 0x04;
constexpr uint8_t kRateMask = 0x0F;
constexpr size_t kDsdRates = 16;  // DSD texts follow the 16 PCM texts

}  // namespace

bool ReadPlaybackStatus(NorvaneUsb& link, PlaybackStatus& status) {
  link.Open();
  SelectBank(link, kBankMailbox);
  bool all = ReadRegister(link, kRegPlaybackRate, &status.rate);
  all = ReadRegister(link, kRegPlaybackExtra, &status.extra) && all;
  all = ReadRegister(link, kRegPlaybackState, &status.state) && all;
  link.Close();
  return all;
}

StatusDisplay DecodePlaybackStatus(const PlaybackStatus& status) {
  StatusDisplay display;
  if (!(status.state & kConnectedBit)) {
    display.connect = StatusTexts.disconnected;
    return display;
  }
  display.connect = StatusTexts.connected;
  display.mute_enabled = true;
  if (status.state & kMutedBit) {
    display.mute = StatusTexts.muted;
    return display;
  }
  display.mute = StatusTexts.playing;
  display.format_enabled = true;
  const size_t code = status.rate & kRateMask;
  const bool dsd = (status.state & kDsdBit) != 0;
  display.format = dsd ? StatusTexts.dsd : StatusTexts.pcm;
  display.rate = RateTexts[dsd ? kDsdRates + code : code];
  return display;
}

}  // namespace korvalen
