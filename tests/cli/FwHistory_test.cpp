// korvalen-fw history over a store a station filled: text, CSV and JSON,
// the --since filter, and the refusals.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include "station/Store.h"
#include "tests/cli/FwRun.h"

namespace korvalen::testing {
namespace {

constexpr int64_t kDay = 86'400'000'000;
// 2026-12-10T06:00:00Z
constexpr int64_t kStart = 1'796'882'400'000'000;

station::RunRecord Record(const std::string& id, int64_t started, station::RunResult result) {
  station::RunRecord r;
  r.id = id;
  r.station = "line-2-pc-a";
  r.operator_name = "Ana";
  r.device_path = "sim:1";
  r.model = "KORVALEN_TIDE";
  r.file_name = "KORVALEN_TIDE.hex";
  r.file_sha256 = std::string(64, 'c');
  r.jedec_id = 0xBF258E;
  r.firmware_version_reported = "2.14";
  r.result = result;
  r.attempts = 1;
  r.started_utc_us = started;
  r.ended_utc_us = started + 2'500'000;
  r.duration_us = 2'500'000;
  return r;
}

void Fill(const std::filesystem::path& path) {
  std::string error;
  auto store = station::OpenStore(path.string(), &error);
  ASSERT_NE(store, nullptr) << error;
  station::RunRecord passed = Record("aa01", kStart, station::RunResult::kPassed);
  ASSERT_TRUE(store->AddPassedWithSerial(passed, "KV-{seq:4}", 1));
  station::RunRecord failed = Record("aa02", kStart + kDay, station::RunResult::kFailed);
  failed.failed_step = "verify";
  failed.reason = "byte 0x100 read \"0x00\", wrote 0xFF\nthird attempt";
  failed.operator_name = "O'Neil, night";
  failed.jedec_id.reset();
  ASSERT_TRUE(store->Add(failed));
}

// RFC 4180 fields of a CSV text, row by row.
std::vector<std::vector<std::string>> ParseCsv(const std::string& text) {
  std::vector<std::vector<std::string>> rows(1, std::vector<std::string>(1));
  bool quoted = false;
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (quoted) {
      if (c == '"' && i + 1 < text.size() && text[i + 1] == '"') {
        rows.back().back() += '"';
        ++i;
      } else if (c == '"') {
        quoted = false;
      } else {
        rows.back().back() += c;
      }
    } else if (c == '"') {
      quoted = true;
    } else if (c == ',') {
      rows.back().emplace_back();
    } else if (c == '\n') {
      rows.emplace_back(1);
    } else {
      rows.back().back() += c;
    }
  }
  if (rows.back().size() == 1 && rows.back()[0].empty()) rows.pop_back();
  return rows;
}

TEST(FwHistory, PrintsRecordsAsTextCsvAndJson) {
  ScratchDir dir;
  const auto db = dir.path() / "line.sqlite";
  Fill(db);

  const FwResult text = RunFw(dir, {"history", "--db", db.string()});
  ASSERT_EQ(text.exit_code, 0) << text.err;
  EXPECT_NE(text.out.find("2026-12-10T06:00:00Z  passed  KORVALEN_TIDE  sim:1  line-2-pc-a (Ana)  "
                          "serial KV-0001 (pending)"),
            std::string::npos)
      << text.out;
  EXPECT_NE(text.out.find("failed  KORVALEN_TIDE"), std::string::npos);
  EXPECT_NE(text.out.find("at verify: byte 0x100 read \"0x00\", wrote 0xFF third attempt"),
            std::string::npos);
  EXPECT_NE(text.out.find("2 records, 1 passed"), std::string::npos);

  const FwResult csv = RunFw(dir, {"history", "--db", db.string(), "--csv"});
  ASSERT_EQ(csv.exit_code, 0) << csv.err;
  const auto rows = ParseCsv(csv.out);
  ASSERT_EQ(rows.size(), 3u) << csv.out;
  const auto& header = rows[0];
  auto field = [&](size_t row, const std::string& name) {
    const auto at = std::find(header.begin(), header.end(), name);
    EXPECT_NE(at, header.end()) << name;
    return at == header.end() ? std::string()
                              : rows[row].at(static_cast<size_t>(at - header.begin()));
  };
  for (const auto& row : rows) EXPECT_EQ(row.size(), header.size());
  EXPECT_EQ(field(1, "serial_sent"), "KV-0001");
  EXPECT_EQ(field(1, "jedec_id"), "0xBF258E");
  EXPECT_EQ(field(1, "started_utc"), "2026-12-10T06:00:00.000000Z");
  EXPECT_EQ(field(1, "duration_s"), "2.500");
  EXPECT_EQ(field(2, "reason"), "byte 0x100 read \"0x00\", wrote 0xFF\nthird attempt");
  EXPECT_EQ(field(2, "operator"), "O'Neil, night");
  EXPECT_EQ(field(2, "jedec_id"), "");
  EXPECT_EQ(field(2, "result"), "failed");

  const FwResult json =
      RunFw(dir, {"--json", "history", "--db", db.string(), "--since", "2026-12-11T00:00Z"});
  ASSERT_EQ(json.exit_code, 0) << json.err;
  const auto records = json.Json()["records"];
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0]["id"], "aa02");
  EXPECT_EQ(records[0]["failed_step"], "verify");
  EXPECT_EQ(records[0]["jedec_id"], nullptr);
  EXPECT_EQ(records[0]["serial_sent"], nullptr);
  EXPECT_EQ(records[0]["ended_utc"], "2026-12-11T06:00:02.500000Z");

  // An age: both runs are long past a minute ago.
  const FwResult recent = RunFw(dir, {"--json", "history", "--db", db.string(), "--since", "1m"});
  ASSERT_EQ(recent.exit_code, 0) << recent.err;
  EXPECT_TRUE(recent.Json()["records"].empty());
}

