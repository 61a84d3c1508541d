// One station run of one plugged device: what the line's store keeps. Plain
// values, filled from the update's results, never from a display text.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace korvalen::station {

// How a run ended. The store keeps the text of each (RunResultText), so a
// record read back by another build still means the same.
enum class RunResult {
  kPassed,        // the one-click update's verdict was success
  kFailed,        // it ran and failed (failed_step and reason say where)
  kStopped,       // the operator stopped it
  kGone,          // the device went away during the run
  kCannotOpen,    // the system or another program kept the device from us
  kModelUnknown,  // an update identity without --recovery-model: left alone
  kNoFile,        // no update file was given for this model: left alone
};

std::string_view RunResultText(RunResult result);
std::optional<RunResult> RunResultFromText(std::string_view text);

// Where a unit's serial number stands.
enum class SerialState {
  kNone,       // no serial was taken for this run
  kPending,    // taken from the store, not yet confirmed by the device
  kDelivered,  // the device's mailbox confirmed it
  kVoid,       // taken and never delivered: never given again
  kVerified,   // the unit later arrived reporting it
  kKept,       // the unit kept the serial it already had
};

std::string_view SerialStateText(SerialState state);
std::optional<SerialState> SerialStateFromText(std::string_view text);

struct RunRecord {
  std::string id;  // unique across every station and store (128 random bits, hex)
  std::string station;
  std::string operator_name;
  std::string device_path;
  std::string model;  // the model key; empty when the device did not say
  std::string file_name;
  std::string file_sha256;          // lower-case hex; empty when no file was used
  std::optional<uint32_t> jedec_id; // manufacturer << 16 | type << 8 | capacity
  // The version the running firmware reported after the update. Until the
  // device restarts this may still be the old firmware's.
  std::string firmware_version_reported;
  RunResult result = RunResult::kFailed;
  std::string failed_step;  // empty when passed
  std::string reason;       // why, in the tool's words; empty when passed
  int attempts = 0;
  bool device_gone = false;
  int64_t started_utc_us = 0;  // microseconds since 1970-01-01 UTC
  int64_t ended_utc_us = 0;
  int64_t duration_us = 0;
  // Serial numbers.
  std::string serial_before;  // what the unit reported on arrival; empty: none
  std::string serial_sent;    // what the station sent; empty: none
  std::string serial_format;  // the FORMAT the sent serial came from
  SerialState serial_state = SerialState::kNone;
};

// A fresh record id.
std::string NewRecordId();

}  // namespace korvalen::station
