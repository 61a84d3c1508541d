#include "station/PostgresStore.h"

#include <gtest/gtest.h>

#include <barrier>
#include <chrono>
#include <set>
#include <thread>

#include "tests/station/StoreTestSupport.h"
#include "tests/station/pg/PgServer.h"

namespace korvalen::station {
namespace {

using testing::PassedRecord;
using testing::PgServer;
using testing::SameRecord;
using testing::SampleRecord;

std::unique_ptr<PostgresStore> MustOpen(const std::string& uri, PostgresOptions options = {}) {
  std::string error;
  auto store = PostgresStore::Open(uri, &error, options);
  EXPECT_NE(store, nullptr) << error;
  return store;
}

std::string Serial(PostgresStore& store, const std::string& station, const std::string& format) {
  RunRecord record = PassedRecord();
  record.station = station;
  const StoreStatus status = store.AddPassedWithSerial(record, format, 1);
  EXPECT_TRUE(status) << status.error;
  return record.serial_sent;
}

TEST(PostgresStore, KeepsRecordsOnceAndFindsThemBySerial) {
  KORVALEN_NEEDS_PG();
  const std::string uri = PgServer::Get().NewDatabase();
  std::string error;
  // The keyword form reaches the same database.
  const std::string keywords =
      "host=" + PgServer::Get().folder() + " port=55432 user=postgres " +
      "dbname=" + uri.substr(uri.find("@/") + 2, uri.find('?') - uri.find("@/") - 2);
  auto store = OpenStore(keywords, &error);
  ASSERT_NE(store, nullptr) << error;
  EXPECT_EQ(store->Where().find("password"), std::string::npos);

  RunRecord failed = SampleRecord(2'000);
  RunRecord passed = PassedRecord(1'000);
  passed.jedec_id.reset();
  ASSERT_TRUE(store->Add(failed));
  RunRecord again = failed;
  again.reason = "forwarded twice";
  ASSERT_TRUE(store->Add(again));
  ASSERT_TRUE(store->AddPassedWithSerial(passed, "KV-{seq:4}", 40));
  EXPECT_EQ(passed.serial_sent, "KV-0040");
  RunRecord retried = passed;
  retried.serial_sent.clear();
  ASSERT_TRUE(store->AddPassedWithSerial(retried, "KV-{seq:4}", 40));
  EXPECT_EQ(retried.serial_sent, "KV-0040");  // a retry takes no second serial

  std::vector<RunRecord> records;
  ASSERT_TRUE(store->History({}, &records));
  ASSERT_EQ(records.size(), 2u);
  EXPECT_TRUE(SameRecord(records[0], passed));
  EXPECT_TRUE(SameRecord(records[1], failed));
  ASSERT_TRUE(store->History({1'500}, &records));
  EXPECT_EQ(records.size(), 1u);

  ASSERT_TRUE(store->SetSerialState(passed.id, SerialState::kVoid));
  std::optional<RunRecord> found;
  ASSERT_TRUE(store->FindBySentSerial("KV-0040", &found));
  ASSERT_TRUE(found.has_value());
  EXPECT_EQ(found->serial_state, SerialState::kVoid);
  ASSERT_TRUE(store->MarkSerialUsed("KV-{seq:4}", 42));
  EXPECT_FALSE(store->SetSerialState("nosuch", SerialState::kDelivered));
  // Number 41 is in this station's lease; 40 void, 42 carried by a unit.
  EXPECT_EQ(Serial(static_cast<PostgresStore&>(*store), passed.station, "KV-{seq:4}"), "KV-0041");
  EXPECT_EQ(Serial(static_cast<PostgresStore&>(*store), passed.station, "KV-{seq:4}"), "KV-0043");
  EXPECT_EQ(PgServer::Run(uri, "SELECT count(*) FROM unit_history WHERE serial = 'KV-0040'"), "1");
}

// Four stations start on a fresh database at once: one migrates, the
// others wait and find it done; each gives 25 serials from small leases
// and no number is given twice.
TEST(PostgresStore, FourStationsAtOnceMigrateOnceAndNeverShareASerial) {
  KORVALEN_NEEDS_PG();
  const std::string uri = PgServer::Get().NewDatabase();
  constexpr int kStations = 4;
  constexpr int kUnits = 25;
  std::barrier start(kStations);
  std::vector<std::string> errors(kStations);
  std::vector<std::thread> stations;
  for (int s = 0; s < kStations; ++s) {
    stations.emplace_back([&, s] {
      start.arrive_and_wait();
      std::string error;
      auto store = PostgresStore::Open(uri, &error, {.lease_size = 4});
      if (!store) {
        errors[s] = error;
        return;
      }
      for (int u = 0; u < kUnits && errors[s].empty(); ++u) {
        RunRecord record = PassedRecord(u);
        record.station = "station-" + std::to_string(s);
        if (StoreStatus status = store->AddPassedWithSerial(record, "L{seq:5}", 1); !status)
          errors[s] = status.error;
      }
    });
  }
  for (auto& thread : stations) thread.join();
  for (const auto& error : errors) EXPECT_EQ(error, "");
  EXPECT_EQ(PgServer::Run(uri, "SELECT count(*) || '/' || max(version) FROM schema_version"),
            "1/1");
  EXPECT_EQ(
      PgServer::Run(uri, "SELECT count(DISTINCT serial_sent) || '/' || count(*) FROM records"),
      "100/100");
}

TEST(PostgresStore, LeasesRenewEarlyExpireIntoGapsAndGoBackWhenUnused) {
  KORVALEN_NEEDS_PG();
  const std::string uri = PgServer::Get().NewDatabase();
  const std::string format = "S{seq:4}";
  {
    auto a = MustOpen(uri, {.lease_size = 10});
    auto b = MustOpen(uri, {.lease_size = 10});
    EXPECT_EQ(Serial(*a, "A", format), "S0001");
    EXPECT_EQ(Serial(*a, "A", format), "S0002");
    EXPECT_EQ(Serial(*b, "B", format), "S0011");  // A holds 1-10
    // A's lease passes its time unused: whoever leases next closes it.
    PgServer::Run(uri,
                  "UPDATE serial_leases SET expires_at = now() - interval '1 s' "
                  "WHERE station = 'A'");
    auto c = MustOpen(uri, {.lease_size = 10});
    EXPECT_EQ(Serial(*c, "C", format), "S0021");
    EXPECT_EQ(PgServer::Run(uri,
                            "SELECT string_agg(number::text, ',' ORDER BY number) FROM "
                            "serials WHERE state = 'gap'"),
              "3,4,5,6,7,8,9,10");
    EXPECT_EQ(Serial(*a, "A", format), "S0031");  // never one of its expired numbers

    // Fewer than half left: the next lease is taken with the unit that
    // left them, before it is needed.
    for (int i = 0; i < 5; ++i) Serial(*b, "B", format);  // 12-16: 4 left of 10
    EXPECT_EQ(PgServer::Run(uri,
                            "SELECT count(*) FROM serial_leases WHERE station = 'B' "
                            "AND state = 'active'"),
              "2");
  }
  // Closed stores hand back an unused tail only where nobody leased after
  // it: C (21-30) cannot; B hands back 41-50, then A its 32-40; B's 17-20
  // and C's 23-30 stay theirs until they expire.
  EXPECT_EQ(PgServer::Run(uri, "SELECT next_number FROM serial_counters"), "32");
  auto d = MustOpen(uri, {.lease_size = 10});
  EXPECT_EQ(Serial(*d, "D", format), "S0032");
  EXPECT_EQ(PgServer::Run(uri, "SELECT count(*) - count(DISTINCT serial_sent) FROM records"), "0");
}

// Another station marks a number used while this one is inserting it:
// this one waits for that transaction, finds the number taken, and gives
// the next one instead of failing the unit.
TEST(PostgresStore, ANumberMarkedUsedMeanwhileIsSkippedNotAnError) {
  KORVALEN_NEEDS_PG();
  const std::string uri = PgServer::Get().NewDatabase();
  auto store = MustOpen(uri);
  EXPECT_EQ(Serial(*store, "A", "U{seq:2}"), "U01");
  PGconn* other = PQconnectdb(uri.c_str());
  ASSERT_EQ(PQstatus(other), CONNECTION_OK);
  PQclear(PQexec(
      other, "BEGIN; INSERT INTO serials (format, number, state) VALUES ('U{seq:2}', 2, 'used')"));
  std::string given;
  std::thread unit([&] { given = Serial(*store, "A", "U{seq:2}"); });
  // Until the unit's insert waits on the uncommitted number.
  const std::string waiting =
      "SELECT count(*) FROM pg_stat_activity WHERE application_name = 'korvalen-fw' "
      "AND wait_event_type = 'Lock'";
  for (int i = 0; i < 500 && PgServer::Run(uri, waiting) != "1"; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  PQclear(PQexec(other, "COMMIT"));
  unit.join();
  PQfinish(other);
  EXPECT_EQ(given, "U03");
}

TEST(PostgresStore, RefusesNewerSchemasPasswordsAndUnreachableServers) {
  KORVALEN_NEEDS_PG();
  const std::string uri = PgServer::Get().NewDatabase();
  MustOpen(uri);
  PgServer::Run(uri, "UPDATE schema_version SET version = 5");
  std::string error;
  EXPECT_EQ(PostgresStore::Open(uri, &error), nullptr);
  EXPECT_NE(error.find("schema version 5"), std::string::npos) << error;

  const std::string with_password = "postgresql://postgres:s3cret-Pw@/x?host=/nonexistent";
  EXPECT_EQ(OpenStore(with_password, &error), nullptr);
  EXPECT_NE(error.find("PGPASSWORD"), std::string::npos) << error;
  EXPECT_EQ(error.find("s3cret-Pw"), std::string::npos) << error;

  EXPECT_EQ(OpenStore("postgresql://postgres@/x?host=/nonexistent-korvalen&port=55432", &error),
            nullptr);
  EXPECT_NE(error.find("cannot be reached"), std::string::npos) << error;
  EXPECT_EQ(OpenStore("host=/tmp bogus_option=1", &error), nullptr);
  EXPECT_NE(error.find("bogus_option"), std::string::npos) << error;
}

TEST(PostgresStore, ADroppedConnectionIsReopenedAndNothingIsKeptTwice) {
  KORVALEN_NEEDS_PG();
  const std::string uri = PgServer::Get().NewDatabase();
  auto store = MustOpen(uri);
  RunRecord first = PassedRecord();
  ASSERT_TRUE(store->AddPassedWithSerial(first, "D{seq:3}", 1));
  const std::string db = uri.substr(uri.find("@/") + 2, uri.find('?') - uri.find("@/") - 2);
  EXPECT_EQ(PgServer::Run(PgServer::Get().uri(),
                          "SELECT count(pg_terminate_backend(pid)) FROM pg_stat_activity "
                          "WHERE application_name = 'korvalen-fw' AND datname = '" +
                              db + "'"),
            "1");
  RunRecord second = PassedRecord();
  const StoreStatus status = store->AddPassedWithSerial(second, "D{seq:3}", 1);
  ASSERT_TRUE(status) << status.error;
  EXPECT_EQ(second.serial_sent, "D002");
  ASSERT_TRUE(store->Add(first));
  EXPECT_EQ(PgServer::Run(uri, "SELECT count(*) FROM records"), "2");
}

// The station role of the documentation: it keeps records and takes
// serials in a database its owner made, and may change nothing else.
TEST(PostgresStore, TheStationRoleWorksWithLeastPrivilege) {
  KORVALEN_NEEDS_PG();
  const std::string uri = PgServer::Get().NewDatabase();
  MustOpen(uri);  // the owner makes the schema
  PgServer::Get().Admin(
      "DO $$ BEGIN CREATE ROLE korvalen_station LOGIN; "
      "EXCEPTION WHEN duplicate_object THEN NULL; END $$");
  PgServer::Run(
      uri,
      "GRANT SELECT, INSERT ON records, serials TO korvalen_station; "
      "GRANT UPDATE (serial_state) ON records TO korvalen_station; "
      "GRANT UPDATE (state) ON serials TO korvalen_station; "
      "GRANT SELECT, INSERT, UPDATE ON serial_counters, serial_leases TO korvalen_station; "
      "GRANT USAGE ON SEQUENCE serial_leases_id_seq TO korvalen_station; "
      "GRANT SELECT ON schema_version, yield_by_station, yield_by_hour, "
      "failures_by_step, unit_history TO korvalen_station");
  std::string station_uri = uri;
  station_uri.replace(station_uri.find("postgres@"), 9, "korvalen_station@");
  {
    auto store = MustOpen(station_uri, {.lease_size = 3});
    ASSERT_NE(store, nullptr);
    RunRecord record = PassedRecord();
    ASSERT_TRUE(store->AddPassedWithSerial(record, "R{seq:2}", 1));
    ASSERT_TRUE(store->SetSerialState(record.id, SerialState::kVoid));
    ASSERT_TRUE(store->MarkSerialUsed("R{seq:2}", 7));
    ASSERT_TRUE(store->Add(SampleRecord()));
  }
  EXPECT_NE(PgServer::Run(station_uri, "DELETE FROM records").find("permission denied"),
            std::string::npos);
  // On a database without the schema the station role cannot make it.
  std::string fresh = PgServer::Get().NewDatabase();
  fresh.replace(fresh.find("postgres@"), 9, "korvalen_station@");
  std::string error;
  EXPECT_EQ(PostgresStore::Open(fresh, &error), nullptr);
  EXPECT_NE(error.find("permission denied"), std::string::npos) << error;
}

}  // namespace
}  // namespace korvalen::station
