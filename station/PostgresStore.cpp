#include "station/PostgresStore.h"

#include <libpq-fe.h>

#include <algorithm>

#include "station/PostgresSchema.h"
#include "station/PostgresSql.h"
#include "station/RecordColumns.h"
#include "station/SerialFormat.h"

namespace korvalen::station {
namespace {

// pg_advisory_xact_lock's key for schema changes: stations starting at
// once wait here and the first one migrates.
constexpr int64_t kMigrationLockKey = 0x4B56'4C4E'5354'0001;
// A deadlock or a serialization failure is the database asking for the
// transaction again; so is a serial another station marked used between
// this one's look and its insert (a unique violation): the next look
// skips it.
constexpr int kConflictRetries = 3;
bool AskedAgain(const std::string& sqlstate) {
  return sqlstate == "40P01" || sqlstate == "40001" || sqlstate == "23505";
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
    *error = described +
             ": the connection text holds a password; give it in PGPASSWORD or "
             "~/.pgpass instead, so it is not shown to other users and never kept";
    return nullptr;
  }
  if (options.lease_size < 1) {
    *error = "the serial lease size must be at least 1";
    return nullptr;
  }
  // Defaults first: the target's own words override them. A silent
  // network must not hang a station: bounded connect, TCP keepalives.
  const char* keywords[] = {"connect_timeout",
                            "keepalives_idle",
                            "keepalives_interval",
                            "keepalives_count",
                            "application_name",
                            "dbname",
                            nullptr};
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
      return {where_ + ": " + what +
              ": the database cannot be reached: " + Trimmed(PQerrorMessage(conn_))};
    needs_reset_ = false;
    where_ = Describe(conn_);
  }
  if (migrated_) return {};
  migrated_ = true;  // Migrate's own transactions must not come back here
  StoreStatus status = Migrate();
  migrated_ = static_cast<bool>(status);
  return status;
}

StoreStatus PostgresStore::Transaction(const std::string& what,
                                       const std::function<StoreStatus(Sql&)>& body) {
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
    if (AskedAgain(sql.state()) && attempt < kConflictRetries) continue;
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
    if (!sql.Run(
            "reading the schema",
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
            "; this korvalen-fw knows versions up to " + std::to_string(kPostgresSchemaVersion) +
            ": use a newer korvalen-fw"};
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
      if (!sql.Run("making schema version " + std::to_string(step + 1), kPostgresMigrations[step]))
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
    if (!sql.Run("keeping the record", kPostgresInsertRecord, RecordParams(record)))
      return {sql.error()};
    return {};
  });
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
    if (!sql.Run(
            "reading records",
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

}  // namespace korvalen::station
