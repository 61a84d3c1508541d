// The simulator's side of the clock seam: a clock whose Sleep advances time
// at once, so a test that waits ten seconds of device time runs in
// microseconds. The simulated flash, firmware and I2C controller measure
// their busy times on whatever Clock they are given, so the same models run
// on this clock in tests and on RealClock in the demo.
#pragma once

#include <atomic>
#include <cstdint>

#include "link/Clock.h"

namespace korvalen::sim {

class VirtualClock : public korvalen::Clock {
 public:
  explicit VirtualClock(uint64_t start_micros = 0) : now_(start_micros) {}

  // Advances time by ms milliseconds and returns at once.
  void Sleep(uint32_t ms) override;
  uint64_t NowMicros() override { return now_.load(); }

  // Moves time forward explicitly (the simulated devices use this for their
  // per-request latency; tests use it to let busy times elapse).
  void AdvanceMicros(uint64_t micros) { now_ += micros; }
  void AdvanceMillis(uint64_t millis) { now_ += millis * 1000; }

  // What the host has waited through Sleep: number of calls and their sum.
  uint64_t SleepCalls() const { return sleep_calls_.load(); }
  uint64_t SleptMicros() const { return slept_micros_.load(); }

 private:
  std::atomic<uint64_t> now_;
  std::atomic<uint64_t> sleep_calls_{0};
  std::atomic<uint64_t> slept_micros_{0};
};

// Lets `micros` of device time pass on `clock`: a VirtualClock advances, any
// other clock is really waited on (busy time of a request on real hardware).
void SpendMicros(korvalen::Clock& clock, uint64_t micros);

}  // namespace korvalen::sim
