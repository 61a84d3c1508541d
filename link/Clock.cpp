#include "link/Clock.h"

#include <algorithm>
#include <chrono>
#include <thread>
#include <utility>

namespace korvalen {

void RealClock::Sleep(uint32_t ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

uint64_t RealClock::NowMicros() {
  using namespace std::chrono;
  return duration_cast<microseconds>(steady_clock::now().time_since_epoch()).count();
}

}  // namespace korvalen

namespace korvalen {

PumpingClock::PumpingClock(Clock& inner, std::function<void()> pump, uint32_t interval_ms)
    : inner_(inner),
      pump_(std::move(pump)),
      interval_ms_(std::max<uint32_t>(interval_ms, 1)),
      last_pump_us_(inner.NowMicros()) {}

void PumpingClock::PumpIfDue() {
  if (pumping_ || inner_.NowMicros() - last_pump_us_ < uint64_t{interval_ms_} * 1000) return;
  pumping_ = true;
  pump_();
  pumping_ = false;
  last_pump_us_ = inner_.NowMicros();
}

void PumpingClock::Sleep(uint32_t ms) {
  PumpIfDue();
  while (ms > 0) {
    const uint32_t slice = std::min(ms, interval_ms_);
    inner_.Sleep(slice);
    ms -= slice;
    PumpIfDue();
  }
}

}  // namespace korvalen