TEST(FwHistory, SummarizesByStationLocalHourAndFailedStep) {
  ScratchDir dir;
  const auto db = dir.path() / "line.sqlite";
  Fill(db);
  {
    std::string error;
    auto store = station::OpenStore(db.string(), &error);
    ASSERT_NE(store, nullptr) << error;
    station::RunRecord other = Record("bb01", kStart + 1'800'000'000, station::RunResult::kFailed);
    other.station = "line-2-pc-b";
    other.failed_step = "verify";
    other.reason = "byte 0x100 read \"0x00\", wrote 0xFF\nthird attempt";
    ASSERT_TRUE(store->Add(other));
  }
  const FwResult stations =
      RunFw(dir, {"--json", "history", "--db", db.string(), "--by", "station"});
  ASSERT_EQ(stations.exit_code, 0) << stations.err;
  const auto rows = stations.Json()["rows"];
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[0]["station"], "line-2-pc-a");
  EXPECT_EQ(rows[0]["runs"], 2);
  EXPECT_EQ(rows[0]["passed"], 1);
  EXPECT_EQ(rows[0]["yield_percent"], 50.0);
  EXPECT_EQ(rows[1]["yield_percent"], 0.0);

  // 06:00Z and 06:30Z share an hour in UTC, not at UTC+5:30.
  const FwResult utc = RunFw(dir, {"history", "--db", db.string(), "--by", "hour"}, "", "TZ=UTC0 ");
  ASSERT_EQ(utc.exit_code, 0) << utc.err;
  EXPECT_NE(utc.out.find("2026-12-10 06:00  2     1       50.0"), std::string::npos) << utc.out;
  EXPECT_NE(utc.out.find("2026-12-11 06:00  1     0       0.0"), std::string::npos) << utc.out;
  const FwResult east =
      RunFw(dir, {"history", "--db", db.string(), "--by", "hour", "--csv"}, "", "TZ=IST-5:30 ");
  ASSERT_EQ(east.exit_code, 0) << east.err;
  EXPECT_EQ(east.out,
            "hour,runs,passed,yield_percent\n"
            "2026-12-10 11:00,1,1,100.0\n"
            "2026-12-10 12:00,1,0,0.0\n"
            "2026-12-11 11:00,1,0,0.0\n");

  const FwResult steps = RunFw(dir, {"history", "--db", db.string(), "--by", "step", "--csv"});
  ASSERT_EQ(steps.exit_code, 0) << steps.err;
  EXPECT_EQ(steps.out,
            "failed_step,reason,result,runs\n"
            "verify,\"byte 0x100 read \"\"0x00\"\", wrote 0xFF\nthird attempt\",failed,2\n");

  const FwResult bad = RunFw(dir, {"history", "--db", db.string(), "--by", "operator"});
  EXPECT_EQ(bad.exit_code, 2);
  EXPECT_NE(bad.err.find("station, hour or step"), std::string::npos) << bad.err;
}

