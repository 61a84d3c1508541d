// A line's store with an outage spool. While the line's database cannot
// be reached, records and serial changes go into a local SQLite file (the
// spool, locked to one process) and are forwarded, oldest first, when it
// is back; a record forwarded twice is kept once, by its id. A spool left
// by a station that ended during an outage is forwarded by the next one
// to open it.
//
// Serials are not given during an outage: AddPassedWithSerial fails with
// the database's message and the station holds the unit back.
#pragma once

#include <filesystem>
#include <memory>

#include "station/PostgresStore.h"
#include "station/SqliteStore.h"

namespace korvalen::station {

class SpoolStore final : public Store {
 public:
  // line may be waiting for its server (PostgresOptions::wait_for_server).
  // nullptr with *error set when the spool cannot be opened or another
  // process has it.
  static std::unique_ptr<SpoolStore> Open(std::unique_ptr<PostgresStore> line,
                                          const std::filesystem::path& spool, std::string* error);

  // Forwards what the spool holds; an error (the database still away)
  // leaves the rest for the next time.
  StoreStatus Forward();
  // Records and serial changes waiting in the spool.
  int64_t Backlog();

  StoreStatus Add(const RunRecord& record) override;
  StoreStatus AddPassedWithSerial(RunRecord& record, const std::string& format,
                                  uint64_t start) override;
  StoreStatus SetSerialState(const std::string& record_id, SerialState state) override;
  StoreStatus MarkSerialUsed(const std::string& format, uint64_t number) override;
  StoreStatus FindBySentSerial(const std::string& serial, std::optional<RunRecord>* found) override;
  StoreStatus History(const HistoryQuery& query, std::vector<RunRecord>* records) override;
  std::string Where() const override;

 private:
  SpoolStore(std::unique_ptr<PostgresStore> line, std::unique_ptr<SqliteStore> spool)
      : line_(std::move(line)), spool_(std::move(spool)) {}
  // Runs an operation on the line; when the database is away, hold runs
  // instead on the spool.
  template <typename Line, typename Hold>
  StoreStatus LineOrSpool(Line line, Hold hold);

  std::unique_ptr<PostgresStore> line_;
  std::unique_ptr<SqliteStore> spool_;
};

}  // namespace korvalen::station
