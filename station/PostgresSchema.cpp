#include "station/PostgresSchema.h"

#include <iterator>

#include "station/PostgresStore.h"
#include "station/RecordColumns.h"

namespace korvalen::station {

// Every schema step from version N-1 to N, in order, never changed once
// released. Times are kept as microseconds since 1970 UTC, as in the
// SQLite store; the views turn them into timestamps in the session's zone.
const char* const kPostgresMigrations[] = {
    R"sql(
CREATE TABLE records (
  id text PRIMARY KEY,
  station text NOT NULL,
  operator_name text NOT NULL,
  device_path text NOT NULL,
  model text NOT NULL,
  file_name text NOT NULL,
  file_sha256 text NOT NULL,
  jedec_id bigint,
  firmware_version_reported text NOT NULL,
  result text NOT NULL,
  failed_step text NOT NULL,
  reason text NOT NULL,
  attempts integer NOT NULL,
  device_gone boolean NOT NULL,
  started_utc_us bigint NOT NULL,
  ended_utc_us bigint NOT NULL,
  duration_us bigint NOT NULL,
  serial_before text NOT NULL,
  serial_sent text NOT NULL,
  serial_format text NOT NULL,
  serial_state text NOT NULL,
  kept_at timestamptz NOT NULL DEFAULT now()
);
CREATE INDEX records_started ON records (started_utc_us);
CREATE INDEX records_serial_sent ON records (serial_sent) WHERE serial_sent <> '';
CREATE TABLE serial_counters (
  format text PRIMARY KEY,
  next_number bigint NOT NULL
);
CREATE TABLE serial_leases (
  id bigserial PRIMARY KEY,
  format text NOT NULL,
  station text NOT NULL,
  first_number bigint NOT NULL,
  last_number bigint NOT NULL,
  next_number bigint NOT NULL,
  state text NOT NULL DEFAULT 'active',
  taken_at timestamptz NOT NULL DEFAULT now(),
  expires_at timestamptz NOT NULL
);
CREATE INDEX serial_leases_active ON serial_leases (format, station) WHERE state = 'active';
CREATE TABLE serials (
  format text NOT NULL,
  number bigint NOT NULL,
  state text NOT NULL,
  record_id text,
  station text,
  at timestamptz NOT NULL DEFAULT now(),
  PRIMARY KEY (format, number)
);
CREATE VIEW yield_by_station AS
  SELECT station, count(*) AS runs,
         count(*) FILTER (WHERE result = 'passed') AS passed,
         round(100.0 * count(*) FILTER (WHERE result = 'passed') / count(*), 1) AS yield_percent
  FROM records GROUP BY station;
CREATE VIEW yield_by_hour AS
  SELECT date_trunc('hour', to_timestamp(started_utc_us / 1e6)) AS hour, station,
         count(*) AS runs, count(*) FILTER (WHERE result = 'passed') AS passed,
         round(100.0 * count(*) FILTER (WHERE result = 'passed') / count(*), 1) AS yield_percent
  FROM records GROUP BY 1, 2;
CREATE VIEW failures_by_step AS
  SELECT failed_step, reason, result, count(*) AS runs
  FROM records WHERE result <> 'passed' GROUP BY 1, 2, 3;
CREATE VIEW unit_history AS
  SELECT serial, to_timestamp(started_utc_us / 1e6) AS started, station, operator_name, model,
         result, failed_step, reason, firmware_version_reported, serial_state, id
  FROM (SELECT *, serial_sent AS serial FROM records WHERE serial_sent <> ''
        UNION ALL
        SELECT *, serial_before FROM records
        WHERE serial_before <> '' AND serial_before <> serial_sent) AS by_serial;
)sql",
};
static_assert(std::size(kPostgresMigrations) == kPostgresSchemaVersion);

namespace {

std::string Placeholders() {
  std::string marks = "$1";
  for (int i = 2; i <= kRecordColumnCount; ++i) marks += ", $" + std::to_string(i);
  return marks;
}
}  // namespace

const std::string kPostgresInsertRecord = "INSERT INTO records (" + std::string(kRecordColumns) +
                                          ") VALUES (" + Placeholders() +
                                          ") ON CONFLICT (id) DO NOTHING";

SqlParams RecordParams(const RunRecord& r) {
  return {r.id,
          r.station,
          r.operator_name,
          r.device_path,
          r.model,
          r.file_name,
          r.file_sha256,
          r.jedec_id ? std::optional<std::string>(std::to_string(*r.jedec_id)) : std::nullopt,
          r.firmware_version_reported,
          std::string(RunResultText(r.result)),
          r.failed_step,
          r.reason,
          std::to_string(r.attempts),
          r.device_gone ? "true" : "false",
          std::to_string(r.started_utc_us),
          std::to_string(r.ended_utc_us),
          std::to_string(r.duration_us),
          r.serial_before,
          r.serial_sent,
          r.serial_format,
          std::string(SerialStateText(r.serial_state))};
}

std::optional<RunRecord> ReadRecord(const SqlResult& rows, int row) {
  RunRecord r;
  int i = 0;
  r.id = rows.Text(row, i++);
  r.station = rows.Text(row, i++);
  r.operator_name = rows.Text(row, i++);
  r.device_path = rows.Text(row, i++);
  r.model = rows.Text(row, i++);
  r.file_name = rows.Text(row, i++);
  r.file_sha256 = rows.Text(row, i++);
  if (!rows.IsNull(row, i)) r.jedec_id = static_cast<uint32_t>(rows.Int(row, i));
  ++i;
  r.firmware_version_reported = rows.Text(row, i++);
  const auto result = RunResultFromText(rows.Text(row, i++));
  r.failed_step = rows.Text(row, i++);
  r.reason = rows.Text(row, i++);
  r.attempts = static_cast<int>(rows.Int(row, i++));
  r.device_gone = rows.Text(row, i++) == "t";
  r.started_utc_us = rows.Int(row, i++);
  r.ended_utc_us = rows.Int(row, i++);
  r.duration_us = rows.Int(row, i++);
  r.serial_before = rows.Text(row, i++);
  r.serial_sent = rows.Text(row, i++);
  r.serial_format = rows.Text(row, i++);
  const auto state = SerialStateFromText(rows.Text(row, i++));
  if (!result || !state) return std::nullopt;
  r.result = *result;
  r.serial_state = *state;
  return r;
}

std::string Trimmed(std::string message) {
  while (!message.empty() && (message.back() == '\n' || message.back() == ' ')) message.pop_back();
  return message;
}

bool RecordGaps(Sql& sql, const std::string& format, int64_t from, int64_t to,
                const std::string& station) {
  if (from > to) return true;
  return sql.Run("recording unused leased numbers as gaps",
                 "INSERT INTO serials (format, number, state, station) "
                 "SELECT $1, n, 'gap', $4 FROM generate_series($2::bigint, $3::bigint) AS n "
                 "ON CONFLICT (format, number) DO NOTHING",
                 {format, std::to_string(from), std::to_string(to), station});
}

}  // namespace korvalen::station
