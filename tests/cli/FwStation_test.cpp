// korvalen-fw station on a simulated line, run as a line runs it: plugs on a
// schedule, records as JSON Lines and in the SQLite store, exit statuses.
#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <sstream>

#include "tests/cli/FwRun.h"

namespace korvalen::testing {
namespace {

using nlohmann::json;

// SHA-256 of CountingImage(4096), computed apart from the program.
constexpr char kCounting4096Sha256[] =
    "7486da8f1e13943fae21a0b043f1e99640d7d8ebafb25266478b5cddae1272b5";

std::vector<json> JsonLines(const std::string& text) {
  std::vector<json> lines;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty()) lines.push_back(json::parse(line));
  }
  return lines;
}

std::vector<std::string> With(std::vector<std::string> args, const std::vector<std::string>& more) {
  args.insert(args.end(), more.begin(), more.end());
  return args;
}

// The records the store kept, through sqlite3 as another program reads them.
std::vector<std::string> StoredIds(const ScratchDir& dir, const std::string& db) {
  const auto out = dir.path() / "ids.txt";
  const std::string command = "sqlite3 " + Quote((dir.path() / db).string()) +
                              " 'select id from records' >" + Quote(out.string()) + " 2>&1";
  EXPECT_EQ(std::system(command.c_str()), 0) << ReadAll(out);
  std::vector<std::string> ids;
  std::istringstream in(ReadAll(out));
  std::string line;
  while (std::getline(in, line)) ids.push_back(line);
  return ids;
}

// Runs the station in the background and sends it what script says
// ("sleep 1; kill -TERM $P"), then waits for it.
FwResult RunSignalled(const ScratchDir& dir, const std::vector<std::string>& args,
                      const std::string& script) {
  const auto out_path = dir.path() / "stdout.txt";
  const auto err_path = dir.path() / "stderr.txt";
  const auto rc_path = dir.path() / "rc.txt";
  std::string command = "cd " + Quote(dir.path().string()) + " && { " + Quote(KORVALEN_FW_BINARY);
  for (const std::string& arg : args) command += " " + Quote(arg);
  command += " </dev/null >" + Quote(out_path.string()) + " 2>" + Quote(err_path.string()) +
             " & P=$!; " + script + "; wait $P; echo $? >" + Quote(rc_path.string()) + "; }";
  EXPECT_EQ(std::system(command.c_str()), 0);
  FwResult result;
  result.exit_code = std::stoi(ReadAll(rc_path));
  result.out = ReadAll(out_path);
  result.err = ReadAll(err_path);
  return result;
}

const std::vector<std::string> kFastLine = {"station", "--db", "line.sqlite", "--simulate",
                                            "--fast", "--json"};

TEST(FwStation, UpdatesEachPlugOnceAndRecordsEveryRun) {
  ScratchDir dir;
  dir.Write("KORVALEN_TIDE.bin", CountingImage(4096));
  const FwResult run = RunFw(
      dir, With(kFastLine, {"KORVALEN_TIDE.bin", "--station", "line-3", "--operator", "Ana",
                            "--plug", "at=0,model=2,serial=SN 0042", "--plug",
                            "at=0.5,model=2,fault=weak:0x100:9", "--exit-after", "2"}));
  // One unit failed: the station says so in its status.
  EXPECT_EQ(run.exit_code, 1) << run.err;
  const auto records = JsonLines(run.out);
  ASSERT_EQ(records.size(), 2u) << run.out;
  const json& passed = records[0]["result"] == "passed" ? records[0] : records[1];
  const json& failed = records[0]["result"] == "passed" ? records[1] : records[0];
  EXPECT_EQ(passed["result"], "passed");
  EXPECT_EQ(passed["station"], "line-3");
  EXPECT_EQ(passed["operator"], "Ana");
  EXPECT_EQ(passed["model"], "KORVALEN_TIDE");
  EXPECT_EQ(passed["file_name"], "KORVALEN_TIDE.bin");
  EXPECT_EQ(passed["file_sha256"], kCounting4096Sha256);
  EXPECT_EQ(passed["jedec_id"], "0xEF3012");
  EXPECT_EQ(passed["firmware_version_reported"], "1.7");
  EXPECT_EQ(passed["attempts"], 1);
  EXPECT_TRUE(passed["failed_step"].is_null());
  EXPECT_FALSE(passed["device_gone"]);
  // The serial number the unit reported on arrival; the other had none.
  EXPECT_EQ(passed["serial_before"], "SN 0042");
  EXPECT_TRUE(failed["serial_before"].is_null());
  // UTC times that sort as texts; the duration is their difference.
  EXPECT_EQ(passed["started_utc"].get<std::string>().back(), 'Z');
  EXPECT_GE(passed["ended_utc"].get<std::string>(), passed["started_utc"].get<std::string>());
  EXPECT_GE(passed["duration_s"].get<double>(), 0.0);
  EXPECT_LT(passed["duration_s"].get<double>(), 60.0);
  // A bit that will not program fails every attempt at the verify.
  EXPECT_EQ(failed["result"], "failed");
  EXPECT_EQ(failed["failed_step"], "verify");
  EXPECT_EQ(failed["attempts"], 3);
  EXPECT_NE(failed["reason"].get<std::string>().find("0x000100"), std::string::npos)
      << failed["reason"];
  EXPECT_NE(passed["device_path"], failed["device_path"]);
  EXPECT_NE(passed["id"], failed["id"]);
  // Both are in the store under the ids the line was shown.
  const auto stored = StoredIds(dir, "line.sqlite");
  EXPECT_EQ(std::set<std::string>(stored.begin(), stored.end()),
            (std::set<std::string>{passed["id"], failed["id"]}));
}

