#include "station/SpoolStore.h"

#include <algorithm>
#include <set>

namespace korvalen::station {

std::unique_ptr<SpoolStore> SpoolStore::Open(std::unique_ptr<PostgresStore> line,
                                             const std::filesystem::path& spool,
                                             std::string* error) {
  std::string spool_error;
  auto file = SqliteStore::OpenExclusive(spool, &spool_error);
  if (!file) {
    *error = "the outage spool: " + spool_error;
    return nullptr;
  }
  std::unique_ptr<SpoolStore> store(new SpoolStore(std::move(line), std::move(file)));
  // What a station left behind goes first; the database may still be away.
  (void)store->Forward();
  return store;
}

std::string SpoolStore::Where() const {
  return line_->Where() + " (outage spool " + spool_->Where() + ")";
}

int64_t SpoolStore::Backlog() {
  int64_t count = 0;
  if (!spool_->Backlog(&count)) return -1;
  return count;
}

StoreStatus SpoolStore::Forward() {
  std::vector<RunRecord> records;
  if (StoreStatus status = spool_->History({}, &records); !status) return status;
  for (const RunRecord& record : records) {
    // Kept on the line first, then removed here: a crash between the two
    // forwards it again, and the line keeps it once.
    if (StoreStatus status = line_->Add(record); !status) return status;
    if (StoreStatus status = spool_->Remove(record.id); !status) return status;
  }
  std::vector<SqliteStore::HeldChange> changes;
  if (StoreStatus status = spool_->HeldChanges(&changes); !status) return status;
  for (const auto& change : changes) {
    const StoreStatus status = change.record_id.empty()
                                   ? line_->MarkSerialUsed(change.format, change.number)
                                   : line_->SetSerialState(change.record_id, change.state);
    // A change the line refuses while it is there would be refused
    // forever: it is dropped, not held back for good.
    if (!status && !line_->Reachable()) return status;
    if (StoreStatus dropped = spool_->DropHeldChange(change.seq); !dropped) return dropped;
  }
  return {};
}

template <typename Line, typename Hold>
StoreStatus SpoolStore::LineOrSpool(Line line, Hold hold) {
  // Older records go first, so the line sees runs in order where it can.
  if (Backlog() > 0) {
    // Still away: straight to the spool, without a second wait for it.
    if (StoreStatus forwarded = Forward(); !forwarded && !line_->Reachable()) {
      if (StoreStatus held = hold(); !held)
        return {forwarded.error + "; and the outage spool failed too: " + held.error};
      return {};
    }
  }
  StoreStatus status = line();
  if (status || line_->Reachable()) return status;
  if (StoreStatus held = hold(); !held)
    return {status.error + "; and the outage spool failed too: " + held.error};
  return {};
}

StoreStatus SpoolStore::Add(const RunRecord& record) {
  return LineOrSpool([&] { return line_->Add(record); }, [&] { return spool_->Add(record); });
}

StoreStatus SpoolStore::AddPassedWithSerial(RunRecord& record, const std::string& format,
                                            uint64_t start) {
  if (Backlog() > 0) (void)Forward();
  return line_->AddPassedWithSerial(record, format, start);
}

StoreStatus SpoolStore::SetSerialState(const std::string& record_id, SerialState state) {
  return LineOrSpool([&] { return line_->SetSerialState(record_id, state); },
                     [&] { return spool_->HoldSerialState(record_id, state); });
}

StoreStatus SpoolStore::MarkSerialUsed(const std::string& format, uint64_t number) {
  return LineOrSpool([&] { return line_->MarkSerialUsed(format, number); },
                     [&] { return spool_->HoldSerialUsed(format, number); });
}

StoreStatus SpoolStore::FindBySentSerial(const std::string& serial,
                                         std::optional<RunRecord>* found) {
  StoreStatus status = line_->FindBySentSerial(serial, found);
  if (status && found->has_value()) return status;
  // A serial sent before the outage is on the line; one found only in the
  // spool was kept there during it.
  std::optional<RunRecord> spooled;
  if (StoreStatus local = spool_->FindBySentSerial(serial, &spooled); local && spooled) {
    *found = std::move(spooled);
    return {};
  }
  return status;
}

StoreStatus SpoolStore::History(const HistoryQuery& query, std::vector<RunRecord>* records) {
  if (StoreStatus status = line_->History(query, records); !status) return status;
  std::vector<RunRecord> spooled;
  if (StoreStatus status = spool_->History(query, &spooled); !status) return status;
  std::set<std::string> ids;
  for (const RunRecord& record : *records) ids.insert(record.id);
  for (RunRecord& record : spooled)
    if (!ids.count(record.id)) records->push_back(std::move(record));
  std::stable_sort(records->begin(), records->end(), [](const RunRecord& a, const RunRecord& b) {
    return a.started_utc_us < b.started_utc_us;
  });
  return {};
}

}  // namespace korvalen::station
