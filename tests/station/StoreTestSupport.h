// Scratch folders and sample records for the store tests.
#pragma once

#include <filesystem>
#include <random>
#include <string>

#include "station/RunRecord.h"

namespace korvalen::testing {

class StoreDir {
 public:
  StoreDir() {
    std::random_device random;
    path_ = std::filesystem::temp_directory_path() /
            ("korvalen-store-test-" + std::to_string(random()) + std::to_string(random()));
    std::filesystem::create_directories(path_);
  }
  ~StoreDir() {
    std::error_code ignored;
    std::filesystem::permissions(path_, std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::add, ignored);
    std::filesystem::remove_all(path_, ignored);
  }
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

// A failed run with every field set, so a column lost on the way shows.
inline station::RunRecord SampleRecord(int64_t started_utc_us = 1'765'000'000'000'000) {
  station::RunRecord r;
  r.id = station::NewRecordId();
  r.station = "line-2-pc-a";
  r.operator_name = "Ana \"night shift\", O'Neil";
  r.device_path = "sim:3";
  r.model = "KORVALEN_TIDE";
  r.file_name = "KORVALEN_TIDE.hex";
  r.file_sha256 = std::string(64, 'a');
  r.jedec_id = 0xBF258E;
  r.firmware_version_reported = "2.14";
  r.result = station::RunResult::kFailed;
  r.failed_step = "verify";
  r.reason = "byte 0x100 read 0x00, wrote 0xFF\nthird attempt";
  r.attempts = 3;
  r.device_gone = true;
  r.started_utc_us = started_utc_us;
  r.ended_utc_us = started_utc_us + 4'500'001;
  r.duration_us = 4'500'001;
  r.serial_before = "OLD-1";
  r.serial_sent = "";
  r.serial_format = "";
  r.serial_state = station::SerialState::kKept;
  return r;
}

inline station::RunRecord PassedRecord(int64_t started_utc_us = 1'765'000'000'000'000) {
  station::RunRecord r = SampleRecord(started_utc_us);
  r.result = station::RunResult::kPassed;
  r.failed_step.clear();
  r.reason.clear();
  r.device_gone = false;
  r.serial_before.clear();
  r.serial_state = station::SerialState::kNone;
  return r;
}

inline bool SameRecord(const station::RunRecord& a, const station::RunRecord& b) {
  return a.id == b.id && a.station == b.station && a.operator_name == b.operator_name &&
         a.device_path == b.device_path && a.model == b.model && a.file_name == b.file_name &&
         a.file_sha256 == b.file_sha256 && a.jedec_id == b.jedec_id &&
         a.firmware_version_reported == b.firmware_version_reported && a.result == b.result &&
         a.failed_step == b.failed_step && a.reason == b.reason && a.attempts == b.attempts &&
         a.device_gone == b.device_gone && a.started_utc_us == b.started_utc_us &&
         a.ended_utc_us == b.ended_utc_us && a.duration_us == b.duration_us &&
         a.serial_before == b.serial_before && a.serial_sent == b.serial_sent &&
         a.serial_format == b.serial_format && a.serial_state == b.serial_state;
}

}  // namespace korvalen::testing