TEST(FwStation, ADeviceLeftPluggedIsUpdatedOnceAndAReplugIsANewRun) {
  ScratchDir dir;
  dir.Write("KORVALEN_TIDE.bin", CountingImage(300));
  // The first device stays long after its verdict; the line ends once it
  // and the replugged one have left.
  const FwResult stays =
      RunFw(dir, With(kFastLine, {"--plug", "at=0,model=2,stay=30"}), "", "timeout 60 ");
  ASSERT_EQ(stays.exit_code, 0) << stays.err;
  EXPECT_EQ(JsonLines(stays.out).size(), 1u) << stays.out;

  // The same port plugged twice: the second plug waits for the first to
  // leave, and is a run of its own.
  const FwResult replug = RunFw(
      dir, With(kFastLine, {"--plug", "at=0,model=2,stay=5", "--plug", "at=1,model=2,port=1"}),
      "", "timeout 60 ");
  ASSERT_EQ(replug.exit_code, 0) << replug.err;
  const auto records = JsonLines(replug.out);
  ASSERT_EQ(records.size(), 2u) << replug.out;
  EXPECT_EQ(records[0]["device_path"], records[1]["device_path"]);
  EXPECT_NE(records[0]["id"], records[1]["id"]);
  EXPECT_EQ(StoredIds(dir, "line.sqlite").size(), 3u);
}

TEST(FwStation, UpdateIdentitiesNeedARecoveryModel) {
  ScratchDir dir;
  dir.Write("KORVALEN_TIDE.bin", CountingImage(300));
  dir.Write("KORVALEN_ORBIT.bin", CountingImage(200));
  const FwResult unknown =
      RunFw(dir, With(kFastLine, {"--plug", "at=0,model=0c3d", "--plug", "at=0,model=5e1a"}));
  EXPECT_EQ(unknown.exit_code, 1) << unknown.err;
  const auto left_alone = JsonLines(unknown.out);
  ASSERT_EQ(left_alone.size(), 2u) << unknown.out;
  for (const json& record : left_alone) {
    EXPECT_EQ(record["result"], "model-unknown");
    EXPECT_TRUE(record["model"].is_null());
    EXPECT_TRUE(record["file_name"].is_null());
    EXPECT_EQ(record["attempts"], 0);
  }

  const FwResult recovered = RunFw(
      dir, With(kFastLine, {"--plug", "at=0,model=5e1a", "--recovery-model", "korvalen_tide"}));
  ASSERT_EQ(recovered.exit_code, 0) << recovered.err;
  const auto records = JsonLines(recovered.out);
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0]["result"], "passed");
  EXPECT_EQ(records[0]["model"], "KORVALEN_TIDE");
  EXPECT_EQ(records[0]["file_name"], "KORVALEN_TIDE.bin");
  // No firmware runs in an update identity to report a version.
  EXPECT_TRUE(records[0]["firmware_version_reported"].is_null());

  // A recovery model the station has no file for is refused at start.
  dir.Write("KORVALEN_ORBIT.bin", CountingImage(200));
  const FwResult no_file = RunFw(dir, With(kFastLine, {"KORVALEN_ORBIT.bin", "--plug",
                                                       "at=0,model=5e1a", "--recovery-model",
                                                       "KORVALEN_TIDE"}));
  EXPECT_EQ(no_file.exit_code, 2);
  EXPECT_NE(no_file.err.find("no update file for"), std::string::npos) << no_file.err;
  const FwResult not_key =
      RunFw(dir, With(kFastLine, {"--plug", "at=0,model=5e1a", "--recovery-model", "TIDE"}));
  EXPECT_EQ(not_key.exit_code, 2);
  EXPECT_NE(not_key.err.find("not a model key"), std::string::npos) << not_key.err;
}

