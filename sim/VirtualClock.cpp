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
  // A real clock: the time really passes, as it would on the wire.
  std::this_thread::sleep_for(std::chrono::microseconds(micros));
}

}  // namespace korvalen::sim
