// korvalen-fw history on a line's PostgreSQL database, run as a user runs it.
#include <gtest/gtest.h>

#include "station/PostgresStore.h"
#include "tests/cli/FwRun.h"
#include "tests/station/StoreTestSupport.h"
#include "tests/station/pg/PgServer.h"

namespace korvalen::testing {
namespace {

TEST(FwHistoryPostgres, PrintsTheLinesRecordsAndNeverAPassword) {
  KORVALEN_NEEDS_PG();
  const std::string uri = PgServer::Get().NewDatabase();
  {
    std::string error;
    auto store = station::PostgresStore::Open(uri, &error);
    ASSERT_NE(store, nullptr) << error;
    station::RunRecord passed = PassedRecord(1'000);
    ASSERT_TRUE(store->AddPassedWithSerial(passed, "P{seq:3}", 5));
    ASSERT_TRUE(store->Add(SampleRecord(2'000)));
  }
  ScratchDir dir;
  const FwResult json = RunFw(dir, {"--json", "history", "--db", uri});
  ASSERT_EQ(json.exit_code, 0) << json.err;
  const auto records = json.Json()["records"];
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[0]["serial_sent"], "P005");
  EXPECT_EQ(records[1]["result"], "failed");
  EXPECT_NE(json.Json()["store"].get<std::string>().find("PostgreSQL database"), std::string::npos);

  std::string with_password = uri;
  with_password.replace(with_password.find("postgres@"), 9, "postgres:Hunter2-line@");
  const FwResult refused = RunFw(dir, {"history", "--db", with_password});
  EXPECT_EQ(refused.exit_code, 2);
  EXPECT_NE(refused.err.find("PGPASSWORD"), std::string::npos) << refused.err;
  EXPECT_EQ((refused.out + refused.err).find("Hunter2"), std::string::npos);

  const FwResult down =
      RunFw(dir, {"history", "--db", "postgresql://postgres@/x?host=/nonexistent-korvalen"});
  EXPECT_EQ(down.exit_code, 2);
  EXPECT_NE(down.err.find("cannot be reached"), std::string::npos) << down.err;
}

TEST(FwHistoryPostgres, MovesAStationStoreToTheLineWhereItsSerialsContinue) {
  KORVALEN_NEEDS_PG();
  const std::string line = PgServer::Get().NewDatabase();
  ScratchDir dir;
  const auto file = dir.path() / "station.sqlite";
  const std::string format = "M-{seq:4}";
  station::RunRecord first = PassedRecord(1);
  {
    std::string error;
    auto store = station::OpenStore(file.string(), &error);
    ASSERT_NE(store, nullptr) << error;
    ASSERT_TRUE(store->AddPassedWithSerial(first, format, 1));  // 1
    station::RunRecord second = PassedRecord(2);
    ASSERT_TRUE(store->AddPassedWithSerial(second, format, 1));  // 2, then void
    ASSERT_TRUE(store->SetSerialState(second.id, station::SerialState::kVoid));
    ASSERT_TRUE(store->MarkSerialUsed(format, 4));
    ASSERT_TRUE(store->Add(SampleRecord(3)));
  }
  for (int pass = 0; pass < 2; ++pass) {  // moving again adds nothing
    const FwResult moved =
        RunFw(dir, {"--json", "history", "--db", file.string(), "--move-to", line});
    ASSERT_EQ(moved.exit_code, 0) << moved.err;
    EXPECT_EQ(moved.Json()["records"], 3);
    EXPECT_EQ(moved.Json()["serials"], 3);
    EXPECT_EQ(moved.Json()["clashes"], 0);
  }
  EXPECT_EQ(PgServer::Run(line, "SELECT count(*) FROM records"), "3");

  std::string error;
  auto store = station::PostgresStore::Open(line, &error);
  ASSERT_NE(store, nullptr) << error;
  station::RunRecord next = PassedRecord(4);
  ASSERT_TRUE(store->AddPassedWithSerial(next, format, 1));
  EXPECT_EQ(next.serial_sent, "M-0003");  // after 1 and the void 2
  station::RunRecord after = PassedRecord(5);
  ASSERT_TRUE(store->AddPassedWithSerial(after, format, 1));
  EXPECT_EQ(after.serial_sent, "M-0005");  // 4 a unit carried
  std::optional<station::RunRecord> found;
  ASSERT_TRUE(store->FindBySentSerial("M-0001", &found));
  ASSERT_TRUE(found.has_value());
  EXPECT_EQ(found->id, first.id);

  // The station's file gave 3 again after the move (it knows nothing of
  // the line): moving it once more reports the clash and fails.
  {
    auto station_store = station::OpenStore(file.string(), &error);
    ASSERT_NE(station_store, nullptr) << error;
    station::RunRecord late = PassedRecord(6);
    ASSERT_TRUE(station_store->AddPassedWithSerial(late, format, 1));
    EXPECT_EQ(late.serial_sent, "M-0003");
  }
  const FwResult clash = RunFw(dir, {"history", "--db", file.string(), "--move-to", line});
  EXPECT_EQ(clash.exit_code, 1);
  EXPECT_NE(clash.err.find("1 serial numbers had already been given"), std::string::npos)
      << clash.err;

  const FwResult wrong = RunFw(dir, {"history", "--db", line, "--move-to", line});
  EXPECT_EQ(wrong.exit_code, 1);
  EXPECT_NE(wrong.err.find("must be a station's SQLite file"), std::string::npos) << wrong.err;
}

}  // namespace
}  // namespace korvalen::testing