TEST(FwStation, RefusesMalformedPlugsBeforeAnythingRuns) {
  ScratchDir dir;
  dir.Write("KORVALEN_TIDE.bin", CountingImage(300));
  struct Case {
    std::vector<std::string> args;
    const char* says;
  };
  const std::vector<Case> cases = {
      {{"--plug", "model=2"}, "at= is missing"},
      {{"--plug", "at=soon,model=2"}, "not a time in seconds"},
      {{"--plug", "at=-1,model=2"}, "not a time in seconds"},
      {{"--plug", "at=1e3,model=2"}, "not a time in seconds"},
      {{"--plug", "at=0,model=2,stay=0"}, "more than 0"},
      {{"--plug", "at=0,model=9"}, "model=9 is not a model"},
      {{"--plug", "at=0,model=2,colour=red"}, "colour= is not a plug field"},
      {{"--plug", "at=0,at=1,model=2"}, "at= is given twice"},
      {{"--plug", "at=0,model=2,"}, "is not KEY=VALUE"},
      {{"--plug", "at=0,model=2,fault=melt:3"}, "fault=melt:3"},
      {{"--plug", "at=0,model=2,port=256"}, "not a port"},
      {{"--plug", "at=0,model=2,serial=0123456789012345678901234567890123"}, "longer than 31"},
      {{"--plug", "at=0,model=2", "--fault", "reject:3"}, "--fault beside --plug"},
      {{"--plug", "at=0,model=2", "--devices", "2"}, "--plug replaces --devices"},
      {{"--plug", "at=0,model=2", "--sim-state", "kept"}, "--sim-state keeps devices"},
  };
  for (const Case& c : cases) {
    const FwResult run = RunFw(dir, With(kFastLine, c.args));
    EXPECT_EQ(run.exit_code, 2) << c.args[1];
    EXPECT_NE(run.err.find(c.says), std::string::npos) << c.args[1] << ": " << run.err;
    EXPECT_EQ(run.out.find("\"result\""), std::string::npos) << run.out;
  }
  // --plug belongs to the simulated station.
  EXPECT_EQ(RunFw(dir, {"station", "--db", "x.sqlite", "--plug", "at=0"}).exit_code, 2);
  EXPECT_EQ(RunFw(dir, {"update", "--simulate", "--fast", "-y", "--plug", "at=0"}).exit_code, 2);
  // Nothing ran, so no store was even made.
  EXPECT_FALSE(std::filesystem::exists(dir.path() / "line.sqlite"));
}

TEST(FwStation, ChoosesFilesByModelKeyAndRefusesUnclearOnes) {
  ScratchDir dir;
  dir.Write("KORVALEN_TIDE.bin", CountingImage(300));
  dir.Write("tide-v2.bin", CountingImage(4096));
  dir.Write("orbit.bin", CountingImage(200));
  dir.Write("broken.hex", {':', '0', '0', 'Z', '\n'});
  struct Case {
    std::vector<std::string> files;
    const char* says;
  };
  const std::vector<Case> refused = {
      {{"tide-v2.bin"}, "is named for no model"},
      {{"KORVALEN_TIDE.bin", "KORVALEN_TIDE=tide-v2.bin"}, "two files for"},
      {{"NOSUCH=orbit.bin"}, "NOSUCH is not a model key"},
      {{"KORVALEN_TIDE="}, "no file after"},
      {{"KORVALEN_ORBIT=broken.hex"}, "broken.hex"},
      {{"KORVALEN_ORBIT=missing.bin"}, "missing.bin"},
      {{"KORVALEN_ORBIT=orbit.txt"}, "not a firmware file"},
  };
  for (const Case& c : refused) {
    const FwResult run = RunFw(dir, With(With(kFastLine, c.files), {"--plug", "at=0,model=2"}));
    EXPECT_EQ(run.exit_code, 2) << c.files.back();
    EXPECT_NE(run.err.find(c.says), std::string::npos) << c.files.back() << ": " << run.err;
  }

  // KEY=PATH serves that model with any file; the other model's device
  // gets no file and is left alone.
  const FwResult assigned = RunFw(dir, With(kFastLine, {"korvalen_tide=tide-v2.bin", "--plug",
                                                        "at=0,model=2", "--plug", "at=0,model=0"}));
  EXPECT_EQ(assigned.exit_code, 1) << assigned.err;
  const auto records = JsonLines(assigned.out);
  ASSERT_EQ(records.size(), 2u) << assigned.out;
  for (const json& record : records) {
    if (record["model"] == "KORVALEN_TIDE") {
      EXPECT_EQ(record["result"], "passed");
      EXPECT_EQ(record["file_name"], "tide-v2.bin");
      EXPECT_EQ(record["file_sha256"], kCounting4096Sha256);
    } else {
      EXPECT_EQ(record["model"], "KORVALEN_ORBIT");
      EXPECT_EQ(record["result"], "no-file");
      EXPECT_EQ(record["attempts"], 0);
    }
  }

  // Without FILE the models' files come from the current directory.
  const FwResult found = RunFw(dir, With(kFastLine, {"--plug", "at=0,model=2"}));
  EXPECT_EQ(found.exit_code, 0) << found.err;
  EXPECT_EQ(JsonLines(found.out).at(0)["file_name"], "KORVALEN_TIDE.bin");
}

