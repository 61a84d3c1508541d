// The store in a line's PostgreSQL database, shared by every station of
// the line. Records are the SQLite store's; serial numbers come from
// leases: a station takes a block of numbers of a FORMAT at a time and
// gives them one by one, each use recorded in the same transaction as its
// unit's record. The serials table's key (FORMAT, number) is the last
// guard: a number kept twice is refused by the database itself.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "station/SqliteStore.h"
#include "station/Store.h"

struct pg_conn;

namespace korvalen::station {

class Sql;

inline constexpr int kPostgresSchemaVersion = 1;

struct PostgresOptions {
  // Numbers per lease; a new lease is taken when fewer than half remain.
  int lease_size = 20;
  // A lease unused for this long expires; its unused numbers become gaps.
  int64_t lease_seconds = 24 * 3600;
  // A server that does not answer at the open is no error: the store
  // connects (and migrates) when it first can. A server that answers and
  // refuses (a wrong password, no such database) is still an error.
  bool wait_for_server = false;
};

class PostgresStore final : public Store {
 public:
  // Connects to target (a postgresql:// URI or a libpq keyword string),
  // creating or migrating the schema under an advisory lock in one
  // transaction. nullptr with *error set when the database cannot be
  // reached, refuses the login, holds a newer schema, or target carries a
  // password (it belongs in PGPASSWORD or ~/.pgpass, not on a command line).
  static std::unique_ptr<PostgresStore> Open(const std::string& target, std::string* error,
                                             const PostgresOptions& options = {});
  // Hands back this store's unused leased numbers where nobody leased
  // after them; others stay until their lease expires.
  ~PostgresStore() override;

  StoreStatus Add(const RunRecord& record) override;
  StoreStatus AddPassedWithSerial(RunRecord& record, const std::string& format,
                                  uint64_t start) override;
  StoreStatus SetSerialState(const std::string& record_id, SerialState state) override;
  StoreStatus MarkSerialUsed(const std::string& format, uint64_t number) override;
  StoreStatus FindBySentSerial(const std::string& serial, std::optional<RunRecord>* found) override;
  StoreStatus History(const HistoryQuery& query, std::vector<RunRecord>* records) override;
  std::string Where() const override { return where_; }

  // Whether the last operation found the database there: an operation
  // that failed while it was reachable failed for another reason.
  bool Reachable() const;

  // Takes over a station store's serials in one transaction: each counter
  // moves up to next_number where it is lower, and every number taken,
  // used or void there is never given here. *clashes counts numbers this
  // database had already given to another unit.
  StoreStatus TakeOverSerials(const std::vector<SqliteStore::Counter>& counters,
                              const std::vector<SqliteStore::KeptSerial>& serials,
                              const std::string& from, int* clashes);

 private:
  PostgresStore(pg_conn* conn, std::string where, const PostgresOptions& options);
  StoreStatus Migrate();
  // Connected and migrated, connecting and migrating first when needed.
  StoreStatus Ready(const std::string& what);
  // Runs body in one transaction, once more on a fresh connection when the
  // first went away: every operation is safe to repeat (records by id).
  StoreStatus Transaction(const std::string& what, const std::function<StoreStatus(Sql&)>& body);

  pg_conn* conn_;
  std::string where_;
  PostgresOptions options_;
  bool migrated_ = false;
  bool needs_reset_ = false;  // the connection failed under an operation
  bool reachable_ = true;
  std::vector<std::pair<std::string, std::string>> leased_;  // (format, station) to hand back
};

}  // namespace korvalen::station
