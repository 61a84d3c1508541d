#include "station/SqliteStore.h"

#include <sqlite3.h>

#include <chrono>
#include <system_error>
#include <thread>

#include "image/PathText.h"
#include "station/SerialFormat.h"
#include "station/SqliteSchema.h"

namespace korvalen::station {
namespace {

// How long a writer waits for another process's transaction to end before
// it reports the file busy. A station records a unit in milliseconds, so
// this is only reached when something holds the file far too long.
constexpr int kBusyTimeoutMs = 15000;

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
  const int rc =
      sqlite3_open_v2(reinterpret_cast<const char*>(name.c_str()), &db,
                      SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX, nullptr);
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
  if (StoreStatus status = store->EnterWal(exclusive); !status) {
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
    message +=
        " (another program has held the store for " + std::to_string(kBusyTimeoutMs / 1000) + " s)";
  return {message};
}

StoreStatus SqliteStore::EnterWal(bool exclusive) {
  // Switching a new file to WAL needs the file to itself for a moment, and
  // SQLite answers "busy" at once instead of waiting: two stations
  // starting together on a new file take turns here, within the timeout.
  constexpr auto kPause = std::chrono::milliseconds(10);
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(kBusyTimeoutMs);
  for (;;) {
    const int rc = sqlite3_exec(db_, "PRAGMA journal_mode=WAL", nullptr, nullptr, nullptr);
    if (rc == SQLITE_OK) return {};
    if ((rc & 0xFF) != SQLITE_BUSY || exclusive || std::chrono::steady_clock::now() >= deadline)
      return Fail("switching to WAL");
    std::this_thread::sleep_for(kPause);
  }
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
      return {"store " + where_ +
              " is an SQLite file of another program (it has tables but no "
              "station schema); name a new file"};
    if (StoreStatus status = Exec("CREATE TABLE schema_version (version INTEGER NOT NULL)");
        !status)
      return status;
    if (StoreStatus status = Exec("INSERT INTO schema_version VALUES (0)"); !status) return status;
  }
  for (int step = version; step < kSqliteSchemaVersion; ++step) {
    if (StoreStatus status = Exec(kSqliteMigrations[step]); !status) return status;
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
      return {"serial FORMAT \"" + format +
              "\" is used up: its counter has no number left "
              "after " +
              std::to_string(parsed->MaxNumber())};
    Statement probe(db_, "SELECT 1 FROM serials WHERE format = ? AND number = ?");
    probe.Bind(1, format);
    probe.Bind(2, static_cast<int64_t>(number));
    const int rc = probe.Step();
    if (rc == SQLITE_DONE) break;
    if (rc != SQLITE_ROW) return Fail("reading the serials taken");
    ++number;
  }
  const auto serial = parsed->Expand(number, Today());
  if (!serial)
    return {"serial FORMAT \"" + format + "\" cannot hold number " + std::to_string(number)};

  Statement use(db_,
                "INSERT INTO serials (format, number, state, record_id) VALUES (?, ?, 'taken', ?)");
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
  if (!*found)
    return {"store " + where_ + ": the record of serial " + serial +
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

}  // namespace korvalen::station
