#include "station/MoveToLine.h"

#include "image/PathText.h"
#include "station/SqliteStore.h"
#if KORVALEN_HAVE_POSTGRES
#include "station/PostgresStore.h"
#endif

namespace korvalen::station {

StoreStatus MoveToLine(const std::string& sqlite_db, const std::string& line_db,
                       MoveReport* report) {
  if (IsPostgresTarget(sqlite_db)) return {"the store moved must be a station's SQLite file"};
  if (!IsPostgresTarget(line_db)) return {"the store moved to must be a postgresql:// database"};
#if KORVALEN_HAVE_POSTGRES
  std::string error;
  auto from = SqliteStore::Open(PathFromUtf8(sqlite_db), &error);
  if (!from) return {error};
  auto to = PostgresStore::Open(line_db, &error);
  if (!to) return {error};
  report->from = from->Where();
  report->to = to->Where();
  std::vector<RunRecord> records;
  if (StoreStatus status = from->History({}, &records); !status) return status;
  for (const RunRecord& record : records) {
    if (StoreStatus status = to->Add(record); !status) return status;
    ++report->records;
  }
  std::vector<SqliteStore::Counter> counters;
  std::vector<SqliteStore::KeptSerial> serials;
  if (StoreStatus status = from->Serials(&counters, &serials); !status) return status;
  if (StoreStatus status = to->TakeOverSerials(counters, serials, report->from, &report->clashes);
      !status)
    return status;
  report->counters = static_cast<int>(counters.size());
  report->serials = static_cast<int>(serials.size());
  return {};
#else
  (void)report;
  return {"this build of korvalen-fw has no PostgreSQL store"};
#endif
}

}  // namespace korvalen::station
