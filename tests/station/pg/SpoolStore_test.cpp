#include "station/SpoolStore.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include "station/StationStore.h"
#include "tests/station/StoreTestSupport.h"
#include "tests/station/pg/PgServer.h"

namespace korvalen::station {
namespace {

using testing::OwnPgServer;
using testing::PassedRecord;
using testing::PgServer;
using testing::SampleRecord;
using testing::StoreDir;

std::unique_ptr<SpoolStore> OpenSpooled(const std::string& uri, const std::filesystem::path& spool,
                                        std::string* error) {
  auto line = PostgresStore::Open(uri, error, {.wait_for_server = true});
  if (!line) return nullptr;
  return SpoolStore::Open(std::move(line), spool, error);
}

TEST(SpoolStore, AnOutageIsSpooledAndForwardedOnceWhenTheDatabaseIsBack) {
  KORVALEN_NEEDS_PG();
  OwnPgServer server;
  ASSERT_TRUE(server.started());
  StoreDir dir;
  const auto spool_path = dir.path() / "spool-a.sqlite";
  std::string error;
  auto store = OpenSpooled(server.uri(), spool_path, &error);
  ASSERT_NE(store, nullptr) << error;
  ASSERT_TRUE(store->Add(SampleRecord()));
  RunRecord passed = PassedRecord();
  ASSERT_TRUE(store->AddPassedWithSerial(passed, "O{seq:3}", 1));
  EXPECT_EQ(passed.serial_sent, "O001");

  ASSERT_TRUE(server.Crash());
  const RunRecord during = SampleRecord();
  StoreStatus status = store->Add(during);
  ASSERT_TRUE(status) << status.error;
  ASSERT_TRUE(store->Add(SampleRecord()));
  ASSERT_TRUE(store->SetSerialState(passed.id, SerialState::kDelivered));
  ASSERT_TRUE(store->MarkSerialUsed("O{seq:3}", 5));
  EXPECT_EQ(store->Backlog(), 4);
  RunRecord waiting = PassedRecord();
  status = store->AddPassedWithSerial(waiting, "O{seq:3}", 1);
  EXPECT_NE(status.error.find("cannot be reached"), std::string::npos) << status.error;
  std::vector<RunRecord> records;
  EXPECT_FALSE(store->History({}, &records));
  // The spool is this process's alone.
  EXPECT_EQ(OpenSpooled(server.uri(), spool_path, &error), nullptr);
  EXPECT_NE(error.find("in use by another process"), std::string::npos) << error;

  ASSERT_TRUE(server.Restart());
  ASSERT_TRUE(store->Add(SampleRecord()));  // forwards the backlog first
  EXPECT_EQ(store->Backlog(), 0);
  EXPECT_EQ(
      PgServer::Run(server.uri(), "SELECT count(*) || '/' || count(DISTINCT id) FROM records"),
      "5/5");
  EXPECT_EQ(
      PgServer::Run(server.uri(), "SELECT serial_state FROM records WHERE serial_sent = 'O001'"),
      "delivered");
  EXPECT_EQ(PgServer::Run(server.uri(), "SELECT state FROM serials WHERE number = 5"), "used");
  ASSERT_TRUE(store->History({}, &records));
  EXPECT_EQ(records.size(), 5u);
}

// A station started while the server is down, killed before it came
// back: the next station process forwards its spool, and a record
// forwarded again (a kill between forwarding and removing) is kept once.
TEST(SpoolStore, AStationKilledDuringAnOutageLosesNothingAndDuplicatesNothing) {
  KORVALEN_NEEDS_PG();
  OwnPgServer server;
  ASSERT_TRUE(server.started());
  ASSERT_TRUE(server.Crash());
  StoreDir dir;
  const auto spool_path = dir.path() / "spool-b.sqlite";
  std::vector<RunRecord> kept = {SampleRecord(1), SampleRecord(2), SampleRecord(3)};
  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    std::string error;
    auto store = OpenSpooled(server.uri(), spool_path, &error);
    if (!store) _exit(10);
    for (const RunRecord& record : kept)
      if (!store->Add(record)) _exit(11);
    if (store->Backlog() != 3) _exit(12);
    raise(SIGKILL);
  }
  int wait_status = 0;
  ASSERT_EQ(waitpid(pid, &wait_status, 0), pid);
  ASSERT_TRUE(WIFSIGNALED(wait_status)) << "child exit " << WEXITSTATUS(wait_status);

  ASSERT_TRUE(server.Restart());
  {
    std::string error;
    auto store = OpenSpooled(server.uri(), spool_path, &error);
    ASSERT_NE(store, nullptr) << error;
    EXPECT_EQ(store->Backlog(), 0);
  }
  {
    std::string error;
    auto spool = SqliteStore::Open(spool_path, &error);
    ASSERT_NE(spool, nullptr) << error;
    ASSERT_TRUE(spool->Add(kept[1]));
  }
  std::string error;
  auto store = OpenSpooled(server.uri(), spool_path, &error);
  ASSERT_NE(store, nullptr) << error;
  EXPECT_EQ(store->Backlog(), 0);
  EXPECT_EQ(PgServer::Run(server.uri(), "SELECT count(*) FROM records"), "3");
}

TEST(SpoolStore, AStationStartsOnADownDatabaseWithItsSpool) {
  KORVALEN_NEEDS_PG();
  OwnPgServer server;
  ASSERT_TRUE(server.started());
  ASSERT_TRUE(server.Crash());
  StoreDir dir;
  std::string error;
  auto store = OpenStationStore(server.uri(), "line-1", dir.path() / "spool.sqlite", &error);
  ASSERT_NE(store, nullptr) << error;
  EXPECT_NE(store->Where().find("outage spool"), std::string::npos) << store->Where();
  ASSERT_TRUE(store->Add(SampleRecord()));
  ASSERT_TRUE(server.Restart());
  ASSERT_TRUE(store->Add(SampleRecord()));
  EXPECT_EQ(PgServer::Run(server.uri(), "SELECT count(*) FROM records"), "2");

  // A file is a plain station store, with no spool.
  auto file = OpenStationStore((dir.path() / "s.sqlite").string(), "line-1", {}, &error);
  ASSERT_NE(file, nullptr) << error;
  EXPECT_EQ(file->Where().find("spool"), std::string::npos);
}

}  // namespace
}  // namespace korvalen::station
