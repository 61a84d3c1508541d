// Faults of a simulated device written as text, for command lines (the demo,
// the one-click update's tests): one fault or several separated by commas.
//   reject:N       request N (I/O-control calls counted from 1 after attach) fails once
//   vanish:N       the device stops answering from request N on (it is gone)
//   stuck-busy     the flash busy bit never clears
//   weak:ADDR:K    the flash cell at ADDR does not program for the first K
//                  program operations that cover it
//   mailbox-silent the firmware never answers the mailbox
//   flip:ADDR:MASK the next read of the flash cell at ADDR has the bits of MASK flipped
//   i2c-nak:ADDR   the I2C slave at 8-bit address ADDR never acknowledges
// Numbers are decimal or 0x-hexadecimal.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "sim/SimDevice.h"

namespace korvalen::sim {

struct FaultSpec {
  enum class Kind { kReject, kVanish, kStuckBusy, kWeakCell, kMailboxSilent, kReadFlip, kI2cNak };
  Kind kind = Kind::kReject;
  uint64_t request = 0;  // kReject, kVanish
  uint32_t address = 0;  // kWeakCell, kReadFlip (flash address); kI2cNak (8-bit I2C address)
  uint32_t count = 0;    // kWeakCell: K; kReadFlip: the mask
  bool operator==(const FaultSpec&) const = default;
};

// A parse result: the specs, or an error message saying what is wrong.
struct FaultSpecParse {
  std::vector<FaultSpec> specs;
  std::string error;  // empty on success
  bool ok() const { return error.empty(); }
};

// Parses one fault ("reject:5") or a comma-separated list. Empty text is an
// error. Request numbers start at 1.
FaultSpecParse ParseFaultSpec(std::string_view text);
// The fault as text, in the form ParseFaultSpec reads.
std::string FormatFaultSpec(const FaultSpec& fault);

// Applies the fault to the device (its faults, flash or I2C bus).
void ApplyFaultSpec(const FaultSpec& fault, SimDevice& device);
void ApplyFaultSpecs(const std::vector<FaultSpec>& specs, SimDevice& device);

}  // namespace korvalen::sim
