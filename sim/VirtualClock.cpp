#include "sim/VirtualClock.h"

#include <chrono>
#include <thread>

namespace korvalen::sim {

void VirtualClock::Sleep(uint32_t ms) {
  const uint64_t micros = static_cast<uint64_t>(ms) * 1000;
  now_ += micros;
  ++sleep_calls_;
  slept_micros_ += micros;
}

void SpendMicros(korvalen::Clock& clock, uint64_t micros) {
  if (micros == 0) return;
  if (auto* virtual_clock = dynamic_cast<VirtualClock*>(&clock)) {
    virtual_clock->AdvanceMicros(micros);
    return;
  }
  // A real clock: the time really passes, as it would on the wire. A system
  // whose sleeps are coarser than a request (Windows rounds below a
  // millisecond to none) may return early, so the wait holds until the time
  // has passed; otherwise polls of a pending answer ran out before it came.
  const auto until = std::chrono::steady_clock::now() + std::chrono::microseconds(micros);
  while (std::chrono::steady_clock::now() < until) std::this_thread::sleep_until(until);
}

}  // namespace korvalen::sim
