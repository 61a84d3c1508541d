// The gate in front of anything that touches the flash: the link opened,
// ISP mode entered with the flash's pins routed to the host, and a flash ID
// read that names a part. The one-click update passes it at the start of
// each attempt; read and verify pass it before their first flash read.
#pragma once

#include <cstdint>
#include <functional>

#include "flash/FlashOperations.h"
#include "flash/UpdateEvents.h"
#include "link/Clock.h"
#include "link/NorvaneUsb.h"

namespace korvalen {

// How often the gate is tried before the command gives up.
inline constexpr int kGateAttempts = 3;
// A failed pass's message stays up this long before the next pass.
inline constexpr uint32_t kGateRetryPauseMs = 1000;

// One pass through the gate.
struct GatePass {
  // The ISP entry: refused, or the device gone (kind kNone when accepted).
  Failure entry;
  // The ID read: not read, no part on the pins, or the device gone (kind
  // kNone when the ID names a part, and when the pass ended before it).
  Failure id;
  // Requests of the pass (entry, routing, ID read) the device did not carry.
  uint64_t not_carried = 0;
  bool read_id = false;  // the ID read went out
};

// Opens the link, enters ISP mode (when isp_mode) and routes the pins, then
// reads the flash ID through operations. after_entry runs between the two
// with the entry's outcome; when it returns false the pass ends there. A
// device gone during the entry always ends the pass.
GatePass PassFlashGate(NorvaneUsb& link, FlashOperations& operations, bool isp_mode,
                       const std::function<bool(const Failure& entry)>& after_entry);

// The gate as read and verify take it: every request of a pass carried and
// the ID known, up to kGateAttempts passes with a pause between them. The
// failure of the last pass, kind kNone once through; the link stays open
// and in ISP mode either way, for the caller to leave.
Failure OpenFlashGate(NorvaneUsb& link, Clock& clock, FlashOperations& operations);

}  // namespace korvalen
