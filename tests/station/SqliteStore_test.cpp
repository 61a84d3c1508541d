#include "station/SqliteStore.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <set>

#include "station/SerialFormat.h"
#include "tests/station/StoreTestSupport.h"

namespace korvalen::station {
namespace {

using testing::PassedRecord;
using testing::SameRecord;
using testing::SampleRecord;
using testing::StoreDir;

std::unique_ptr<Store> MustOpen(const std::filesystem::path& path) {
  std::string error;
  auto store = OpenStore(path.string(), &error);
  EXPECT_NE(store, nullptr) << error;
  return store;
}

std::string OpenError(const std::filesystem::path& path) {
  std::string error;
  EXPECT_EQ(OpenStore(path.string(), &error), nullptr);
  return error;
}

std::vector<RunRecord> All(Store& store) {
  std::vector<RunRecord> records;
  EXPECT_TRUE(store.History({}, &records));
  return records;
}

void Sql(const std::filesystem::path& path, const char* sql) {
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
  EXPECT_EQ(sqlite3_exec(db, sql, nullptr, nullptr, nullptr), SQLITE_OK) << sqlite3_errmsg(db);
  sqlite3_close(db);
}

TEST(SqliteStore, KeepsEveryFieldAndCountsARecordAddedTwiceOnce) {
  StoreDir dir;
  const auto path = dir.path() / "station.sqlite";
  RunRecord failed = SampleRecord(2'000);
  RunRecord passed = PassedRecord(1'000);
  passed.jedec_id.reset();
  {
    auto store = MustOpen(path);
    ASSERT_TRUE(store->Add(failed));
    ASSERT_TRUE(store->Add(passed));
    RunRecord again = failed;
    again.reason = "forwarded from the spool";
    ASSERT_TRUE(store->Add(again));
  }
  auto store = MustOpen(path);  // a second open finds the schema made
  const auto records = All(*store);
  ASSERT_EQ(records.size(), 2u);
  EXPECT_TRUE(SameRecord(records[0], passed));  // oldest first
  EXPECT_TRUE(SameRecord(records[1], failed));

  std::vector<RunRecord> since;
  ASSERT_TRUE(store->History({2'000}, &since));
  ASSERT_EQ(since.size(), 1u);
  EXPECT_EQ(since[0].id, failed.id);
}

int64_t SqlNumber(const std::filesystem::path& path, const char* sql) {
  sqlite3* db = nullptr;
  sqlite3_open(path.c_str(), &db);
  sqlite3_stmt* stmt = nullptr;
  int64_t value = -1;
  if (sqlite3_prepare_v2(db, sql, -1, &stmt, nullptr) == SQLITE_OK &&
      sqlite3_step(stmt) == SQLITE_ROW)
    value = sqlite3_column_int64(stmt, 0);
  sqlite3_finalize(stmt);
  sqlite3_close(db);
  return value;
}

// A file of the first schema, as a station of an older build left it.
TEST(SqliteStore, MigratesAnOlderStoreAndKeepsItsRecordsAndCounters) {
  StoreDir dir;
  const auto path = dir.path() / "station.sqlite";
  RunRecord record = PassedRecord();
  {
    auto store = MustOpen(path);
    ASSERT_TRUE(store->AddPassedWithSerial(record, "M{seq:2}", 3));
  }
  Sql(path, "DROP TABLE held_changes; UPDATE schema_version SET version = 1");
  auto store = MustOpen(path);
  EXPECT_EQ(SqlNumber(path, "SELECT version FROM schema_version"), kSqliteSchemaVersion);
  EXPECT_EQ(SqlNumber(path, "SELECT count(*) FROM held_changes"), 0);
  const auto records = All(*store);
  ASSERT_EQ(records.size(), 1u);
  EXPECT_TRUE(SameRecord(records[0], record));
  RunRecord next = PassedRecord();
  ASSERT_TRUE(store->AddPassedWithSerial(next, "M{seq:2}", 3));
  EXPECT_EQ(next.serial_sent, "M04");
}

TEST(SqliteStore, TheSpoolOfAnyStationNameStaysBesideTheStore) {
  const auto store = DefaultStorePath();
  if (store.empty()) GTEST_SKIP() << "no home folder";
  EXPECT_EQ(DefaultSpoolPath("line-2.pc_a"), store.parent_path() / "spool-line-2.pc_a.sqlite");
  EXPECT_EQ(DefaultSpoolPath("../../etc/x"), store.parent_path() / "spool-.__.__etc_x.sqlite");
  EXPECT_EQ(DefaultSpoolPath("a/b\\c d"), store.parent_path() / "spool-a_b_c_d.sqlite");
}

TEST(SqliteStore, RefusesWhatIsNoStoreOfItsOwn) {
  StoreDir dir;
  EXPECT_NE(OpenError(dir.path()).find("is a folder"), std::string::npos);
  EXPECT_NE(OpenError(dir.path() / "missing" / "s.sqlite").find("does not exist"),
            std::string::npos);

  const auto garbage = dir.path() / "garbage.sqlite";
  std::ofstream(garbage) << std::string(8192, 'x');
  EXPECT_NE(OpenError(garbage).find("damaged or is not a station store"), std::string::npos);
  EXPECT_EQ(std::filesystem::file_size(garbage), 8192u);  // left as it was

  const auto foreign = dir.path() / "foreign.sqlite";
  Sql(foreign, "CREATE TABLE contacts (name TEXT)");
  EXPECT_NE(OpenError(foreign).find("another program"), std::string::npos);

  const auto newer = dir.path() / "newer.sqlite";
  MustOpen(newer);
  Sql(newer, "UPDATE schema_version SET version = 7");
  const std::string error = OpenError(newer);
  EXPECT_NE(error.find("schema version 7"), std::string::npos) << error;
  EXPECT_NE(error.find("newer korvalen-fw"), std::string::npos) << error;
}

TEST(SqliteStore, RefusesAFileItCannotWrite) {
  StoreDir dir;
  const auto path = dir.path() / "station.sqlite";
  MustOpen(path);
  std::filesystem::permissions(path, std::filesystem::perms::owner_read |
                                         std::filesystem::perms::group_read |
                                         std::filesystem::perms::others_read);
  // Root writes any file: the open runs as an ordinary user then.
  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    constexpr uid_t kNobody = 65534;
    if (geteuid() == 0 && (setgid(kNobody) != 0 || setuid(kNobody) != 0)) _exit(10);
    std::string error;
    if (OpenStore(path.string(), &error) != nullptr) _exit(11);
    _exit(error.find("cannot be") != std::string::npos ? 0 : 12);
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
      << "10 no ordinary user, 11 opened, 12 unclear message; status " << status;
}

TEST(SqliteStore, GivesConsecutiveSerialsSkippingUsedAndVoidOnes) {
  StoreDir dir;
  auto store = MustOpen(dir.path() / "station.sqlite");
  const std::string format = "KV-{seq:4}";
  std::vector<std::string> given;
  auto take = [&]() {
    RunRecord record = PassedRecord();
    EXPECT_TRUE(store->AddPassedWithSerial(record, format, 7));
    EXPECT_EQ(record.serial_state, SerialState::kPending);
    EXPECT_EQ(record.serial_format, format);
    given.push_back(record.serial_sent);
    return record;
  };
  const RunRecord first = take();                 // 7: the start, as the store had none
  ASSERT_TRUE(store->MarkSerialUsed(format, 8));  // a unit carried 8 already
  const RunRecord second = take();                // 9
  ASSERT_TRUE(store->SetSerialState(second.id, SerialState::kVoid));
  ASSERT_TRUE(store->SetSerialState(first.id, SerialState::kDelivered));
  take();  // 10: the void 9 is not given again
  // Another FORMAT text has a counter of its own, from its own start.
  RunRecord other = PassedRecord();
  ASSERT_TRUE(store->AddPassedWithSerial(other, "KV{seq:4}", 1));
  EXPECT_EQ(other.serial_sent, "KV0001");
  EXPECT_EQ(given, (std::vector<std::string>{"KV-0007", "KV-0009", "KV-0010"}));

  std::optional<RunRecord> found;
  ASSERT_TRUE(store->FindBySentSerial("KV-0009", &found));
  ASSERT_TRUE(found.has_value());
  EXPECT_EQ(found->id, second.id);
  EXPECT_EQ(found->serial_state, SerialState::kVoid);
  ASSERT_TRUE(store->FindBySentSerial("KV-0008", &found));
  EXPECT_FALSE(found.has_value());
  ASSERT_TRUE(store->FindBySentSerial("", &found));
  EXPECT_FALSE(found.has_value());

  EXPECT_FALSE(store->SetSerialState("no-such-id", SerialState::kVerified));
  EXPECT_FALSE(store->SetSerialState(first.id, SerialState::kPending));
  RunRecord plain = SampleRecord();
  ASSERT_TRUE(store->Add(plain));
  EXPECT_FALSE(store->SetSerialState(plain.id, SerialState::kVerified));  // it got none
}

TEST(SqliteStore, ARetriedRecordKeepsItsSerialAndAFullCounterGivesNone) {
  StoreDir dir;
  auto store = MustOpen(dir.path() / "station.sqlite");
  RunRecord record = PassedRecord();
  ASSERT_TRUE(store->AddPassedWithSerial(record, "S{seq:1}", 8));
  RunRecord retried = PassedRecord();
  retried.id = record.id;
  ASSERT_TRUE(store->AddPassedWithSerial(retried, "S{seq:1}", 8));
  EXPECT_EQ(retried.serial_sent, "S8");

  RunRecord next = PassedRecord();
  ASSERT_TRUE(store->AddPassedWithSerial(next, "S{seq:1}", 8));
  EXPECT_EQ(next.serial_sent, "S9");
  RunRecord over = PassedRecord();
  const StoreStatus status = store->AddPassedWithSerial(over, "S{seq:1}", 8);
  EXPECT_NE(status.error.find("used up"), std::string::npos) << status.error;
  EXPECT_TRUE(over.serial_sent.empty());
  EXPECT_EQ(All(*store).size(), 2u);  // the refused unit's record was not half kept

  RunRecord bad = PassedRecord();
  EXPECT_FALSE(store->AddPassedWithSerial(bad, "S{seq}", 1));
  EXPECT_FALSE(store->MarkSerialUsed("S{seq:1}", 10));
}

// Several processes on one file, each with its own connection, as several
// station processes on one PC: every record kept, no serial given twice.
TEST(SqliteStore, ProcessesSharingAFileNeverShareASerial) {
  StoreDir dir;
  const auto path = dir.path() / "station.sqlite";
  constexpr int kProcesses = 4;
  constexpr int kUnits = 40;
  std::vector<pid_t> children;
  for (int p = 0; p < kProcesses; ++p) {
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      std::string error;
      auto store = OpenStore(path.string(), &error);  // each migrates or finds it made
      if (!store) {
        std::fprintf(stderr, "%s\n", error.c_str());
        _exit(10);
      }
      for (int u = 0; u < kUnits; ++u) {
        RunRecord record = PassedRecord(u);
        if (u % 3 == 0) {
          if (!store->Add(SampleRecord(u))) _exit(11);
        }
        if (!store->AddPassedWithSerial(record, "L{seq:6}", 100)) _exit(12);
      }
      _exit(0);
    }
    children.push_back(pid);
  }
  for (pid_t pid : children) {
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "child status " << status;
  }
  auto store = MustOpen(path);
  std::set<std::string> serials;
  int passed = 0;
  for (const RunRecord& record : All(*store)) {
    if (record.result != RunResult::kPassed) continue;
    ++passed;
    serials.insert(record.serial_sent);
  }
  EXPECT_EQ(passed, kProcesses * kUnits);
  EXPECT_EQ(serials.size(), static_cast<size_t>(kProcesses * kUnits));
  EXPECT_EQ(*serials.begin(), "L000100");
  EXPECT_EQ(*serials.rbegin(), "L000259");  // 100 + 4 * 40 - 1: no gaps
}

// A disk that fills: every write that fails says so, and every record
// reported kept is there, whole, afterwards.
TEST(SqliteStore, AFullDiskFailsCleanlyAndLosesNoKeptRecord) {
  StoreDir dir;
  const auto path = dir.path() / "station.sqlite";
  MustOpen(path);
  int pipe_fds[2];
  ASSERT_EQ(pipe(pipe_fds), 0);
  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    close(pipe_fds[0]);
    signal(SIGXFSZ, SIG_IGN);  // a write past the limit fails with EFBIG instead
    const rlimit limit{1024 * 1024, 1024 * 1024};
    setrlimit(RLIMIT_FSIZE, &limit);
    std::string error;
    auto store = OpenStore(path.string(), &error);
    if (!store) _exit(10);
    int failures = 0;
    for (int i = 0; i < 2000 && failures < 5; ++i) {
      RunRecord record = PassedRecord(i);
      record.reason = std::string(2000, 'r');
      const StoreStatus status =
          i % 2 == 0 ? store->Add(record) : store->AddPassedWithSerial(record, "F{seq:6}", 1);
      if (status) {
        const std::string line = record.id + "\n";
        if (write(pipe_fds[1], line.data(), line.size()) < 0) _exit(13);
      } else {
        ++failures;
        if (status.error.find(path.string()) == std::string::npos) _exit(14);
      }
    }
    _exit(failures > 0 ? 0 : 15);
  }
  close(pipe_fds[1]);
  std::string kept_ids;
  char buffer[4096];
  for (ssize_t n; (n = read(pipe_fds[0], buffer, sizeof buffer)) > 0;) kept_ids.append(buffer, n);
  close(pipe_fds[0]);
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status));
  ASSERT_EQ(WEXITSTATUS(status), 0) << "10 open, 13 pipe, 14 message, 15 the disk never filled";

  auto store = MustOpen(path);
  std::set<std::string> stored;
  for (const RunRecord& record : All(*store)) {
    EXPECT_EQ(record.reason, std::string(2000, 'r'));
    stored.insert(record.id);
  }
  size_t kept = 0;
  for (size_t at = 0, end; (end = kept_ids.find('\n', at)) != std::string::npos; at = end + 1) {
    EXPECT_TRUE(stored.count(kept_ids.substr(at, end - at))) << "a kept record was lost";
    ++kept;
  }
  EXPECT_GT(kept, 10u);
  EXPECT_EQ(stored.size(), kept);  // and none that was reported failed
}

}  // namespace
}  // namespace korvalen::station