TEST(FwStation, ADeviceThatVanishesMidUpdateIsRecordedAsGone) {
  ScratchDir dir;
  dir.Write("KORVALEN_TIDE.bin", CountingImage(4096));
  // One pulled out by its stay while programming, one that stops answering;
  // each on a line of its own, whose clock only its own update moves.
  for (const char* plug : {"at=0,model=2,stay=0.3", "at=0,model=2,fault=vanish:300"}) {
    const FwResult run = RunFw(dir, With(kFastLine, {"--plug", plug}));
    EXPECT_EQ(run.exit_code, 1) << run.err;
    const auto records = JsonLines(run.out);
    ASSERT_EQ(records.size(), 1u) << run.out;
    const json& record = records[0];
    EXPECT_EQ(record["result"], "gone") << plug << ": " << record.dump();
    EXPECT_TRUE(record["device_gone"]);
    EXPECT_FALSE(record["failed_step"].is_null()) << plug;
    EXPECT_NE(record["reason"].get<std::string>().find("stopped answering"), std::string::npos)
        << record["reason"];
    EXPECT_TRUE(record["firmware_version_reported"].is_null());
  }
  EXPECT_EQ(StoredIds(dir, "line.sqlite").size(), 2u);
}

TEST(FwStation, ExitAfterTakesThatManyRuns) {
  ScratchDir dir;
  dir.Write("KORVALEN_TIDE.bin", CountingImage(300));
  const FwResult run =
      RunFw(dir, With(kFastLine, {"--plug", "at=0,model=2", "--plug", "at=1,model=2", "--plug",
                                  "at=2,model=2", "--exit-after", "2"}));
  ASSERT_EQ(run.exit_code, 0) << run.err;
  EXPECT_EQ(JsonLines(run.out).size(), 2u);
  EXPECT_EQ(StoredIds(dir, "line.sqlite").size(), 2u);
  EXPECT_EQ(RunFw(dir, With(kFastLine, {"--plug", "at=0", "--exit-after", "0"})).exit_code, 2);
}

TEST(FwStation, PipeOutputIsOneLinePerEvent) {
  ScratchDir dir;
  dir.Write("KORVALEN_TIDE.bin", CountingImage(300));
  const FwResult run = RunFw(dir, {"station", "--db", "line.sqlite", "--simulate", "--fast",
                                   "--plug", "at=0,model=2", "--plug", "at=0,model=0c3d"});
  EXPECT_EQ(run.exit_code, 1) << run.err;
  EXPECT_NE(run.out.find("usb:bus-001:port-1: KORVALEN TIDE arrived (KORVALEN_TIDE)\n"),
            std::string::npos)
      << run.out;
  EXPECT_NE(run.out.find("usb:bus-001:port-1: Firmware update success!\n"), std::string::npos);
  EXPECT_NE(run.out.find("usb:bus-001:port-2: model-unknown (record "), std::string::npos);
  EXPECT_NE(run.out.find("passed 1  failed 1  yield 50.0%"), std::string::npos) << run.out;
  // No terminal control sequences into a pipe.
  EXPECT_EQ(run.out.find('\033'), std::string::npos);
}

// More units than the hub has ports: the later ones wait for a port, and
// every one of them is updated and recorded (the line never stalls).
TEST(FwStation, MorePlugsThanPortsAreAllUpdated) {
  ScratchDir dir;
  dir.Write("KORVALEN_TIDE.bin", CountingImage(300));
  std::vector<std::string> args = kFastLine;
  constexpr int kUnits = 300;
  for (int i = 0; i < kUnits; ++i) args.insert(args.end(), {"--plug", "at=0,model=2"});
  const FwResult run = RunFw(dir, args, "", "timeout 120 ");
  ASSERT_EQ(run.exit_code, 0) << run.err.substr(0, 2000);
  EXPECT_EQ(JsonLines(run.out).size(), static_cast<size_t>(kUnits));
  EXPECT_EQ(StoredIds(dir, "line.sqlite").size(), static_cast<size_t>(kUnits));
}

TEST(FwStation, RefusesToStartWithoutAWritableStore) {
  ScratchDir dir;
  dir.Write("KORVALEN_TIDE.bin", CountingImage(300));
  dir.Write("plain-file", {'x'});
  std::vector<uint8_t> garbage(8192, 0x5A);
  dir.Write("corrupt.sqlite", garbage);
  for (const char* db : {"plain-file/line.sqlite", "corrupt.sqlite"}) {
    const FwResult run = RunFw(dir, {"station", "--db", db, "--simulate", "--fast", "--plug",
                                     "at=0,model=2", "--json"});
    EXPECT_EQ(run.exit_code, 2) << db;
    EXPECT_NE(run.err.find("the store cannot be written"), std::string::npos) << run.err;
    // The line saw no run start.
    EXPECT_EQ(run.out.find("\"result\""), std::string::npos) << run.out;
  }
  EXPECT_EQ(ReadAll(dir.path() / "corrupt.sqlite"), std::string(garbage.begin(), garbage.end()));
}

