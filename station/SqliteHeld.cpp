#include "station/SqliteSchema.h"

// What an outage spool keeps beside its records.
namespace korvalen::station {

StoreStatus SqliteStore::Remove(const std::string& record_id) {
  Statement remove(db_, "DELETE FROM records WHERE id = ?");
  remove.Bind(1, record_id);
  if (remove.Step() != SQLITE_DONE) return Fail("removing record " + record_id);
  return {};
}

StoreStatus SqliteStore::HoldSerialState(const std::string& record_id, SerialState state) {
  Statement hold(
      db_, "INSERT INTO held_changes (record_id, state, format, number) VALUES (?, ?, '', 0)");
  hold.Bind(1, record_id);
  hold.Bind(2, std::string(SerialStateText(state)));
  if (hold.Step() != SQLITE_DONE) return Fail("holding a serial state of " + record_id);
  return {};
}

StoreStatus SqliteStore::HoldSerialUsed(const std::string& format, uint64_t number) {
  Statement hold(
      db_, "INSERT INTO held_changes (record_id, state, format, number) VALUES ('', '', ?, ?)");
  hold.Bind(1, format);
  hold.Bind(2, static_cast<int64_t>(number));
  if (hold.Step() != SQLITE_DONE) return Fail("holding a used serial");
  return {};
}

StoreStatus SqliteStore::HeldChanges(std::vector<HeldChange>* changes) {
  changes->clear();
  Statement select(db_,
                   "SELECT seq, record_id, state, format, number FROM held_changes ORDER BY seq");
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
  Statement select(db_,
                   "SELECT (SELECT count(*) FROM records) + (SELECT count(*) FROM held_changes)");
  if (select.Step() != SQLITE_ROW) return Fail("counting its backlog");
  *count = select.Int(0);
  return {};
}

StoreStatus SqliteStore::Serials(std::vector<Counter>* counters, std::vector<KeptSerial>* serials) {
  counters->clear();
  serials->clear();
  Statement counter(db_, "SELECT format, next_number FROM serial_counters ORDER BY format");
  for (int rc; (rc = counter.Step()) != SQLITE_DONE;) {
    if (rc != SQLITE_ROW) return Fail("reading the serial counters");
    counters->push_back({counter.Text(0), static_cast<uint64_t>(counter.Int(1))});
  }
  Statement kept(db_,
                 "SELECT format, number, state, coalesce(record_id, '') FROM serials "
                 "ORDER BY format, number");
  for (int rc; (rc = kept.Step()) != SQLITE_DONE;) {
    if (rc != SQLITE_ROW) return Fail("reading the serials kept");
    serials->push_back(
        {kept.Text(0), static_cast<uint64_t>(kept.Int(1)), kept.Text(2), kept.Text(3)});
  }
  return {};
}

}  // namespace korvalen::station
