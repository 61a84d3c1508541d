#include <libpq-fe.h>

#include <algorithm>

#include "station/PostgresSchema.h"
#include "station/PostgresStore.h"
#include "station/SerialFormat.h"

// Serial numbers on a line's database: leases per FORMAT and station.
namespace korvalen::station {

StoreStatus PostgresStore::AddPassedWithSerial(RunRecord& record, const std::string& format,
                                               uint64_t start) {
  std::string error;
  const auto parsed = SerialFormat::Parse(format, &error);
  if (!parsed) return {error};
  const std::string max = std::to_string(parsed->MaxNumber());
  const std::string station = record.station;
  const std::string lease_seconds = std::to_string(options_.lease_seconds);
  const int64_t lease_size = options_.lease_size;
  RunRecord kept;
  StoreStatus status = Transaction("keeping record " + record.id, [&](Sql& sql) -> StoreStatus {
    kept = record;
    SqlResult rows;
    // The same record kept again keeps the serial it has, and takes none.
    if (!sql.Run("reading the record",
                 "SELECT serial_sent, serial_state FROM records WHERE id = $1", {record.id}, &rows))
      return {sql.error()};
    if (rows.rows() > 0) {
      kept.serial_sent = rows.Text(0, 0);
      kept.serial_format = format;
      kept.serial_state = SerialStateFromText(rows.Text(0, 1)).value_or(SerialState::kPending);
      return {};
    }

    // A new lease of lease_size numbers from the counter. Other stations'
    // expired leases are closed first, their unused numbers kept as gaps.
    // Leases locked by a station at work are skipped, never waited for: a
    // station locks its lease before the counter, this the other way.
    auto take_lease = [&]() -> StoreStatus {
      if (!sql.Run("making the serial counter",
                   "INSERT INTO serial_counters (format, next_number) VALUES ($1, $2) "
                   "ON CONFLICT (format) DO NOTHING",
                   {format, std::to_string(start)}) ||
          !sql.Run("locking the serial counter",
                   "SELECT next_number FROM serial_counters WHERE format = $1 FOR UPDATE", {format},
                   &rows))
        return {sql.error()};
      const int64_t first = rows.Int(0, 0);
      SqlResult expired;
      if (!sql.Run("finding expired leases",
                   "SELECT id, next_number, last_number, station FROM serial_leases "
                   "WHERE format = $1 AND state = 'active' AND expires_at <= now() "
                   "FOR UPDATE SKIP LOCKED",
                   {format}, &expired))
        return {sql.error()};
      for (int i = 0; i < expired.rows(); ++i) {
        if (!RecordGaps(sql, format, expired.Int(i, 1), expired.Int(i, 2), expired.Text(i, 3)) ||
            !sql.Run("closing an expired lease",
                     "UPDATE serial_leases SET state = 'expired' WHERE id = $1",
                     {expired.Text(i, 0)}))
          return {sql.error()};
      }
      if (first > static_cast<int64_t>(parsed->MaxNumber()))
        return {"serial FORMAT \"" + format +
                "\" is used up: its counter has no number left "
                "after " +
                max};
      const int64_t last =
          std::min<int64_t>(first + lease_size - 1, static_cast<int64_t>(parsed->MaxNumber()));
      if (!sql.Run("advancing the serial counter",
                   "UPDATE serial_counters SET next_number = $2 WHERE format = $1",
                   {format, std::to_string(last + 1)}) ||
          !sql.Run("taking a serial lease",
                   "INSERT INTO serial_leases (format, station, first_number, last_number, "
                   "next_number, expires_at) VALUES ($1, $2, $3, $4, $3, "
                   "now() + make_interval(secs => $5::bigint))",
                   {format, station, std::to_string(first), std::to_string(last), lease_seconds}))
        return {sql.error()};
      return {};
    };

    std::optional<int64_t> number;
    for (int round = 0; !number; ++round) {
      SqlResult leases;
      if (!sql.Run("locking this station's leases",
                   "SELECT id, next_number, last_number, expires_at <= now() FROM serial_leases "
                   "WHERE format = $1 AND station = $2 AND state = 'active' "
                   "ORDER BY first_number FOR UPDATE",
                   {format, station}, &leases))
        return {sql.error()};
      for (int i = 0; i < leases.rows() && !number; ++i) {
        const std::string id = leases.Text(i, 0);
        const int64_t last = leases.Int(i, 2);
        if (leases.Text(i, 3) == "t") {
          // Expired while this station held it: its numbers are gaps now.
          if (!RecordGaps(sql, format, leases.Int(i, 1), last, station) ||
              !sql.Run("closing an expired lease",
                       "UPDATE serial_leases SET state = 'expired' WHERE id = $1", {id}))
            return {sql.error()};
          continue;
        }
        // The lease's first number no unit carries yet and none voided.
        SqlResult free;
        if (!sql.Run("finding a free serial",
                     "SELECT min(n) FROM generate_series($2::bigint, $3::bigint) AS n "
                     "WHERE NOT EXISTS (SELECT 1 FROM serials WHERE format = $1 AND number = n)",
                     {format, leases.Text(i, 1), std::to_string(last)}, &free))
          return {sql.error()};
        const bool found = !free.IsNull(0, 0);
        if (found) number = free.Int(0, 0);
        const int64_t next = found ? *number + 1 : last + 1;
        if (!sql.Run("using the lease",
                     "UPDATE serial_leases SET next_number = $2, "
                     "state = CASE WHEN $2 > last_number THEN 'used' ELSE 'active' END, "
                     "expires_at = now() + make_interval(secs => $3::bigint) WHERE id = $1",
                     {id, std::to_string(next), lease_seconds}))
          return {sql.error()};
      }
      if (number) break;
      if (round > 1000) return {"no free serial of \"" + format + "\" found in 1000 leases"};
      if (StoreStatus taken = take_lease(); !taken) return taken;
    }

    const auto serial = parsed->Expand(static_cast<uint64_t>(*number), Today());
    if (!serial) return {"serial FORMAT \"" + format + "\" cannot hold " + std::to_string(*number)};
    if (!sql.Run("taking serial " + *serial,
                 "INSERT INTO serials (format, number, state, record_id, station) "
                 "VALUES ($1, $2, 'taken', $3, $4)",
                 {format, std::to_string(*number), record.id, station}))
      return {sql.error()};
    kept.serial_sent = *serial;
    kept.serial_format = format;
    kept.serial_state = SerialState::kPending;
    if (!sql.Run("keeping the record", kPostgresInsertRecord, RecordParams(kept)))
      return {sql.error()};

    // Renewed early, so a station has numbers in hand when the database
    // is slow or away for a while.
    if (!sql.Run("counting the numbers leased",
                 "SELECT coalesce(sum(last_number - next_number + 1), 0) FROM serial_leases "
                 "WHERE format = $1 AND station = $2 AND state = 'active'",
                 {format, station}, &rows))
      return {sql.error()};
    if (rows.Int(0, 0) * 2 < lease_size) {
      if (StoreStatus renewed = take_lease(); !renewed) {
        // A used-up counter stops the next unit, not this one.
        if (renewed.error.find("is used up") == std::string::npos) return renewed;
      }
    }
    return {};
  });
  if (!status) return status;
  const auto key = std::make_pair(format, station);
  if (std::find(leased_.begin(), leased_.end(), key) == leased_.end()) leased_.push_back(key);
  record = std::move(kept);
  return {};
}

StoreStatus PostgresStore::TakeOverSerials(const std::vector<SqliteStore::Counter>& counters,
                                           const std::vector<SqliteStore::KeptSerial>& serials,
                                           const std::string& from, int* clashes) {
  return Transaction("taking over the serials of " + from, [&](Sql& sql) -> StoreStatus {
    *clashes = 0;
    for (const auto& counter : counters) {
      if (!sql.Run("moving a serial counter",
                   "INSERT INTO serial_counters (format, next_number) VALUES ($1, $2) "
                   "ON CONFLICT (format) DO UPDATE SET next_number = "
                   "greatest(serial_counters.next_number, excluded.next_number)",
                   {counter.format, std::to_string(counter.next_number)}))
        return {sql.error()};
    }
    SqlResult rows;
    for (const auto& serial : serials) {
      // A clash is a number both stores gave, each to a unit of its own; a
      // number moved again, or one a unit carried, is none.
      if (!sql.Run(
              "keeping a serial",
              "WITH kept AS (INSERT INTO serials (format, number, state, record_id, station) "
              "VALUES ($1, $2, $3, nullif($4, ''), $5) ON CONFLICT (format, number) DO NOTHING "
              "RETURNING 1) SELECT (SELECT count(*) FROM kept) + (SELECT count(*) FROM "
              "serials WHERE format = $1 AND number = $2 AND (record_id IS NULL OR $4 = '' "
              "OR record_id = $4))",
              {serial.format, std::to_string(serial.number), serial.state, serial.record_id, from},
              &rows))
        return {sql.error()};
      if (rows.Int(0, 0) == 0) ++*clashes;
    }
    return {};
  });
}

PostgresStore::~PostgresStore() {
  // Hand back what nobody leased after: the counter goes back to the
  // lease's next number. A lease others leased after stays until it
  // expires, so numbers are never given twice.
  for (const auto& [format, station] : leased_) {
    (void)Transaction("handing back leased serials", [&](Sql& sql) -> StoreStatus {
      SqlResult leases;
      if (!sql.Run("locking this station's leases",
                   "SELECT id, next_number, last_number FROM serial_leases "
                   "WHERE format = $1 AND station = $2 AND state = 'active' "
                   "ORDER BY first_number DESC FOR UPDATE",
                   {format, station}, &leases))
        return {sql.error()};
      SqlResult counter;
      if (!sql.Run("locking the serial counter",
                   "SELECT next_number FROM serial_counters WHERE format = $1 FOR UPDATE", {format},
                   &counter))
        return {sql.error()};
      if (counter.rows() == 0) return {};
      int64_t next = counter.Int(0, 0);
      for (int i = 0; i < leases.rows(); ++i) {
        if (leases.Int(i, 2) + 1 != next) break;  // someone leased after it
        next = leases.Int(i, 1);
        if (!sql.Run("handing back a lease",
                     "UPDATE serial_leases SET state = 'returned', last_number = next_number - 1 "
                     "WHERE id = $1",
                     {leases.Text(i, 0)}))
          return {sql.error()};
      }
      if (!sql.Run("moving the counter back",
                   "UPDATE serial_counters SET next_number = $2 WHERE format = $1",
                   {format, std::to_string(next)}))
        return {sql.error()};
      return {};
    });
  }
  PQfinish(conn_);
}

}  // namespace korvalen::station
