// The updater's device search: one tick at a time, it looks for a model
// running its firmware and for the two firmware-update identities in turn,
// keeps watching a device once found, and says what it found as a value.
// The window turns the value into its texts and loads the update file; the
// tick itself never touches a widget or a file.
#pragma once

#include <cstdint>
#include <string>

#include "link/NorvaneUsb.h"

namespace korvalen {

// How often the tick runs while a device is present (or before the first
// search), and while the search alternates identities.
inline constexpr uint32_t kDetectionWatchIntervalMs = 1000;
inline constexpr uint32_t kDetectionSearchIntervalMs = 100;

// What one tick found.
enum class DetectionFound {
  kIdle,          // the tick did nothing: detection is off, or a sequence owns the link
  kNothing,       // no device answers to the identity tried
  kModel,         // a model running its firmware; model_row says which
  kUpdate5E1A,    // the firmware-update identity that takes row 0's file
  kUpdate0C3D,    // the other firmware-update identity: no file for it
  kAccessDenied,  // a device is there, but the system refuses this user
  kInUse,         // a device is there, but another program holds its lock
};

// What the window is to do with a tick.
struct DetectionTick {
  DetectionFound found = DetectionFound::kIdle;
  // The tick began without a device: the file found for the last one no
  // longer counts, and the file line starts afresh.
  bool searched = false;
  // Load the update file of model_row now.
  bool load_file = false;
  int model_row = 0;
  // The device id tried or watched, and what the system said of its lock.
  std::string device_id;
  std::string in_use_text;
  // Run the next tick after this long.
  uint32_t next_interval_ms = kDetectionWatchIntervalMs;
};

// Whether the tick may search at all.
struct DetectionGate {
  bool enabled = true;           // the "Detect Device" box is ticked
  bool update_finished = false;  // the one-click update ended: the link is let go for good
  bool sequence_busy = false;    // a running sequence owns the link: leave it alone
};

class DeviceDetection {
 public:
  // The link outlives this object.
  explicit DeviceDetection(NorvaneUsb& link);

  // One tick. Disabled or finished: a held device is closed and nothing
  // else happens. Busy: nothing at all. Otherwise a present device is
  // watched (scanned, or probed again while another program holds it) and
  // an absent one searched for under the next identity of the round.
  DetectionTick Tick(const DetectionGate& gate);

  // The update file for the device now shown was loaded (or a file chosen
  // by hand stands in for it): a model's file is not read again until the
  // device goes. False forgets it.
  void SetFileFound(bool found) { file_found_ = found; }
  bool file_found() const { return file_found_; }

  // The model row of the last model searched for (0 after the 5E1A identity).
  int model_row() const { return model_row_; }
  uint32_t interval_ms() const { return interval_ms_; }

 private:
  DetectionTick Outcome(bool searched);

  NorvaneUsb& link_;
  int model_row_ = 0;
  // Which firmware-update identity the search tries next: 0C3D when set.
  bool next_update_id_0c3d_ = false;
  bool file_found_ = false;
  uint32_t interval_ms_ = kDetectionWatchIntervalMs;
};

}  // namespace korvalen
