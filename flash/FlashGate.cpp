#include "flash/FlashGate.h"

#include "link/Registers.h"

namespace korvalen {

GatePass PassFlashGate(NorvaneUsb& link, FlashOperations& operations, bool isp_mode,
                       const std::function<bool(const Failure& entry)>& after_entry) {
  GatePass pass;
  const uint64_t refused_before = link.refused_requests();
  link.Open();
  const bool accepted = !isp_mode || SetIspMode(link, true);
  // A device that went away during the routing writes went away in the
  // entry, even when it took the mode request.
  if (link.DeviceGone()) {
    pass.entry = {FailureKind::kDeviceGone};
  } else if (!accepted) {
    pass.entry = {FailureKind::kIspEntryRefused};
  }
  const bool go_on = pass.entry.kind != FailureKind::kDeviceGone && after_entry(pass.entry);
  if (go_on) {
    pass.read_id = true;
    if (!operations.SelectProgramMode()) {
      pass.id = {link.DeviceGone() ? FailureKind::kDeviceGone : FailureKind::kIdNotRead};
    }
  }
  pass.not_carried = link.refused_requests() - refused_before;
  return pass;
}

Failure OpenFlashGate(NorvaneUsb& link, Clock& clock, FlashOperations& operations) {
  Failure last;
  for (int attempt = 0; attempt < kGateAttempts; ++attempt) {
    if (attempt > 0) clock.Sleep(kGateRetryPauseMs);
    const GatePass pass = PassFlashGate(link, operations, true, [](const Failure&) { return true; });
    if (link.DeviceGone()) return {FailureKind::kDeviceGone};
    if (pass.entry) {
      last = pass.entry;
    } else if (pass.id) {
      last = pass.id;
    } else if (pass.not_carried > 0) {
      // The routing or a part of the ID read went unanswered: the pins may
      // still belong to the chip and the ID may be an old one.
      last = {FailureKind::kIdNotRead};
    } else {
      return {};
    }
  }
  return last;
}

}  // namespace korvalen
