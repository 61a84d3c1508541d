// The store in one SQLite file: the embedded default, one file per station
// PC. The file is opened in WAL mode with a busy timeout, so several
// station processes on one file each wait their turn to write and none of
// their records is lost; serial numbers are taken inside a write
// transaction, so no two processes are ever given the same one.
#pragma once

#include <filesystem>
#include <memory>
#include <string>

#include "station/Store.h"

struct sqlite3;

namespace korvalen::station {

// The schema this build writes. A file holding a newer one is refused.
inline constexpr int kSqliteSchemaVersion = 2;

class SqliteStore final : public Store {
 public:
  // Opens path, creating the file and its schema, or migrating an older
  // schema in one transaction. The folder must exist. nullptr with *error
  // set when the file cannot be opened for writing, is no store (a folder,
  // a corrupt or foreign file) or holds a newer schema.
  static std::unique_ptr<SqliteStore> Open(const std::filesystem::path& path, std::string* error);
  // The same, kept locked to this process until the store is closed (a
  // spool): another process's open is refused at once.
  static std::unique_ptr<SqliteStore> OpenExclusive(const std::filesystem::path& path,
                                                    std::string* error);
  ~SqliteStore() override;

  StoreStatus Add(const RunRecord& record) override;
  StoreStatus AddPassedWithSerial(RunRecord& record, const std::string& format,
                                  uint64_t start) override;
  StoreStatus SetSerialState(const std::string& record_id, SerialState state) override;
  StoreStatus MarkSerialUsed(const std::string& format, uint64_t number) override;
  StoreStatus FindBySentSerial(const std::string& serial, std::optional<RunRecord>* found) override;
  StoreStatus History(const HistoryQuery& query, std::vector<RunRecord>* records) override;
  std::string Where() const override;

  // What a spool needs beside the records: removing a forwarded record,
  // and serial changes kept until they can be forwarded, in the order made.
  StoreStatus Remove(const std::string& record_id);
  struct HeldChange {
    int64_t seq = 0;
    std::string record_id;  // a state change: record_id and state
    SerialState state = SerialState::kNone;
    std::string format;  // else a serial a unit carries: format and number
    uint64_t number = 0;
  };
  StoreStatus HoldSerialState(const std::string& record_id, SerialState state);
  StoreStatus HoldSerialUsed(const std::string& format, uint64_t number);
  StoreStatus HeldChanges(std::vector<HeldChange>* changes);
  StoreStatus DropHeldChange(int64_t seq);
  // Records plus held changes.
  StoreStatus Backlog(int64_t* count);

  // The serial counters and every number taken, used or void, for moving
  // a station's store to a line's database.
  struct Counter {
    std::string format;
    uint64_t next_number = 0;
  };
  struct KeptSerial {
    std::string format;
    uint64_t number = 0;
    std::string state;  // taken, used or void
    std::string record_id;
  };
  StoreStatus Serials(std::vector<Counter>* counters, std::vector<KeptSerial>* serials);

 private:
  static std::unique_ptr<SqliteStore> OpenWith(const std::filesystem::path& path, bool exclusive,
                                               std::string* error);
  SqliteStore(sqlite3* db, std::string where) : db_(db), where_(std::move(where)) {}
  StoreStatus Fail(const std::string& what) const;
  StoreStatus Exec(const char* sql);
  StoreStatus EnterWal(bool exclusive);
  StoreStatus Migrate();

  sqlite3* db_;
  std::string where_;
};

// Where a station keeps its store when --db names none:
// $XDG_DATA_HOME/korvalen/station.sqlite (~/.local/share/... without it),
// %LOCALAPPDATA%\KORVALEN\station.sqlite on Windows. Empty when the system
// names no home folder.
std::filesystem::path DefaultStorePath();

// A station's outage spool when none is named: spool-STATION.sqlite beside
// the default store. Bytes of STATION other than letters, digits, '-', '_'
// and '.' become '_', so a name never leads out of the folder. Empty when
// the system names no home folder.
std::filesystem::path DefaultSpoolPath(const std::string& station);

// Whether db names a PostgreSQL database (a postgresql:// URI or a libpq
// keyword string such as "host=line dbname=korvalen") rather than a file.
bool IsPostgresTarget(const std::string& db);

}  // namespace korvalen::station
