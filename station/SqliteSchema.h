// The SQLite store's schema steps and its statement helpers, shared by the
// store's source files.
#pragma once

#include <sqlite3.h>

#include <optional>
#include <string>

#include "station/RecordColumns.h"
#include "station/RunRecord.h"
#include "station/SqliteStore.h"

namespace korvalen::station {

// Every schema step from version N-1 to N, in order (kSqliteSchemaVersion).
extern const char* const kSqliteMigrations[];

// One prepared statement, finalized when it goes.
class Statement {
 public:
  Statement(sqlite3* db, const char* sql) {
    rc_ = sqlite3_prepare_v2(db, sql, -1, &stmt_, nullptr);
  }
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

inline void BindRecord(Statement& insert, const RunRecord& r) {
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
inline std::optional<RunRecord> ReadRecord(const Statement& row) {
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

inline std::string Placeholders() {
  std::string marks = "?";
  for (int i = 1; i < kRecordColumnCount; ++i) marks += ", ?";
  return marks;
}
inline const std::string kInsertRecord = "INSERT INTO records (" + std::string(kRecordColumns) +
                                         ") VALUES (" + Placeholders() +
                                         ") ON CONFLICT(id) DO NOTHING";

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

}  // namespace korvalen::station