TEST(FwStation, AStoreThatFillsUpMidRunLosesNoRecord) {
  ScratchDir dir;
  dir.Write("KORVALEN_TIDE.bin", CountingImage(300));
  ASSERT_EQ(RunFw(dir, With(kFastLine, {"--plug", "at=0,model=2"})).exit_code, 0);
  const auto size_kib = std::filesystem::file_size(dir.path() / "line.sqlite") / 1024;
  std::vector<std::string> args = kFastLine;
  for (int i = 0; i < 60; ++i) {
    args.push_back("--plug");
    args.push_back("at=" + std::to_string(i / 3) + ",model=2");
  }
  // A file size limit stands for the disk filling: writes past it fail. It
  // leaves room for the store to open (its shared-memory file takes 32 KiB)
  // and for a few records in its log.
  const uintmax_t limit_kib = std::max<uintmax_t>(size_kib, 32) + 40;
  const FwResult run = RunFw(dir, args, "",
                             "trap '' XFSZ; ulimit -f " + std::to_string(limit_kib) + "; ");
  EXPECT_EQ(run.exit_code, 6) << run.err;
  EXPECT_NE(run.err.find("no new devices are taken"), std::string::npos) << run.err;
  const auto shown = JsonLines(run.out);
  EXPECT_LT(shown.size(), 60u);  // it stopped taking devices
  // Every run is either in the store or printed as not stored, never both.
  std::set<std::string> unstored;
  const size_t header = run.err.find("not stored (");
  ASSERT_NE(header, std::string::npos) << run.err;
  std::istringstream rest(run.err.substr(run.err.find('\n', header) + 1));
  std::string line;
  while (std::getline(rest, line)) {
    if (!line.empty() && line[0] == '{') unstored.insert(json::parse(line)["id"]);
  }
  EXPECT_FALSE(unstored.empty());
  const auto stored = StoredIds(dir, "line.sqlite");
  std::set<std::string> kept(stored.begin(), stored.end());
  for (const json& record : shown) {
    const std::string id = record["id"];
    EXPECT_NE(kept.count(id) + unstored.count(id), 0u) << id;
    EXPECT_FALSE(kept.count(id) > 0 && unstored.count(id) > 0) << id;
  }
  EXPECT_EQ(kept.size() - 1 + unstored.size(), shown.size());
}

TEST(FwStation, FirstSignalLetsRunningUpdatesFinish) {
  ScratchDir dir;
  dir.Write("KORVALEN_TIDE.bin", CountingImage(32768));
  const FwResult run = RunSignalled(
      dir, {"station", "--db", "line.sqlite", "--simulate", "--json", "--plug", "at=0,model=2",
            "--plug", "at=0,model=2", "--plug", "at=20,model=2"},
      "sleep 1; kill -TERM $P");
  EXPECT_EQ(run.exit_code, 0) << run.err;
  EXPECT_NE(run.err.find("stopping: no new devices are taken; 2 running updates finish"),
            std::string::npos)
      << run.err;
  const auto records = JsonLines(run.out);
  ASSERT_EQ(records.size(), 2u) << run.out;
  for (const json& record : records) EXPECT_EQ(record["result"], "passed");
  EXPECT_EQ(StoredIds(dir, "line.sqlite").size(), 2u);
}

TEST(FwStation, SecondSignalStopsTheRunningUpdatesAndRecordsThem) {
  ScratchDir dir;
  dir.Write("KORVALEN_TIDE.bin", CountingImage(32768));
  const FwResult run = RunSignalled(
      dir, {"station", "--db", "line.sqlite", "--simulate", "--json", "--plug", "at=0,model=2",
            "--plug", "at=0,model=2"},
      "sleep 1; kill -TERM $P; sleep 0.5; kill -TERM $P");
  EXPECT_EQ(run.exit_code, 1) << run.err;
  EXPECT_NE(run.err.find("stopping the running updates as Stop does"), std::string::npos)
      << run.err;
  const auto records = JsonLines(run.out);
  ASSERT_EQ(records.size(), 2u) << run.out;
  for (const json& record : records) {
    EXPECT_EQ(record["result"], "stopped");
    EXPECT_FALSE(record["failed_step"].is_null());
  }
  EXPECT_EQ(StoredIds(dir, "line.sqlite").size(), 2u);
}

