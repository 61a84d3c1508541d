// Where a station's records and serial counters live: one interface, an
// SQLite file on one PC or a PostgreSQL database shared by a line. Every
// operation either completes or leaves the store as it was; serial numbers
// are handed out by the store, atomically across every process sharing it.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "station/RunRecord.h"

namespace korvalen::station {

// An operation's outcome: empty message means done.
struct [[nodiscard]] StoreStatus {
  std::string error;
  explicit operator bool() const { return error.empty(); }
};

struct HistoryQuery {
  std::optional<int64_t> since_utc_us;  // records that started at or after
};

class Store {
 public:
  virtual ~Store() = default;

  // Keeps one record. A record whose id is already kept is left as it is
  // (a record forwarded twice is counted once).
  virtual StoreStatus Add(const RunRecord& record) = 0;

  // Keeps a passed unit's record and takes the next unused serial of
  // format for it in the same transaction; the serial goes into
  // record.serial_sent with state kPending. start is the counter's first
  // number when the store has none for this format yet.
  virtual StoreStatus AddPassedWithSerial(RunRecord& record, const std::string& format,
                                          uint64_t start) = 0;

  // Moves a kept record's serial to delivered, void or verified.
  virtual StoreStatus SetSerialState(const std::string& record_id, SerialState state) = 0;

  // A serial a unit already carries that matches format: counted as used,
  // so the counter never hands it out.
  virtual StoreStatus MarkSerialUsed(const std::string& format, uint64_t number) = 0;

  // The newest record whose sent serial is serial; nullopt when none.
  virtual StoreStatus FindBySentSerial(const std::string& serial,
                                       std::optional<RunRecord>* found) = 0;

  virtual StoreStatus History(const HistoryQuery& query, std::vector<RunRecord>* records) = 0;

  // Where the store is, for messages: a file path, or the database without
  // its password.
  virtual std::string Where() const = 0;
};

// Opens (creating or migrating when needed) the store db names: a
// postgresql:// URI or a libpq keyword string for PostgreSQL, else an SQLite
// file path. nullptr with *error set when it cannot be opened for writing.
std::unique_ptr<Store> OpenStore(const std::string& db, std::string* error);

}  // namespace korvalen::station