TEST(FwHistory, FindsTheStationsDefaultStoreInTheDataFolder) {
  ScratchDir dir;
  std::filesystem::create_directories(dir.path() / "data" / "korvalen");
  Fill(dir.path() / "data" / "korvalen" / "station.sqlite");
  const std::string env = "XDG_DATA_HOME=" + Quote((dir.path() / "data").string()) + " ";
  const FwResult result = RunFw(dir, {"--json", "history"}, "", env);
  ASSERT_EQ(result.exit_code, 0) << result.err;
  EXPECT_EQ(result.Json()["records"].size(), 2u);

  // Without XDG_DATA_HOME: ~/.local/share, which holds no store here.
  const FwResult none =
      RunFw(dir, {"history"}, "", "env -u XDG_DATA_HOME HOME=" + Quote(dir.path().string()) + " ");
  EXPECT_EQ(none.exit_code, 2);
  EXPECT_NE(none.err.find(".local/share/korvalen/station.sqlite"), std::string::npos) << none.err;
  EXPECT_FALSE(std::filesystem::exists(dir.path() / ".local")) << "history made a store";
}

TEST(FwHistory, RefusesBadTimesAndStoresItCannotRead) {
  ScratchDir dir;
  const auto db = dir.path() / "line.sqlite";
  Fill(db);
  for (const char* since : {"yesterday", "2026-13-01", "2026-12-11T25:00", "12x", "2026-12-1"}) {
    const FwResult result = RunFw(dir, {"history", "--db", db.string(), "--since", since});
    EXPECT_EQ(result.exit_code, 2) << since;
    EXPECT_NE(result.err.find("is no time"), std::string::npos) << result.err;
  }
  const FwResult both = RunFw(dir, {"--json", "history", "--db", db.string(), "--csv"});
  EXPECT_EQ(both.exit_code, 2);
  EXPECT_EQ(both.Json()["exit"], 2);

  const FwResult missing = RunFw(dir, {"history", "--db", "nosuch.sqlite"});
  EXPECT_EQ(missing.exit_code, 2);
  EXPECT_NE(missing.err.find("no store at nosuch.sqlite"), std::string::npos) << missing.err;
  EXPECT_FALSE(std::filesystem::exists(dir.path() / "nosuch.sqlite"));

  std::ofstream(dir.path() / "notes.sqlite") << "line 2 shift notes\n";
  const FwResult corrupt = RunFw(dir, {"history", "--db", "notes.sqlite"});
  EXPECT_EQ(corrupt.exit_code, 2);
  EXPECT_NE(corrupt.err.find("not a station store"), std::string::npos) << corrupt.err;

  sqlite3* raw = nullptr;
  ASSERT_EQ(sqlite3_open(db.c_str(), &raw), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(raw, "UPDATE schema_version SET version = 99", nullptr, nullptr, nullptr),
            SQLITE_OK);
  sqlite3_close(raw);
  const FwResult newer = RunFw(dir, {"history", "--db", db.string()});
  EXPECT_EQ(newer.exit_code, 2);
  EXPECT_NE(newer.err.find("schema version 99"), std::string::npos) << newer.err;
}

}  // namespace
}  // namespace korvalen::testing
