// The clock seam: every wait of the link, the flash operations and the
// window goes through a Clock, so the simulator can run waits in virtual time.
#pragma once

#include <cstdint>

namespace korvalen {

class Clock {
 public:
  virtual ~Clock() = default;
  // Blocks the calling thread (or advances virtual time) by ms milliseconds.
  virtual void Sleep(uint32_t ms) = 0;
  // Monotonic time in microseconds since an arbitrary start.
  virtual uint64_t NowMicros() = 0;
};

// Wall-clock time: Sleep really sleeps.
class RealClock : public Clock {
 public:
  void Sleep(uint32_t ms) override;
  uint64_t NowMicros() override;
};

}  // namespace korvalen
