#include "station/SqliteSchema.h"

#include <iterator>

namespace korvalen::station {

// Every schema step from version N-1 to N, in order. A step is only ever
// added, never changed: files in the field were made by the old ones.
const char* const kSqliteMigrations[] = {
    // 1: records, serial counters and the serials taken, used or void.
    R"sql(
CREATE TABLE records (
  id TEXT PRIMARY KEY NOT NULL,
  station TEXT NOT NULL,
  operator_name TEXT NOT NULL,
  device_path TEXT NOT NULL,
  model TEXT NOT NULL,
  file_name TEXT NOT NULL,
  file_sha256 TEXT NOT NULL,
  jedec_id INTEGER,
  firmware_version_reported TEXT NOT NULL,
  result TEXT NOT NULL,
  failed_step TEXT NOT NULL,
  reason TEXT NOT NULL,
  attempts INTEGER NOT NULL,
  device_gone INTEGER NOT NULL,
  started_utc_us INTEGER NOT NULL,
  ended_utc_us INTEGER NOT NULL,
  duration_us INTEGER NOT NULL,
  serial_before TEXT NOT NULL,
  serial_sent TEXT NOT NULL,
  serial_format TEXT NOT NULL,
  serial_state TEXT NOT NULL
);
CREATE INDEX records_started ON records(started_utc_us);
CREATE INDEX records_serial_sent ON records(serial_sent);
CREATE TABLE serial_counters (
  format TEXT PRIMARY KEY NOT NULL,
  next_number INTEGER NOT NULL
);
CREATE TABLE serials (
  format TEXT NOT NULL,
  number INTEGER NOT NULL,
  state TEXT NOT NULL,
  record_id TEXT,
  PRIMARY KEY (format, number)
);
)sql",
    // 2: serial changes a spool holds until the line's database is back.
    R"sql(
CREATE TABLE held_changes (
  seq INTEGER PRIMARY KEY AUTOINCREMENT,
  record_id TEXT NOT NULL,
  state TEXT NOT NULL,
  format TEXT NOT NULL,
  number INTEGER NOT NULL
);
)sql",
};
static_assert(std::size(kSqliteMigrations) == kSqliteSchemaVersion);

}  // namespace korvalen::station
