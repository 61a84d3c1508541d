// A shadow of 256 registers: per register, the last value read from the
// device or the value about to be written to it. The Register page keeps one
// for the chip (one for all banks: it does not keep banks apart).
#pragma once

#include <array>
#include <cstdint>

#include "link/Clock.h"
#include "link/NorvaneUsb.h"

namespace korvalen {

class RegisterShadow {
 public:
  uint8_t Get(uint8_t reg) const { return values_[reg]; }
  void Set(uint8_t reg, uint8_t value) { values_[reg] = value; }

  // The Insert key: one up, unless the entry is 0xFF. The Delete key: one
  // down, unless it is 0x00. True when the entry changed (and is to be sent).
  bool StepUp(uint8_t reg);
  bool StepDown(uint8_t reg);

  // ReadRegister on an open link into the entry. A failed read leaves the
  // entry as it was, so the page shows the previous value.
  bool ReadFromChip(NorvaneUsb& link, uint8_t reg);
  // Opens the link, writes the entry, waits wait_ms so the chip settles,
  // reads the register back into the entry and closes the link. The value
  // read back is the new entry (a register that ignores or alters a write
  // shows its real content). Returns the entry.
  uint8_t WriteAndReadBack(NorvaneUsb& link, Clock& clock, uint8_t reg, uint32_t wait_ms);

 private:
  std::array<uint8_t, 256> values_{};
};

}  // namespace korvalen
