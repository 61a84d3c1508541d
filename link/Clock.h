// The clock seam: every wait of the link, the flash operations and the
// window goes through a Clock, so the simulator can run waits in virtual time.
#pragma once

#include <cstdint>
#include <functional>

namespace korvalen {

class Clock {
 public:
  virtual ~Clock() = default;
  // Blocks the calling thread (or advances virtual time) by ms milliseconds.
  virtual void Sleep(uint32_t ms) = 0;
  // Monotonic time in microseconds since an arbitrary start.
  virtual uint64_t NowMicros() = 0;
  // A point in a long run of requests that has no wait of its own: no time
  // passes, but a clock that keeps an event loop going may pump here.
  virtual void PumpPoint() {}
};

// Wall-clock time: Sleep really sleeps.
class RealClock : public Clock {
 public:
  void Sleep(uint32_t ms) override;
  uint64_t NowMicros() override;
};

// A clock for a thread that also runs an event loop (the window's): its
// waits keep the loop going. A wait pumps first when `interval_ms` or more
// have passed since the last pump, and a long wait is cut into slices of
// `interval_ms` with a pump after each. Time is the inner clock's, so the
// waits add up to exactly what was asked for. The pump may run handlers
// that wait themselves; their waits do not pump again.
class PumpingClock : public Clock {
 public:
  PumpingClock(Clock& inner, std::function<void()> pump, uint32_t interval_ms);
  void Sleep(uint32_t ms) override;
  uint64_t NowMicros() override { return inner_.NowMicros(); }
  // Pumps when the interval has passed since the last pump.
  void PumpPoint() override { PumpIfDue(); }
  // The loop has just been pumped by someone else: the interval restarts.
  void NotePumped() { last_pump_us_ = inner_.NowMicros(); }

 private:
  void PumpIfDue();

  Clock& inner_;
  std::function<void()> pump_;
  uint32_t interval_ms_;
  uint64_t last_pump_us_;
  bool pumping_ = false;
};

}  // namespace korvalen
