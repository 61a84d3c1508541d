#include "station/SqliteStore.h"

#include <sqlite3.h>

#include <system_error>

#include "image/PathText.h"
#include "station/RecordColumns.h"
#include "station/SerialFormat.h"

namespace korvalen::station {
namespace {

// How long a writer waits for another process's transaction to end before
// it reports the file busy. A station records a unit in milliseconds, so
// this is only reached when something holds the file far too long.
constexpr int kBusyTimeoutMs = 15000;

// Every schema step from version N-1 to N, in order. A step is only ever
// added, never changed: files in the field were made by the old ones.
constexpr const char* kMigrations[] = {
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
static_assert(std::size(kMigrations) == kSqliteSchemaVersion);

// One prepared statement, finalized when it goes.
class Statement {
 public:
  Statement(sqlite3* db, const char* sql) { rc_ = sqlite3_prepare_v2(db, sql, -1, &stmt_, nullptr); }
  ~Statement() { sqlite3_finalize(stmt_); }
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;

  bool ok() const { return rc_ == SQLITE_OK; }
  void Bind(int index, const std::string& text) {
    sqlite3_bind_text(stmt_, index, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
  }
  void Bind(int index, int64_t value) { sqlite3_bind_int64(stmt_, index, value); }
  void BindNull(int index) { sqlite3_bind_null(stmt_, index); }
  // SQLITE_ROW, SQLITE_DONE or an error code.
  int Step() { return sqlite3_step(stmt_); }
  std::string Text(int column) const {
    const auto* text = sqlite3_column_text(stmt_, column);
    return text == nullptr ? std::string()
                           : std::string(reinterpret_cast<const char*>(text),
                                         static_cast<size_t>(sqlite3_column_bytes(stmt_, column)));
  }
  int64_t Int(int column) const { return sqlite3_column_int64(stmt_, column); }
  bool IsNull(int column) const { return sqlite3_column_type(stmt_, column) == SQLITE_NULL; }

 private:
  sqlite3_stmt* stmt_ = nullptr;
  int rc_ = SQLITE_OK;
};

void BindRecord(Statement& insert, const RunRecord& r) {
  int i = 1;
  insert.Bind(i++, r.id);
  insert.Bind(i++, r.station);
  insert.Bind(i++, r.operator_name);
  insert.Bind(i++, r.device_path);
  insert.Bind(i++, r.model);
  insert.Bind(i++, r.file_name);
  insert.Bind(i++, r.file_sha256);
  if (r.jedec_id) {
    insert.Bind(i++, static_cast<int64_t>(*r.jedec_id));
  } else {
    insert.BindNull(i++);
  }
  insert.Bind(i++, r.firmware_version_reported);
  insert.Bind(i++, std::string(RunResultText(r.result)));
  insert.Bind(i++, r.failed_step);
  insert.Bind(i++, r.reason);
  insert.Bind(i++, static_cast<int64_t>(r.attempts));
  insert.Bind(i++, static_cast<int64_t>(r.device_gone ? 1 : 0));
  insert.Bind(i++, r.started_utc_us);
  insert.Bind(i++, r.ended_utc_us);
  insert.Bind(i++, r.duration_us);
  insert.Bind(i++, r.serial_before);
  insert.Bind(i++, r.serial_sent);
  insert.Bind(i++, r.serial_format);
  insert.Bind(i++, std::string(SerialStateText(r.serial_state)));
}

// nullopt when a stored text names no result or state this build knows.
std::optional<RunRecord> ReadRecord(const Statement& row) {
  RunRecord r;
  int i = 0;
  r.id = row.Text(i++);
  r.station = row.Text(i++);
  r.operator_name = row.Text(i++);
  r.device_path = row.Text(i++);
  r.model = row.Text(i++);
  r.file_name = row.Text(i++);
  r.file_sha256 = row.Text(i++);
  if (!row.IsNull(i)) r.jedec_id = static_cast<uint32_t>(row.Int(i));
  ++i;
  r.firmware_version_reported = row.Text(i++);
  const auto result = RunResultFromText(row.Text(i++));
  r.failed_step = row.Text(i++);
  r.reason = row.Text(i++);
  r.attempts = static_cast<int>(row.Int(i++));
  r.device_gone = row.Int(i++) != 0;
  r.started_utc_us = row.Int(i++);
  r.ended_utc_us = row.Int(i++);
  r.duration_us = row.Int(i++);
  r.serial_before = row.Text(i++);
  r.serial_sent = row.Text(i++);
  r.serial_format = row.Text(i++);
  const auto state = SerialStateFromText(row.Text(i++));
  if (!result || !state) return std::nullopt;
  r.result = *result;
  r.serial_state = *state;
  return r;
}

std::string Placeholders() {
  std::string marks = "?";
  for (int i = 1; i < kRecordColumnCount; ++i) marks += ", ?";
  return marks;
}
const std::string kInsertRecord = "INSERT INTO records (" + std::string(kRecordColumns) +
                                  ") VALUES (" + Placeholders() + ") ON CONFLICT(id) DO NOTHING";

// Ends a write transaction: rolled back unless Commit ran. The store's
// promise that every operation completes or leaves nothing rests on this.
class WriteTransaction {
 public:
  explicit WriteTransaction(sqlite3* db) : db_(db) {
    // IMMEDIATE takes the write lock now, waiting (busy timeout) for
    // another process's turn, so a read inside never goes stale.
    begun_ = sqlite3_exec(db_, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr) == SQLITE_OK;
  }
  ~WriteTransaction() {
    if (begun_ && !committed_) sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
  }
  bool begun() const { return begun_; }
  bool Commit() {
    committed_ = sqlite3_exec(db_, "COMMIT", nullptr, nullptr, nullptr) == SQLITE_OK;
    return committed_;
  }

 private:
  sqlite3* db_;
  bool begun_ = false;
  bool committed_ = false;
};

}  // namespace

std::unique_ptr<SqliteStore> SqliteStore::Open(const std::filesystem::path& path,
                                               std::string* error) {
  return OpenWith(path, false, error);
}

std::unique_ptr<SqliteStore> SqliteStore::OpenExclusive(const std::filesystem::path& path,
                                                        std::string* error) {
  return OpenWith(path, true, error);
}

std::unique_ptr<SqliteStore> SqliteStore::OpenWith(const std::filesystem::path& path,
                                                   bool exclusive, std::string* error) {
  const std::string where = PathText(path);
  std::error_code ec;
  if (std::filesystem::is_directory(path, ec)) {
    *error = "store " + where + " is a folder, not a store file";
    return nullptr;
  }
  const std::filesystem::path folder = path.has_parent_path() ? path.parent_path() : ".";
  if (!std::filesystem::is_directory(folder, ec)) {
    *error = "store " + where + ": the folder " + PathText(folder) + " does not exist";
    return nullptr;
  }
  sqlite3* db = nullptr;
  // SQLite takes UTF-8 names; on Windows it turns them into the wide name.
  const std::u8string name = path.u8string();
  const int rc = sqlite3_open_v2(reinterpret_cast<const char*>(name.c_str()), &db,
                                 SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX,
                                 nullptr);
  if (rc != SQLITE_OK) {
    *error = "store " + where + " cannot be opened for writing: " +
             (db != nullptr ? sqlite3_errmsg(db) : sqlite3_errstr(rc));
    sqlite3_close(db);
    return nullptr;
  }
  std::unique_ptr<SqliteStore> store(new SqliteStore(db, where));
  if (sqlite3_db_readonly(db, "main") == 1) {
    *error = "store " + where + " cannot be written (read-only file or folder)";
    return nullptr;
  }
  sqlite3_busy_timeout(db, exclusive ? 0 : kBusyTimeoutMs);
  sqlite3_extended_result_codes(db, 1);
  if (exclusive) {
    // The lock is taken by the first write and held until the close; a
    // second process finds it at once instead of waiting.
    if (StoreStatus status = store->Exec("PRAGMA locking_mode=EXCLUSIVE"); !status) {
      *error = status.error;
      return nullptr;
    }
    if (sqlite3_exec(db, "BEGIN IMMEDIATE; COMMIT", nullptr, nullptr, nullptr) != SQLITE_OK) {
      *error = "store " + where + " is in use by another process (" + sqlite3_errmsg(db) + ")";
      return nullptr;
    }
  }
  // WAL lets readers go on while one process writes; FULL sync makes a
  // committed record survive a power cut.
  if (StoreStatus status = store->Exec("PRAGMA journal_mode=WAL"); !status) {
    *error = status.error;
    return nullptr;
  }
  if (StoreStatus status = store->Exec("PRAGMA synchronous=FULL"); !status) {
    *error = status.error;
    return nullptr;
  }
  if (StoreStatus status = store->Migrate(); !status) {
    *error = status.error;
    return nullptr;
  }
  return store;
}

SqliteStore::~SqliteStore() { sqlite3_close(db_); }

std::string SqliteStore::Where() const { return where_; }

StoreStatus SqliteStore::Fail(const std::string& what) const {
  const int code = sqlite3_errcode(db_) & 0xFF;
  std::string message = "store " + where_ + ": " + what + ": " + sqlite3_errmsg(db_);
  if (code == SQLITE_NOTADB || code == SQLITE_CORRUPT)
    message += " (the file is damaged or is not a station store)";
  else if (code == SQLITE_BUSY)
    message += " (another program has held the store for " +
               std::to_string(kBusyTimeoutMs / 1000) + " s)";
  return {message};
}

StoreStatus SqliteStore::Exec(const char* sql) {
  if (sqlite3_exec(db_, sql, nullptr, nullptr, nullptr) != SQLITE_OK) return Fail(sql);
  return {};
}

StoreStatus SqliteStore::Migrate() {
  auto version_now = [this](int* version) -> StoreStatus {
    *version = 0;
    Statement has(db_, "SELECT 1 FROM sqlite_master WHERE type='table' AND name='schema_version'");
    if (!has.ok()) return Fail("reading its schema");
    const int rc = has.Step();
    if (rc == SQLITE_DONE) return {};
    if (rc != SQLITE_ROW) return Fail("reading its schema");
    Statement read(db_, "SELECT version FROM schema_version");
    if (!read.ok() || read.Step() != SQLITE_ROW) return Fail("reading its schema version");
    *version = static_cast<int>(read.Int(0));
    return {};
  };
  int version = 0;
  if (StoreStatus status = version_now(&version); !status) return status;
  if (version == kSqliteSchemaVersion) return {};
  if (version > kSqliteSchemaVersion)
    return {"store " + where_ + " holds schema version " + std::to_string(version) +
            "; this korvalen-fw knows versions up to " + std::to_string(kSqliteSchemaVersion) +
            ": use a newer korvalen-fw"};
  WriteTransaction transaction(db_);
  if (!transaction.begun()) return Fail("starting its schema update");
  // Another process may have migrated while this one waited for the lock.
  if (StoreStatus status = version_now(&version); !status) return status;
  if (version == 0) {
    // A file that already holds tables of its own is someone else's.
    Statement tables(db_, "SELECT count(*) FROM sqlite_master");
    if (!tables.ok() || tables.Step() != SQLITE_ROW) return Fail("reading its tables");
    if (tables.Int(0) != 0)
      return {"store " + where_ + " is an SQLite file of another program (it has tables but no "
              "station schema); name a new file"};
    if (StoreStatus status = Exec("CREATE TABLE schema_version (version INTEGER NOT NULL)");
        !status)
      return status;
    if (StoreStatus status = Exec("INSERT INTO schema_version VALUES (0)"); !status)
      return status;
  }
  for (int step = version; step < kSqliteSchemaVersion; ++step) {
    if (StoreStatus status = Exec(kMigrations[step]); !status) return status;
  }
  Statement set(db_, "UPDATE schema_version SET version = ?");
  set.Bind(1, static_cast<int64_t>(kSqliteSchemaVersion));
  if (!set.ok() || set.Step() != SQLITE_DONE) return Fail("writing its schema version");
  if (!transaction.Commit()) return Fail("saving its schema");
  return {};
}

StoreStatus SqliteStore::Add(const RunRecord& record) {
  Statement insert(db_, kInsertRecord.c_str());
  if (!insert.ok()) return Fail("preparing a record");
  BindRecord(insert, record);
  // One statement is its own transaction: the row is all there or absent.
  if (insert.Step() != SQLITE_DONE) return Fail("keeping record " + record.id);
  return {};
}

StoreStatus SqliteStore::AddPassedWithSerial(RunRecord& record, const std::string& format,
                                             uint64_t start) {
  std::string error;
  const auto parsed = SerialFormat::Parse(format, &error);
  if (!parsed) return {error};
  WriteTransaction transaction(db_);
  if (!transaction.begun()) return Fail("starting a record");

  // The same record kept again (a retry after a lost answer) keeps the
  // serial it already had, and takes no second one.
  Statement kept(db_, "SELECT serial_sent, serial_state FROM records WHERE id = ?");
  kept.Bind(1, record.id);
  const int kept_rc = kept.Step();
  if (kept_rc == SQLITE_ROW) {
    record.serial_sent = kept.Text(0);
    record.serial_format = format;
    record.serial_state = SerialStateFromText(kept.Text(1)).value_or(SerialState::kPending);
    return {};
  }
  if (kept_rc != SQLITE_DONE) return Fail("reading record " + record.id);

  Statement counter(db_, "SELECT next_number FROM serial_counters WHERE format = ?");
  counter.Bind(1, format);
  const int counter_rc = counter.Step();
  if (counter_rc != SQLITE_ROW && counter_rc != SQLITE_DONE) return Fail("reading its counter");
  uint64_t number = counter_rc == SQLITE_ROW ? static_cast<uint64_t>(counter.Int(0)) : start;

  // Skip numbers units already carry and void ones: never given again.
  for (;;) {
    if (number > parsed->MaxNumber())
      return {"serial FORMAT \"" + format + "\" is used up: its counter has no number left "
              "after " + std::to_string(parsed->MaxNumber())};
    Statement probe(db_, "SELECT 1 FROM serials WHERE format = ? AND number = ?");
    probe.Bind(1, format);
    probe.Bind(2, static_cast<int64_t>(number));
    const int rc = probe.Step();
    if (rc == SQLITE_DONE) break;
    if (rc != SQLITE_ROW) return Fail("reading the serials taken");
    ++number;
  }
  const auto serial = parsed->Expand(number, Today());
  if (!serial) return {"serial FORMAT \"" + format + "\" cannot hold number " + std::to_string(number)};

  Statement use(db_, "INSERT INTO serials (format, number, state, record_id) VALUES (?, ?, 'taken', ?)");
  use.Bind(1, format);
  use.Bind(2, static_cast<int64_t>(number));
  use.Bind(3, record.id);
  if (use.Step() != SQLITE_DONE) return Fail("taking serial " + *serial);
  Statement advance(db_,
                    "INSERT INTO serial_counters (format, next_number) VALUES (?, ?) "
                    "ON CONFLICT(format) DO UPDATE SET next_number = excluded.next_number");
  advance.Bind(1, format);
  advance.Bind(2, static_cast<int64_t>(number + 1));
  if (advance.Step() != SQLITE_DONE) return Fail("advancing the counter");

  RunRecord with_serial = record;
  with_serial.serial_sent = *serial;
  with_serial.serial_format = format;
  with_serial.serial_state = SerialState::kPending;
  Statement insert(db_, kInsertRecord.c_str());
  BindRecord(insert, with_serial);
  if (insert.Step() != SQLITE_DONE) return Fail("keeping record " + record.id);
  if (!transaction.Commit()) return Fail("saving record " + record.id);
  record = std::move(with_serial);
  return {};
}

StoreStatus SqliteStore::SetSerialState(const std::string& record_id, SerialState state) {
  if (state != SerialState::kDelivered && state != SerialState::kVoid &&
      state != SerialState::kVerified)
    return {"a kept serial moves only to delivered, void or verified, not to " +
            std::string(SerialStateText(state))};
  WriteTransaction transaction(db_);
  if (!transaction.begun()) return Fail("starting a serial update");
  Statement read(db_, "SELECT serial_sent, serial_format FROM records WHERE id = ?");
  read.Bind(1, record_id);
  const int rc = read.Step();
  if (rc == SQLITE_DONE) return {"store " + where_ + " has no record " + record_id};
  if (rc != SQLITE_ROW) return Fail("reading record " + record_id);
  if (read.Text(0).empty()) return {"record " + record_id + " has no serial sent"};
  Statement update(db_, "UPDATE records SET serial_state = ? WHERE id = ?");
  update.Bind(1, std::string(SerialStateText(state)));
  update.Bind(2, record_id);
  if (update.Step() != SQLITE_DONE) return Fail("updating record " + record_id);
  if (state == SerialState::kVoid) {
    // The number stays taken: a void serial is never given again.
    Statement mark(db_, "UPDATE serials SET state = 'void' WHERE record_id = ?");
    mark.Bind(1, record_id);
    if (mark.Step() != SQLITE_DONE) return Fail("voiding the serial of " + record_id);
  }
  if (!transaction.Commit()) return Fail("saving record " + record_id);
  return {};
}

StoreStatus SqliteStore::MarkSerialUsed(const std::string& format, uint64_t number) {
  std::string error;
  const auto parsed = SerialFormat::Parse(format, &error);
  if (!parsed) return {error};
  if (number > parsed->MaxNumber())
    return {"serial FORMAT \"" + format + "\" has no number " + std::to_string(number)};
  Statement mark(db_,
                 "INSERT INTO serials (format, number, state) VALUES (?, ?, 'used') "
                 "ON CONFLICT(format, number) DO NOTHING");
  mark.Bind(1, format);
  mark.Bind(2, static_cast<int64_t>(number));
  if (mark.Step() != SQLITE_DONE) return Fail("marking a serial used");
  return {};
}

StoreStatus SqliteStore::FindBySentSerial(const std::string& serial,
                                          std::optional<RunRecord>* found) {
  found->reset();
  const std::string sql = "SELECT " + std::string(kRecordColumns) +
                          " FROM records WHERE serial_sent = ? AND serial_sent <> '' "
                          "ORDER BY started_utc_us DESC, rowid DESC LIMIT 1";
  Statement select(db_, sql.c_str());
  if (!select.ok()) return Fail("looking for serial " + serial);
  select.Bind(1, serial);
  const int rc = select.Step();
  if (rc == SQLITE_DONE) return {};
  if (rc != SQLITE_ROW) return Fail("looking for serial " + serial);
  *found = ReadRecord(select);
  if (!*found) return {"store " + where_ + ": the record of serial " + serial +
                       " holds a result or state this korvalen-fw does not know"};
  return {};
}

StoreStatus SqliteStore::History(const HistoryQuery& query, std::vector<RunRecord>* records) {
  records->clear();
  const std::string sql = "SELECT " + std::string(kRecordColumns) +
                          " FROM records WHERE started_utc_us >= ? ORDER BY started_utc_us, rowid";
  Statement select(db_, sql.c_str());
  if (!select.ok()) return Fail("reading records");
  select.Bind(1, query.since_utc_us.value_or(INT64_MIN));
  for (;;) {
    const int rc = select.Step();
    if (rc == SQLITE_DONE) return {};
    if (rc != SQLITE_ROW) {
      records->clear();
      return Fail("reading records");
    }
    auto record = ReadRecord(select);
    if (!record) {
      records->clear();
      return {"store " + where_ + ": record " + select.Text(0) +
              " holds a result or state this korvalen-fw does not know"};
    }
    records->push_back(std::move(*record));
  }
}

StoreStatus SqliteStore::Remove(const std::string& record_id) {
  Statement remove(db_, "DELETE FROM records WHERE id = ?");
  remove.Bind(1, record_id);
  if (remove.Step() != SQLITE_DONE) return Fail("removing record " + record_id);
  return {};
}

StoreStatus SqliteStore::HoldSerialState(const std::string& record_id, SerialState state) {
  Statement hold(db_, "INSERT INTO held_changes (record_id, state, format, number) VALUES (?, ?, '', 0)");
  hold.Bind(1, record_id);
  hold.Bind(2, std::string(SerialStateText(state)));
  if (hold.Step() != SQLITE_DONE) return Fail("holding a serial state of " + record_id);
  return {};
}

StoreStatus SqliteStore::HoldSerialUsed(const std::string& format, uint64_t number) {
  Statement hold(db_, "INSERT INTO held_changes (record_id, state, format, number) VALUES ('', '', ?, ?)");
  hold.Bind(1, format);
  hold.Bind(2, static_cast<int64_t>(number));
  if (hold.Step() != SQLITE_DONE) return Fail("holding a used serial");
  return {};
}

StoreStatus SqliteStore::HeldChanges(std::vector<HeldChange>* changes) {
  changes->clear();
  Statement select(db_, "SELECT seq, record_id, state, format, number FROM held_changes ORDER BY seq");
  for (;;) {
    const int rc = select.Step();
    if (rc == SQLITE_DONE) return {};
    if (rc != SQLITE_ROW) return Fail("reading held serial changes");
    HeldChange change;
    change.seq = select.Int(0);
    change.record_id = select.Text(1);
    change.state = SerialStateFromText(select.Text(2)).value_or(SerialState::kNone);
    change.format = select.Text(3);
    change.number = static_cast<uint64_t>(select.Int(4));
    changes->push_back(std::move(change));
  }
}

StoreStatus SqliteStore::DropHeldChange(int64_t seq) {
  Statement drop(db_, "DELETE FROM held_changes WHERE seq = ?");
  drop.Bind(1, seq);
  if (drop.Step() != SQLITE_DONE) return Fail("dropping a forwarded serial change");
  return {};
}

StoreStatus SqliteStore::Backlog(int64_t* count) {
  Statement select(db_, "SELECT (SELECT count(*) FROM records) + (SELECT count(*) FROM held_changes)");
  if (select.Step() != SQLITE_ROW) return Fail("counting its backlog");
  *count = select.Int(0);
  return {};
}

}  // namespace korvalen::station