TEST(FwStation, AFileChangedOnDiskIsNotedAndNotReloaded) {
  ScratchDir dir;
  dir.Write("KORVALEN_TIDE.bin", CountingImage(4096));
  const FwResult run = RunSignalled(
      dir, {"station", "--db", "line.sqlite", "--simulate", "--json", "--plug", "at=3,model=2",
            "--exit-after", "1"},
      "sleep 1; printf 'other' > KORVALEN_TIDE.bin");
  EXPECT_EQ(run.exit_code, 0) << run.err;
  EXPECT_NE(run.err.find("KORVALEN_TIDE.bin changed on disk"), std::string::npos) << run.err;
  const auto records = JsonLines(run.out);
  ASSERT_EQ(records.size(), 1u) << run.out;
  EXPECT_EQ(records[0]["result"], "passed");
  EXPECT_EQ(records[0]["file_sha256"], kCounting4096Sha256);
}

TEST(FwStation, TwoStationsOnOneStoreBothRecord) {
  ScratchDir dir;
  dir.Write("KORVALEN_TIDE.bin", CountingImage(300));
  std::vector<std::string> plugs;
  for (int i = 0; i < 20; ++i) {
    plugs.push_back("--plug");
    plugs.push_back("at=" + std::to_string(i * 0.05).substr(0, 4) + ",model=2");
  }
  const auto a = With(With(kFastLine, {"--station", "a"}), plugs);
  const auto b = With(With(kFastLine, {"--station", "b"}), plugs);
  ASSERT_EQ(RunFw(dir, {"station", "--db", "line.sqlite", "--simulate", "--fast", "--plug",
                        "at=0,model=2"}).exit_code, 0);
  std::string both = "cd " + Quote(dir.path().string()) + " && { ";
  for (const auto* args : {&a, &b}) {
    both += Quote(KORVALEN_FW_BINARY);
    for (const std::string& arg : *args) both += " " + Quote(arg);
    both += " >/dev/null 2>&1 & ";
  }
  both += "wait; }";
  ASSERT_EQ(std::system(both.c_str()), 0);
  EXPECT_EQ(StoredIds(dir, "line.sqlite").size(), 41u);
}

}  // namespace
}  // namespace korvalen::testing

namespace korvalen::testing {
namespace {

using nlohmann::json;

std::vector<json> LineRecords(const std::string& text) {
  std::vector<json> lines;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty()) lines.push_back(json::parse(line));
  }
  return lines;
}

// The record of the device on port, from JSON Lines.
json OnPort(const std::vector<json>& records, int port) {
  const std::string path = "usb:bus-001:port-" + std::to_string(port);
  for (const json& record : records) {
    if (record["device_path"] == path) return record;
  }
  ADD_FAILURE() << "no record for " << path;
  return json::object();
}

std::vector<std::string> SerialLine(std::vector<std::string> more) {
  std::vector<std::string> args = {"station", "--db",   "line.sqlite", "--simulate",
                                   "--fast",  "--json", "KORVALEN_TIDE.bin"};
  args.insert(args.end(), more.begin(), more.end());
  return args;
}

TEST(FwStationSerial, PassedUnitsTakeConsecutiveSerialsAndAVoidOneIsNeverGivenAgain) {
  ScratchDir dir;
  dir.Write("KORVALEN_TIDE.bin", CountingImage(4096));
  const FwResult run = RunFw(
      dir, SerialLine({"--serial", "KV-{seq:3}", "--serial-start", "7", "--plug",
                       "at=0,model=2", "--plug", "at=1,model=2,fault=weak:0x100:9", "--plug",
                       "at=2,model=2", "--plug", "at=3,model=2,fault=mailbox-silent", "--plug",
                       "at=4,model=2", "--exit-after", "5"}));
  // A failed unit and a void serial: the line is not done.
  EXPECT_EQ(run.exit_code, 1) << run.err;
  EXPECT_NE(run.err.find("void"), std::string::npos) << run.err;
  const auto records = LineRecords(run.out);
  ASSERT_EQ(records.size(), 5u) << run.out;

  const json failed = OnPort(records, 2);
  EXPECT_EQ(failed["result"], "failed");
  EXPECT_TRUE(failed["serial_sent"].is_null());
  EXPECT_EQ(failed["serial_state"], "none");

  const json silent = OnPort(records, 4);
  EXPECT_EQ(silent["result"], "passed");
  EXPECT_EQ(silent["serial_state"], "void");

  // Every passed unit took its own number from 7 on; the failed one none.
  std::set<std::string> sent;
  for (int port : {1, 3, 4, 5}) {
    const json record = OnPort(records, port);
    EXPECT_EQ(record["serial_format"], "KV-{seq:3}");
    if (port != 4) EXPECT_EQ(record["serial_state"], "delivered") << record.dump();
    sent.insert(record["serial_sent"].get<std::string>());
  }
  EXPECT_EQ(sent, (std::set<std::string>{"KV-007", "KV-008", "KV-009", "KV-010"}));

  // The next station on the store carries on after the void serial.
  const FwResult next = RunFw(
      dir, SerialLine({"--serial", "KV-{seq:3}", "--plug", "at=0,model=2", "--exit-after", "1"}));
  ASSERT_EQ(next.exit_code, 0) << next.err;
  const auto more = LineRecords(next.out);
  ASSERT_EQ(more.size(), 1u);
  EXPECT_EQ(more[0]["serial_sent"], "KV-011");

  // history shows the void one as void.
  const FwResult history = RunFw(dir, {"history", "--db", "line.sqlite"});
  EXPECT_NE(history.out.find(silent["serial_sent"].get<std::string>() + " (void)"),
            std::string::npos)
      << history.out;
}

