#include "station/PostgresStore.h"

#include <libpq-fe.h>

#include <algorithm>

#include "station/PostgresSql.h"
#include "station/RecordColumns.h"
#include "station/SerialFormat.h"

namespace korvalen::station {
namespace {

// pg_advisory_xact_lock's key for schema changes: stations starting at
// once wait here and the first one migrates.
constexpr int64_t kMigrationLockKey = 0x4B56'4C4E'5354'0001;
// A deadlock or a serialization failure is the database asking for the
// transaction again.
constexpr int kConflictRetries = 3;

// Every schema step from version N-1 to N, in order, never changed once
// released. Times are kept as microseconds since 1970 UTC, as in the
// SQLite store; the views turn them into timestamps in the session's zone.
constexpr const char* kMigrations[] = {
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
static_assert(std::size(kMigrations) == kPostgresSchemaVersion);

std::string Placeholders() {
  std::string marks = "$1";
  for (int i = 2; i <= kRecordColumnCount; ++i) marks += ", $" + std::to_string(i);
  return marks;
}
const std::string kInsertRecord = "INSERT INTO records (" + std::string(kRecordColumns) +
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

// The database as messages name it: never its password.
std::string Describe(PGconn* conn) {
  const char* user = PQuser(conn);
  const char* host = PQhost(conn);
  const char* port = PQport(conn);
  const char* db = PQdb(conn);
  std::string text = "PostgreSQL database ";
  text += db != nullptr ? db : "?";
  if (host != nullptr && host[0] != '\0') text += std::string(" on ") + host;
  if (port != nullptr && port[0] != '\0') text += std::string(":") + port;
  if (user != nullptr && user[0] != '\0') text += std::string(" as ") + user;
  return text;
}

// The same without a connection, from the target's own words.
std::string Describe(PQconninfoOption* options) {
  std::string db, host, port, user;
  for (PQconninfoOption* o = options; o != nullptr && o->keyword != nullptr; ++o) {
    if (o->val == nullptr) continue;
    const std::string keyword = o->keyword;
    if (keyword == "dbname") db = o->val;
    if (keyword == "host") host = o->val;
    if (keyword == "port") port = o->val;
    if (keyword == "user") user = o->val;
  }
  std::string text = "PostgreSQL database " + (db.empty() ? std::string("(default)") : db);
  if (!host.empty()) text += " on " + host;
  if (!port.empty()) text += ":" + port;
  if (!user.empty()) text += " as " + user;
  return text;
}

std::string Trimmed(std::string message) {
  while (!message.empty() && (message.back() == '\n' || message.back() == ' ')) message.pop_back();
  return message;
}

// Records unused numbers [from, to] of format as gaps: given to nobody,
// never given again.
bool RecordGaps(Sql& sql, const std::string& format, int64_t from, int64_t to,
                const std::string& station) {
  if (from > to) return true;
  return sql.Run("recording unused leased numbers as gaps",
                 "INSERT INTO serials (format, number, state, station) "
                 "SELECT $1, n, 'gap', $4 FROM generate_series($2::bigint, $3::bigint) AS n "
                 "ON CONFLICT (format, number) DO NOTHING",
                 {format, std::to_string(from), std::to_string(to), station});
}

}  // namespace

PostgresStore::PostgresStore(pg_conn* conn, std::string where, const PostgresOptions& options)
    : conn_(conn), where_(std::move(where)), options_(options) {}

std::unique_ptr<PostgresStore> PostgresStore::Open(const std::string& target, std::string* error,
                                                   const PostgresOptions& options) {
  char* parse_error = nullptr;
  PQconninfoOption* parsed = PQconninfoParse(target.c_str(), &parse_error);
  if (parsed == nullptr) {
    *error = "--db is no PostgreSQL connection text: " +
             Trimmed(parse_error != nullptr ? parse_error : "out of memory");
    PQfreemem(parse_error);
    return nullptr;
  }
  const std::string described = Describe(parsed);
  bool has_password = false;
  for (PQconninfoOption* o = parsed; o->keyword != nullptr; ++o)
    if (std::string(o->keyword) == "password" && o->val != nullptr) has_password = true;
  PQconninfoFree(parsed);
  if (has_password) {
    *error = described + ": the connection text holds a password; give it in PGPASSWORD or "
             "~/.pgpass instead, so it is not shown to other users and never kept";
    return nullptr;
  }
  if (options.lease_size < 1) {
    *error = "the serial lease size must be at least 1";
    return nullptr;
  }
  // Defaults first: the target's own words override them. A silent
  // network must not hang a station: bounded connect, TCP keepalives.
  const char* keywords[] = {"connect_timeout", "keepalives_idle", "keepalives_interval",
                            "keepalives_count", "application_name", "dbname", nullptr};
  const char* values[] = {"10", "10", "5", "3", "korvalen-fw", target.c_str(), nullptr};
  PGconn* conn = PQconnectdbParams(keywords, values, 1);
  if (conn == nullptr) {
    *error = described + " cannot be reached: out of memory";
    return nullptr;
  }
  if (PQstatus(conn) != CONNECTION_OK) {
    // PQping tells a server that is not there from one that said no.
    const bool silent = PQpingParams(keywords, values, 1) == PQPING_NO_RESPONSE;
    if (!options.wait_for_server || !silent) {
      *error = described + (silent ? " cannot be reached: " : " refused the connection: ") +
               Trimmed(PQerrorMessage(conn));
      PQfinish(conn);
      return nullptr;
    }
    std::unique_ptr<PostgresStore> waiting(new PostgresStore(conn, described, options));
    waiting->reachable_ = false;
    return waiting;
  }
  std::unique_ptr<PostgresStore> store(new PostgresStore(conn, Describe(conn), options));
  if (StoreStatus status = store->Ready("opening"); !status) {
    *error = status.error;
    return nullptr;
  }
  return store;
}

bool PostgresStore::Reachable() const { return reachable_; }

StoreStatus PostgresStore::Ready(const std::string& what) {
  if (needs_reset_ || PQstatus(conn_) != CONNECTION_OK) {
    PQreset(conn_);
    reachable_ = PQstatus(conn_) == CONNECTION_OK;
    if (!reachable_)
      return {where_ + ": " + what + ": the database cannot be reached: " +
              Trimmed(PQerrorMessage(conn_))};
    needs_reset_ = false;
    where_ = Describe(conn_);
  }
  if (migrated_) return {};
  migrated_ = true;  // Migrate's own transactions must not come back here
  StoreStatus status = Migrate();
  migrated_ = static_cast<bool>(status);
  return status;
}

template <typename Body>
StoreStatus PostgresStore::Transaction(const std::string& what, Body body) {
  bool reconnected = false;
  for (int attempt = 0;; ++attempt) {
    if (needs_reset_ || PQstatus(conn_) != CONNECTION_OK) reconnected = true;
    if (StoreStatus ready = Ready(what); !ready) return ready;
    Sql sql(conn_);
    StoreStatus status;
    if (!sql.Run("starting a transaction", "BEGIN")) {
      status = {sql.error()};
    } else {
      status = body(sql);
      if (status && !sql.Run("saving", "COMMIT")) status = {sql.error()};
      if (!status) (void)Sql(conn_).Run("", "ROLLBACK");
    }
    if (status) return {};
    // Lost connection: once more on a new one (the work is safe to repeat).
    if (sql.lost()) {
      needs_reset_ = true;
      if (!reconnected) continue;
      reachable_ = false;
    }
    if ((sql.state() == "40P01" || sql.state() == "40001") && attempt < kConflictRetries) continue;
    return {where_ + ": " + what + ": " + status.error};
  }
}

StoreStatus PostgresStore::Migrate() {
  auto version_now = [](Sql& sql, int* version) -> bool {
    SqlResult rows;
    *version = 0;
    // pg_class read as a table, by this statement's snapshot: a lookup by
    // name (to_regclass) may answer from a cache that does not yet know a
    // table another station made while this one waited for the lock.
    if (!sql.Run("reading the schema",
                 "SELECT EXISTS (SELECT 1 FROM pg_catalog.pg_class c JOIN pg_catalog.pg_namespace n "
                 "ON n.oid = c.relnamespace WHERE c.relname = 'schema_version' "
                 "AND n.nspname = current_schema())",
                 {}, &rows))
      return false;
    if (rows.Text(0, 0) != "t") return true;
    if (!sql.Run("reading the schema version", "SELECT max(version) FROM schema_version", {},
                 &rows))
      return false;
    *version = rows.IsNull(0, 0) ? 0 : static_cast<int>(rows.Int(0, 0));
    return true;
  };
  auto too_new = [this](int version) -> StoreStatus {
    return {where_ + " holds schema version " + std::to_string(version) +
            "; this korvalen-fw knows versions up to " +
            std::to_string(kPostgresSchemaVersion) + ": use a newer korvalen-fw"};
  };
  // A station role without the right to change the schema opens a
  // database at the current version without ever asking for it.
  int version = 0;
  Sql probe(conn_);
  if (!version_now(probe, &version)) return {where_ + ": " + probe.error()};
  if (version == kPostgresSchemaVersion) return {};
  if (version > kPostgresSchemaVersion) return too_new(version);
  StoreStatus newer;
  StoreStatus status = Transaction("updating the schema", [&](Sql& sql) -> StoreStatus {
    if (!sql.Run("waiting for the schema lock", "SELECT pg_advisory_xact_lock($1)",
                 {std::to_string(kMigrationLockKey)}))
      return {sql.error()};
    // Another station may have migrated while this one waited.
    int now = 0;
    if (!version_now(sql, &now)) return {sql.error()};
    if (now > kPostgresSchemaVersion) {
      newer = too_new(now);
      return {};
    }
    if (now == 0 && !sql.Run("making the schema version table",
                             "CREATE TABLE schema_version (version integer NOT NULL); "
                             "INSERT INTO schema_version VALUES (0)"))
      return {sql.error()};
    for (int step = now; step < kPostgresSchemaVersion; ++step) {
      if (!sql.Run("making schema version " + std::to_string(step + 1), kMigrations[step]))
        return {sql.error()};
    }
    if (!sql.Run("writing the schema version", "UPDATE schema_version SET version = $1",
                 {std::to_string(kPostgresSchemaVersion)}))
      return {sql.error()};
    return {};
  });
  if (!status) return status;
  return newer;
}

StoreStatus PostgresStore::Add(const RunRecord& record) {
  return Transaction("keeping record " + record.id, [&](Sql& sql) -> StoreStatus {
    if (!sql.Run("keeping the record", kInsertRecord, RecordParams(record))) return {sql.error()};
    return {};
  });
}

StoreStatus PostgresStore::AddPassedWithSerial(RunRecord& record, const std::string& format,
                                               uint64_t start) {
  std::string error;
  const auto parsed = SerialFormat::Parse(format, &error);
  if (!parsed) return {error};
  const std::string max = std::to_string(parsed->MaxNumber());
  const std::string station = record.station;
  const std::string lease_seconds = std::to_string(options_.lease_seconds);
  const int64_t lease_size = options_.lease_size;
  RunRecord kept;
  StoreStatus status = Transaction("keeping record " + record.id, [&](Sql& sql) -> StoreStatus {
    kept = record;
    SqlResult rows;
    // The same record kept again keeps the serial it has, and takes none.
    if (!sql.Run("reading the record", "SELECT serial_sent, serial_state FROM records WHERE id = $1",
                 {record.id}, &rows))
      return {sql.error()};
    if (rows.rows() > 0) {
      kept.serial_sent = rows.Text(0, 0);
      kept.serial_format = format;
      kept.serial_state = SerialStateFromText(rows.Text(0, 1)).value_or(SerialState::kPending);
      return {};
    }

    // A new lease of lease_size numbers from the counter. Other stations'
    // expired leases are closed first, their unused numbers kept as gaps.
    // Leases locked by a station at work are skipped, never waited for: a
    // station locks its lease before the counter, this the other way.
    auto take_lease = [&]() -> StoreStatus {
      if (!sql.Run("making the serial counter",
                   "INSERT INTO serial_counters (format, next_number) VALUES ($1, $2) "
                   "ON CONFLICT (format) DO NOTHING",
                   {format, std::to_string(start)}) ||
          !sql.Run("locking the serial counter",
                   "SELECT next_number FROM serial_counters WHERE format = $1 FOR UPDATE",
                   {format}, &rows))
        return {sql.error()};
      const int64_t first = rows.Int(0, 0);
      SqlResult expired;
      if (!sql.Run("finding expired leases",
                   "SELECT id, next_number, last_number, station FROM serial_leases "
                   "WHERE format = $1 AND state = 'active' AND expires_at <= now() "
                   "FOR UPDATE SKIP LOCKED",
                   {format}, &expired))
        return {sql.error()};
      for (int i = 0; i < expired.rows(); ++i) {
        if (!RecordGaps(sql, format, expired.Int(i, 1), expired.Int(i, 2), expired.Text(i, 3)) ||
            !sql.Run("closing an expired lease",
                     "UPDATE serial_leases SET state = 'expired' WHERE id = $1",
                     {expired.Text(i, 0)}))
          return {sql.error()};
      }
      if (first > static_cast<int64_t>(parsed->MaxNumber()))
        return {"serial FORMAT \"" + format + "\" is used up: its counter has no number left "
                "after " + max};
      const int64_t last =
          std::min<int64_t>(first + lease_size - 1, static_cast<int64_t>(parsed->MaxNumber()));
      if (!sql.Run("advancing the serial counter",
                   "UPDATE serial_counters SET next_number = $2 WHERE format = $1",
                   {format, std::to_string(last + 1)}) ||
          !sql.Run("taking a serial lease",
                   "INSERT INTO serial_leases (format, station, first_number, last_number, "
                   "next_number, expires_at) VALUES ($1, $2, $3, $4, $3, "
                   "now() + make_interval(secs => $5::bigint))",
                   {format, station, std::to_string(first), std::to_string(last), lease_seconds}))
        return {sql.error()};
      return {};
    };

    std::optional<int64_t> number;
    for (int round = 0; !number; ++round) {
      SqlResult leases;
      if (!sql.Run("locking this station's leases",
                   "SELECT id, next_number, last_number, expires_at <= now() FROM serial_leases "
                   "WHERE format = $1 AND station = $2 AND state = 'active' "
                   "ORDER BY first_number FOR UPDATE",
                   {format, station}, &leases))
        return {sql.error()};
      for (int i = 0; i < leases.rows() && !number; ++i) {
        const std::string id = leases.Text(i, 0);
        const int64_t last = leases.Int(i, 2);
        if (leases.Text(i, 3) == "t") {
          // Expired while this station held it: its numbers are gaps now.
          if (!RecordGaps(sql, format, leases.Int(i, 1), last, station) ||
              !sql.Run("closing an expired lease",
                       "UPDATE serial_leases SET state = 'expired' WHERE id = $1", {id}))
            return {sql.error()};
          continue;
        }
        // The lease's first number no unit carries yet and none voided.
        SqlResult free;
        if (!sql.Run("finding a free serial",
                     "SELECT min(n) FROM generate_series($2::bigint, $3::bigint) AS n "
                     "WHERE NOT EXISTS (SELECT 1 FROM serials WHERE format = $1 AND number = n)",
                     {format, leases.Text(i, 1), std::to_string(last)}, &free))
          return {sql.error()};
        const bool found = !free.IsNull(0, 0);
        if (found) number = free.Int(0, 0);
        const int64_t next = found ? *number + 1 : last + 1;
        if (!sql.Run("using the lease",
                     "UPDATE serial_leases SET next_number = $2, "
                     "state = CASE WHEN $2 > last_number THEN 'used' ELSE 'active' END, "
                     "expires_at = now() + make_interval(secs => $3::bigint) WHERE id = $1",
                     {id, std::to_string(next), lease_seconds}))
          return {sql.error()};
      }
      if (number) break;
      if (round > 1000)
        return {"no free serial of \"" + format + "\" found in 1000 leases"};
      if (StoreStatus taken = take_lease(); !taken) return taken;
    }

    const auto serial = parsed->Expand(static_cast<uint64_t>(*number), Today());
    if (!serial) return {"serial FORMAT \"" + format + "\" cannot hold " + std::to_string(*number)};
    if (!sql.Run("taking serial " + *serial,
                 "INSERT INTO serials (format, number, state, record_id, station) "
                 "VALUES ($1, $2, 'taken', $3, $4)",
                 {format, std::to_string(*number), record.id, station}))
      return {sql.error()};
    kept.serial_sent = *serial;
    kept.serial_format = format;
    kept.serial_state = SerialState::kPending;
    if (!sql.Run("keeping the record", kInsertRecord, RecordParams(kept))) return {sql.error()};

    // Renewed early, so a station has numbers in hand when the database
    // is slow or away for a while.
    if (!sql.Run("counting the numbers leased",
                 "SELECT coalesce(sum(last_number - next_number + 1), 0) FROM serial_leases "
                 "WHERE format = $1 AND station = $2 AND state = 'active'",
                 {format, station}, &rows))
      return {sql.error()};
    if (rows.Int(0, 0) * 2 < lease_size) {
      if (StoreStatus renewed = take_lease(); !renewed) {
        // A used-up counter stops the next unit, not this one.
        if (renewed.error.find("is used up") == std::string::npos) return renewed;
      }
    }
    return {};
  });
  if (!status) return status;
  const auto key = std::make_pair(format, station);
  if (std::find(leased_.begin(), leased_.end(), key) == leased_.end()) leased_.push_back(key);
  record = std::move(kept);
  return {};
}

StoreStatus PostgresStore::SetSerialState(const std::string& record_id, SerialState state) {
  if (state != SerialState::kDelivered && state != SerialState::kVoid &&
      state != SerialState::kVerified)
    return {"a kept serial moves only to delivered, void or verified, not to " +
            std::string(SerialStateText(state))};
  return Transaction("updating record " + record_id, [&](Sql& sql) -> StoreStatus {
    SqlResult rows;
    if (!sql.Run("reading the record", "SELECT serial_sent FROM records WHERE id = $1 FOR UPDATE",
                 {record_id}, &rows))
      return {sql.error()};
    if (rows.rows() == 0) return {"no such record"};
    if (rows.Text(0, 0).empty()) return {"the record has no serial sent"};
    if (!sql.Run("updating the record", "UPDATE records SET serial_state = $2 WHERE id = $1",
                 {record_id, std::string(SerialStateText(state))}))
      return {sql.error()};
    // The number stays taken: a void serial is never given again.
    if (state == SerialState::kVoid &&
        !sql.Run("voiding the serial", "UPDATE serials SET state = 'void' WHERE record_id = $1",
                 {record_id}))
      return {sql.error()};
    return {};
  });
}

StoreStatus PostgresStore::MarkSerialUsed(const std::string& format, uint64_t number) {
  std::string error;
  const auto parsed = SerialFormat::Parse(format, &error);
  if (!parsed) return {error};
  if (number > parsed->MaxNumber())
    return {"serial FORMAT \"" + format + "\" has no number " + std::to_string(number)};
  return Transaction("marking a serial used", [&](Sql& sql) -> StoreStatus {
    if (!sql.Run("marking the serial used",
                 "INSERT INTO serials (format, number, state) VALUES ($1, $2, 'used') "
                 "ON CONFLICT (format, number) DO NOTHING",
                 {format, std::to_string(number)}))
      return {sql.error()};
    return {};
  });
}

StoreStatus PostgresStore::FindBySentSerial(const std::string& serial,
                                            std::optional<RunRecord>* found) {
  found->reset();
  std::optional<RunRecord> record;
  bool unknown = false;
  StoreStatus status = Transaction("looking for serial " + serial, [&](Sql& sql) -> StoreStatus {
    SqlResult rows;
    if (!sql.Run("reading records",
                 "SELECT " + std::string(kRecordColumns) +
                     " FROM records WHERE serial_sent = $1 AND serial_sent <> '' "
                     "ORDER BY started_utc_us DESC, kept_at DESC LIMIT 1",
                 {serial}, &rows))
      return {sql.error()};
    if (rows.rows() == 0) return {};
    record = ReadRecord(rows, 0);
    unknown = !record;
    return {};
  });
  if (!status) return status;
  if (unknown)
    return {where_ + ": the record of serial " + serial +
            " holds a result or state this korvalen-fw does not know"};
  *found = std::move(record);
  return {};
}

StoreStatus PostgresStore::History(const HistoryQuery& query, std::vector<RunRecord>* records) {
  records->clear();
  std::vector<RunRecord> read;
  std::string unknown;
  StoreStatus status = Transaction("reading records", [&](Sql& sql) -> StoreStatus {
    read.clear();
    SqlResult rows;
    if (!sql.Run("reading records",
                 "SELECT " + std::string(kRecordColumns) +
                     " FROM records WHERE started_utc_us >= $1 ORDER BY started_utc_us, kept_at, id",
                 {std::to_string(query.since_utc_us.value_or(INT64_MIN))}, &rows))
      return {sql.error()};
    for (int i = 0; i < rows.rows(); ++i) {
      auto record = ReadRecord(rows, i);
      if (!record) {
        unknown = rows.Text(i, 0);
        return {};
      }
      read.push_back(std::move(*record));
    }
    return {};
  });
  if (!status) return status;
  if (!unknown.empty())
    return {where_ + ": record " + unknown +
            " holds a result or state this korvalen-fw does not know"};
  *records = std::move(read);
  return {};
}

PostgresStore::~PostgresStore() {
  // Hand back what nobody leased after: the counter goes back to the
  // lease's next number. A lease others leased after stays until it
  // expires, so numbers are never given twice.
  for (const auto& [format, station] : leased_) {
    (void)Transaction("handing back leased serials", [&](Sql& sql) -> StoreStatus {
      SqlResult leases;
      if (!sql.Run("locking this station's leases",
                   "SELECT id, next_number, last_number FROM serial_leases "
                   "WHERE format = $1 AND station = $2 AND state = 'active' "
                   "ORDER BY first_number DESC FOR UPDATE",
                   {format, station}, &leases))
        return {sql.error()};
      SqlResult counter;
      if (!sql.Run("locking the serial counter",
                   "SELECT next_number FROM serial_counters WHERE format = $1 FOR UPDATE",
                   {format}, &counter))
        return {sql.error()};
      if (counter.rows() == 0) return {};
      int64_t next = counter.Int(0, 0);
      for (int i = 0; i < leases.rows(); ++i) {
        if (leases.Int(i, 2) + 1 != next) break;  // someone leased after it
        next = leases.Int(i, 1);
        if (!sql.Run("handing back a lease",
                     "UPDATE serial_leases SET state = 'returned', last_number = next_number - 1 "
                     "WHERE id = $1",
                     {leases.Text(i, 0)}))
          return {sql.error()};
      }
      if (!sql.Run("moving the counter back",
                   "UPDATE serial_counters SET next_number = $2 WHERE format = $1",
                   {format, std::to_string(next)}))
        return {sql.error()};
      return {};
    });
  }
  PQfinish(conn_);
}

}  // namespace korvalen::station
