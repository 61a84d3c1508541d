#include "flash/DeviceDetection.h"

#include "link/ModelTable.h"

namespace korvalen {

DeviceDetection::DeviceDetection(NorvaneUsb& link) : link_(link) {}

DetectionTick DeviceDetection::Tick(const DetectionGate& gate) {
  if (!gate.enabled || gate.update_finished) {
    if (link_.IsPresent()) link_.Close();
    return DetectionTick{.next_interval_ms = interval_ms_};
  }
  if (gate.sequence_busy) return DetectionTick{.next_interval_ms = interval_ms_};

  const bool searched = !link_.IsPresent();
  if (!searched) {
    interval_ms_ = kDetectionWatchIntervalMs;
    // A device another program holds is tried again each tick: the open
    // that takes its lock sends nothing while the lock is taken.
    if (link_.InUseText().empty()) {
      link_.Scan();
    } else {
      link_.ClearPresent();
      link_.Probe();
    }
  } else {
    file_found_ = false;
    if (link_.DriverKind() == kAudioDriverChannel) {
      // From here on the search alternates identities every 100 ms.
      interval_ms_ = kDetectionSearchIntervalMs;
      link_.SetDriverKind(kDeviceInterfaceChannel);
      link_.SetDeviceId(next_update_id_0c3d_ ? kUpdateId0C3D : kUpdateId5E1A);
      next_update_id_0c3d_ = !next_update_id_0c3d_;
    } else {
      link_.SetDriverKind(kAudioDriverChannel);
      model_row_ = (model_row_ + 1) % kModelCount;
      link_.SetDeviceId(ModelTable[model_row_].device_id);
    }
    link_.Probe();  // only the present flag counts, not the test request
  }
  return Outcome(searched);
}

DetectionTick DeviceDetection::Outcome(bool searched) {
  DetectionTick tick{.searched = searched,
                     .model_row = model_row_,
                     .device_id = link_.DeviceId(),
                     .next_interval_ms = interval_ms_};
  if (!link_.IsPresent()) {
    tick.found = DetectionFound::kNothing;
  } else if (!link_.InUseText().empty()) {
    tick.found = DetectionFound::kInUse;
    tick.in_use_text = link_.InUseText();
  } else if (link_.AccessDenied()) {
    tick.found = DetectionFound::kAccessDenied;
  } else if (link_.DriverKind() == kAudioDriverChannel) {
    tick.found = DetectionFound::kModel;
    tick.load_file = !file_found_;
  } else if (next_update_id_0c3d_) {
    // The identity tried last was 5E1A: it takes row 0's file, read again
    // on every tick while it stays.
    tick.found = DetectionFound::kUpdate5E1A;
    model_row_ = 0;
    tick.model_row = 0;
    tick.load_file = true;
  } else {
    tick.found = DetectionFound::kUpdate0C3D;
  }
  return tick;
}

}  // namespace korvalen
