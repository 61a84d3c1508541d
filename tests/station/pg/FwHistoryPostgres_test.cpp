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

}  // namespace
}  // namespace korvalen::testing
