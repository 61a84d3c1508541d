// A driver that records every control transfer it carries into a capture
// file and otherwise passes everything to the driver it wraps unchanged:
// the same records go to the same driver, in the same order, with the same
// answers. Both request envelopes are recorded as the control transfer they
// carry; a record that does not decode or is longer than a control transfer
// (which no driver carries) and a request on a handle this wrapper did not
// open are passed on unrecorded.
//
// One CaptureDriver per thread; several may share one CaptureFile.
#pragma once

#include <map>
#include <memory>
#include <string>

#include "link/Clock.h"
#include "link/Driver.h"
#include "record/CaptureFile.h"

namespace korvalen::record {

class CaptureDriver : public Driver {
 public:
  // Time stamps are `epoch_micros` plus the time `clock` has moved on since
  // this driver was made: wall-clock time for a real device, virtual time
  // from 0 (1970) for a simulated device on a virtual clock.
  CaptureDriver(Driver& inner, CaptureFile& file, Clock& clock, uint64_t epoch_micros);

  std::optional<std::vector<std::string>> EnumerateInterfaces(const Guid& interface_class) override;
  DriverHandle OpenPath(const std::string& path) override;
  bool LastOpenDenied() const override { return inner_.LastOpenDenied(); }
  bool LastIoDeviceGone() const override { return inner_.LastIoDeviceGone(); }
  std::string LastOpenInUse() const override { return inner_.LastOpenInUse(); }
  void CloseHandle(DriverHandle handle) override;
  bool IoControl(DriverHandle handle, uint32_t code, std::span<const uint8_t> in,
                 std::span<uint8_t> out) override;

 private:
  uint64_t NowMicros();
  CaptureAddress AddressOf(const std::string& path);

  Driver& inner_;
  CaptureFile& file_;
  Clock& clock_;
  uint64_t epoch_micros_;
  uint64_t clock_start_;
  std::map<std::string, Guid> classes_;  // the class each path was listed under
  std::map<DriverHandle, CaptureAddress> open_;
};

// Microseconds since the epoch by the system's wall clock.
uint64_t WallClockMicros();

}  // namespace korvalen::record