TEST(FwStationSerial, KeepSerialKeepsAUnitsOwnSerialAndTheCounterSkipsIt) {
  ScratchDir dir;
  dir.Write("KORVALEN_TIDE.bin", CountingImage(4096));
  const FwResult run = RunFw(
      dir, SerialLine({"--serial", "KV-{seq:3}", "--serial-start", "5", "--keep-serial",
                       "--plug", "at=0,model=2,serial=KV-005", "--plug",
                       "at=1,model=2,serial=BENCH 12", "--plug", "at=2,model=2", "--plug",
                       "at=3,model=2", "--exit-after", "4"}));
  ASSERT_EQ(run.exit_code, 0) << run.err;
  const auto records = LineRecords(run.out);
  ASSERT_EQ(records.size(), 4u) << run.out;
  const json matching = OnPort(records, 1);
  EXPECT_EQ(matching["serial_state"], "kept");
  EXPECT_EQ(matching["serial_before"], "KV-005");
  EXPECT_TRUE(matching["serial_sent"].is_null());
  const json other = OnPort(records, 2);
  EXPECT_EQ(other["serial_state"], "kept");
  EXPECT_EQ(other["serial_before"], "BENCH 12");
  EXPECT_TRUE(other["serial_sent"].is_null());
  EXPECT_EQ((std::set<std::string>{OnPort(records, 3)["serial_sent"], OnPort(records, 4)["serial_sent"]}),
            (std::set<std::string>{"KV-006", "KV-007"}));

  // Without --keep-serial a unit's old serial is replaced and recorded.
  const FwResult replaced = RunFw(
      dir, SerialLine({"--serial", "KV-{seq:3}", "--plug", "at=0,model=2,serial=BENCH 12",
                       "--exit-after", "1"}));
  ASSERT_EQ(replaced.exit_code, 0) << replaced.err;
  const auto one = LineRecords(replaced.out);
  ASSERT_EQ(one.size(), 1u);
  EXPECT_EQ(one[0]["serial_before"], "BENCH 12");
  EXPECT_EQ(one[0]["serial_sent"], "KV-008");
  EXPECT_EQ(one[0]["serial_state"], "delivered");
}

TEST(FwStationSerial, AUnitPluggedBackReportsItsSerialAndItsRecordIsVerified) {
  ScratchDir dir;
  dir.Write("KORVALEN_TIDE.bin", CountingImage(4096));
  // The same unit twice on port 1, then another unit.
  const FwResult run = RunFw(
      dir, SerialLine({"--serial", "SN{seq:4}", "--plug", "at=0,model=2,port=1", "--plug",
                       "at=0,model=2,port=1", "--plug", "at=0,model=2,port=2", "--exit-after",
                       "3"}));
  ASSERT_EQ(run.exit_code, 0) << run.err;
  const auto records = LineRecords(run.out);
  ASSERT_EQ(records.size(), 3u) << run.out;
  std::vector<json> port1;
  for (const json& record : records) {
    if (record["device_path"] == "usb:bus-001:port-1") port1.push_back(record);
  }
  ASSERT_EQ(port1.size(), 2u);
  const std::string given = port1[0]["serial_sent"];
  // Back again it reports the serial and keeps it: one unit, one number.
  EXPECT_EQ(port1[1]["serial_before"], given);
  EXPECT_EQ(port1[1]["serial_state"], "kept");
  EXPECT_TRUE(port1[1]["serial_sent"].is_null());
  const json other = OnPort(records, 2);
  EXPECT_NE(other["serial_sent"], given);

  const FwResult history = RunFw(dir, {"history", "--db", "line.sqlite", "--json"});
  ASSERT_EQ(history.exit_code, 0) << history.err;
  int verified = 0;
  const json kept = history.Json();
  for (const json& record : kept["records"]) {
    if (record["serial_state"] == "verified") {
      ++verified;
      EXPECT_EQ(record["serial_sent"], given);
    }
  }
  EXPECT_EQ(verified, 1) << history.out;
}

