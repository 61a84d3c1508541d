// The records table's columns, in the order both stores bind and read them.
#pragma once

namespace korvalen::station {

inline constexpr const char* kRecordColumns =
    "id, station, operator_name, device_path, model, file_name, file_sha256, jedec_id, "
    "firmware_version_reported, result, failed_step, reason, attempts, device_gone, "
    "started_utc_us, ended_utc_us, duration_us, serial_before, serial_sent, serial_format, "
    "serial_state";
inline constexpr int kRecordColumnCount = 21;

}  // namespace korvalen::station
