// The media-key exchange: a key code handed to the firmware through the
// mailbox registers, outside MailboxCommand (no argument 2, no data, its own
// answer code, the command register left as the firmware set it).
#pragma once

#include <array>
#include <cstdint>

#include "link/Clock.h"
#include "link/NorvaneUsb.h"

namespace korvalen {

struct MediaKey {
  const char* caption;
  uint8_t code;
};
// The Information page's buttons btnHID0..4, left to right.
inline constexpr std::array<MediaKey, 5> kMediaKeys = {{{"HID Prev", 0x40},
                                                        {"HID Vol -", 0x02},
                                                        {"HID Play", 0x10},
                                                        {"HID Vol +", 0x01},
                                                        {"HID Next", 0x20}}};

inline constexpr uint8_t kMediaKeyCommand = 0x30;
// The firmware answers this in the command register once it has the key.
inline constexpr uint8_t kMediaKeyTaken = 0x31;

struct MediaKeyResult {
  bool taken = false;  // 0x31 was seen
  int polls = 0;       // reads of the command register made
};

// Opens the link, selects bank 0, writes the code to 145 and 0x30 to 144,
// then up to 10 times waits 10 ms and reads 144 until it reads 0x31; closes.
MediaKeyResult SendMediaKey(NorvaneUsb& link, Clock& clock, uint8_t code);

}  // namespace korvalen