TEST(FwStationSerial, UnitsInAnUpdateIdentityTakeNoSerial) {
  ScratchDir dir;
  dir.Write("KORVALEN_TIDE.bin", CountingImage(4096));
  const FwResult run = RunFw(
      dir, SerialLine({"--serial", "SN{seq:4}", "--recovery-model", "KORVALEN_TIDE", "--plug",
                       "at=0,model=5e1a", "--exit-after", "1"}));
  const auto records = LineRecords(run.out);
  ASSERT_EQ(records.size(), 1u) << run.err;
  EXPECT_TRUE(records[0]["serial_sent"].is_null()) << run.out;
  EXPECT_EQ(records[0]["serial_state"], "none");
}

TEST(FwStationSerial, TwoStationsOnOneStoreNeverGiveTheSameSerial) {
  ScratchDir dir;
  dir.Write("KORVALEN_TIDE.bin", CountingImage(4096));
  std::string command = "cd " + Quote(dir.path().string()) + " && { ";
  for (int station = 0; station < 2; ++station) {
    command += "{ " + Quote(KORVALEN_FW_BINARY) + " station --db line.sqlite --simulate --fast " +
               "--json KORVALEN_TIDE.bin --serial 'SN{seq:4}' --exit-after 4";
    for (int plug = 0; plug < 4; ++plug) command += " --plug at=" + std::to_string(plug) + ",model=2";
    command += " >out" + std::to_string(station) + ".txt 2>&1; } & ";
  }
  command += "wait; }";
  ASSERT_EQ(std::system(command.c_str()), 0);
  std::set<std::string> sent;
  for (int station = 0; station < 2; ++station) {
    const std::string out = ReadAll(dir.path() / ("out" + std::to_string(station) + ".txt"));
    SCOPED_TRACE(out);
    std::istringstream in(out);
    std::string line;
    while (std::getline(in, line)) {
      if (line.empty() || line[0] != '{') continue;
      const json record = json::parse(line);
      EXPECT_EQ(record["serial_state"], "delivered") << line;
      sent.insert(record["serial_sent"].get<std::string>());
    }
  }
  EXPECT_EQ(sent.size(), 8u);
  EXPECT_EQ(*sent.begin(), "SN0001");
  EXPECT_EQ(*sent.rbegin(), "SN0008");
}

TEST(FwStationSerial, RefusedFormatsExitTwoBeforeAnythingIsSent) {
  ScratchDir dir;
  dir.Write("KORVALEN_TIDE.bin", CountingImage(4096));
  const std::vector<std::vector<std::string>> refused = {
      {"--serial", "SN-FIXED"},
      {"--serial", "SN{seq}"},
      {"--serial", "KORVALEN-TIDE-{yyyy}{mm}{dd}-{seq:9}"},
      {"--serial", "SN\xC3\xA9{seq:4}"},
      {"--serial", "SN{seq:2}", "--serial-start", "100"},
      {"--keep-serial"},
  };
  for (const auto& options : refused) {
    std::vector<std::string> args = options;
    args.insert(args.end(), {"--plug", "at=0,model=2", "--exit-after", "1"});
    const FwResult run = RunFw(dir, SerialLine(args));
    EXPECT_EQ(run.exit_code, 2) << options[0] << " " << options.back() << "\n" << run.err;
    // The refusal is the only answer: no record, no update.
    EXPECT_EQ(run.out.find("device_path"), std::string::npos) << run.out;
    EXPECT_NE((run.out + run.err).find(options[0]), std::string::npos) << run.out << run.err;
    EXPECT_FALSE(std::filesystem::exists(dir.path() / "line.sqlite"));
  }
}

TEST(FwList, ShowsTheSerialASimulatedDeviceWasGivenOnceItEnumeratesAgain) {
  ScratchDir dir;
  const std::vector<std::string> list = {"list", "--simulate=2", "--sim-state", "kept", "--json"};
  const FwResult before = RunFw(dir, list);
  ASSERT_EQ(before.exit_code, 0) << before.err;
  ASSERT_EQ(before.Json().size(), 1u);
  EXPECT_TRUE(before.Json()[0]["serial"].is_null()) << before.out;

  const FwResult sent =
      RunFw(dir, {"identity", "--simulate=2", "--sim-state", "kept", "--serial", "KV-2026-0042"});
  ASSERT_EQ(sent.exit_code, 0) << sent.err;
  const FwResult after = RunFw(dir, list);
  ASSERT_EQ(after.exit_code, 0) << after.err;
  EXPECT_EQ(after.Json()[0]["serial"], "KV-2026-0042") << after.out;
  const FwResult text = RunFw(dir, {"list", "--simulate=2", "--sim-state", "kept"});
  EXPECT_NE(text.out.find("KV-2026-0042"), std::string::npos) << text.out;
}

}  // namespace
}  // namespace korvalen::testing
