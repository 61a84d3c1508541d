// korvalen-fw --record and --replay as a user runs them: the kept recordings
// replay to the verdict they were recorded with, a recording of a run
// replays to the same report, and a replay that goes another way fails.
#include <gtest/gtest.h>

#include <sstream>

#include "tests/cli/FwRun.h"

namespace korvalen::testing {
namespace {

using nlohmann::json;
namespace fs = std::filesystem;

const fs::path kRecordings = KORVALEN_RECORDINGS_DIR;

struct Fixture {
  std::string name;
  std::vector<std::string> command;
  bool wall_clock = false;  // recorded on a real stack: durations are not replayed
};

std::string Trim(const std::string& text) {
  const size_t first = text.find_first_not_of(' ');
  const size_t last = text.find_last_not_of(' ');
  return first == std::string::npos ? "" : text.substr(first, last - first + 1);
}

std::vector<Fixture> LoadFixtures() {
  std::vector<Fixture> fixtures;
  std::ifstream in(kRecordings / "fixtures.txt");
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == '#') continue;
    std::stringstream fields(line);
    std::string name, sim, command;
    std::getline(fields, name, '|');
    std::getline(fields, sim, '|');
    std::getline(fields, command);
    Fixture fixture{Trim(name), {}, Trim(sim) == "vm"};
    std::stringstream words(command);
    for (std::string word; words >> word;) fixture.command.push_back(word);
    fixtures.push_back(std::move(fixture));
  }
  return fixtures;
}

std::vector<std::string> Joined(std::vector<std::string> head,
                                const std::vector<std::string>& tail) {
  head.insert(head.end(), tail.begin(), tail.end());
  return head;
}

// The report with every "duration_ms" taken out, at any depth.
json WithoutDurations(json report) {
  if (report.is_object()) {
    report.erase("duration_ms");
    for (auto& [key, value] : report.items()) value = WithoutDurations(value);
  } else if (report.is_array()) {
    for (auto& value : report) value = WithoutDurations(value);
  }
  return report;
}

class KeptRecording : public ::testing::TestWithParam<Fixture> {};

TEST_P(KeptRecording, ReplaysToTheRecordedVerdict) {
  const Fixture& fixture = GetParam();
  ScratchDir dir;
  fs::copy_file(kRecordings / "small.bin", dir.path() / "small.bin");
  const FwResult run =
      RunFw(dir, Joined({"--replay", (kRecordings / (fixture.name + ".pcap")).string(), "--json"},
                        fixture.command));
  ASSERT_EQ(run.exit_code, 0) << run.err;
  const json recorded = json::parse(ReadAll(kRecordings / (fixture.name + ".json")));
  if (fixture.wall_clock) {
    EXPECT_EQ(WithoutDurations(run.Json()), WithoutDurations(recorded));
  } else {
    EXPECT_EQ(run.Json(), recorded);
  }
}

INSTANTIATE_TEST_SUITE_P(Fixtures, KeptRecording, ::testing::ValuesIn(LoadFixtures()),
                         [](const auto& info) {
                           std::string name = info.param.name;
                           for (char& c : name) c = std::isalnum(c) ? c : '_';
                           return name;
                         });

TEST(FwRecord, KeptRecordingsCoverEveryFlashPartARetryAndTheEngineeringPages) {
  std::vector<std::string> names;
  for (const Fixture& f : LoadFixtures()) names.push_back(f.name);
  for (const char* needed : {"update-page256", "update-page32", "update-aai", "update-retry",
                             "read-bank", "settings-exchange", "vm-update"}) {
    EXPECT_NE(std::find(names.begin(), names.end(), needed), names.end()) << needed;
  }
  const json retry = json::parse(ReadAll(kRecordings / "update-retry.json"));
  EXPECT_EQ(retry["verdict"], "success");
  EXPECT_GT(retry["attempts"].size(), 1u);
}

TEST(FwRecord, AnotherUpdateFileAgainstARecordingFailsSayingWhere) {
  ScratchDir dir;
  auto other = CountingImage(2048);
  other[700] ^= 0xFF;
  dir.Write("small.bin", other);
  const FwResult run = RunFw(dir, {"--replay", (kRecordings / "update-page256.pcap").string(),
                                   "--json", "update", "--yes", "small.bin"});
  EXPECT_EQ(run.exit_code, 1);
  EXPECT_NE(run.err.find("replay of "), std::string::npos) << run.err;
  EXPECT_NE(run.err.find(" differs from recorded transfer "), std::string::npos) << run.err;
  EXPECT_NE(run.err.find("expected: OUT"), std::string::npos) << run.err;
  EXPECT_NE(run.err.find("actual:   OUT"), std::string::npos) << run.err;
  // The third 256-byte page is the first that differs, at its byte 700 - 512.
  EXPECT_NE(run.err.find("data differs first at byte 188"), std::string::npos) << run.err;
  EXPECT_EQ(run.Json()["verdict"], "failed");
}

TEST(FwRecord, ARecordedRunReplaysToTheSameReport) {
  ScratchDir dir;
  dir.Write("fw.bin", CountingImage(3000));
  const FwResult recorded =
      RunFw(dir, {"--simulate", "--fast", "--flash", "aai", "--fault", "reject:60", "--record",
                  "run.pcap", "--json", "update", "--yes", "fw.bin"});
  ASSERT_EQ(recorded.exit_code, 0) << recorded.err;
  const FwResult replayed =
      RunFw(dir, {"--replay", "run.pcap", "--json", "update", "--yes", "fw.bin"});
  ASSERT_EQ(replayed.exit_code, 0) << replayed.err;
  EXPECT_EQ(replayed.Json(), recorded.Json());
  // Recording changes nothing that is sent: the same run unrecorded.
  const FwResult plain = RunFw(dir, {"--simulate", "--fast", "--flash", "aai", "--fault",
                                     "reject:60", "--json", "update", "--yes", "fw.bin"});
  EXPECT_EQ(plain.Json(), recorded.Json());
}

// Parallel updates write one recording from several threads; the replay
// keeps each device's transfers in their own order.
TEST(FwRecord, ParallelUpdatesRecordAndReplayPerDevice) {
  ScratchDir dir;
  dir.Write("fw.bin", CountingImage(1500));
  const FwResult recorded =
      RunFw(dir, {"--simulate", "--fast", "--devices", "3", "--fault", "weak:0x80:1@2", "--record",
                  "all.pcap", "--json", "update", "--all", "--yes", "fw.bin"});
  ASSERT_EQ(recorded.exit_code, 0) << recorded.err;
  ASSERT_EQ(recorded.Json().size(), 3u);
  const FwResult replayed =
      RunFw(dir, {"--replay", "all.pcap", "--json", "update", "--all", "--yes", "fw.bin"});
  ASSERT_EQ(replayed.exit_code, 0) << replayed.err;
  EXPECT_EQ(replayed.Json(), recorded.Json());
}

TEST(FwRecord, ADiskThatFillsStopsTheRecordingNotTheUpdate) {
  ScratchDir dir;
  dir.Write("fw.bin", CountingImage(3000));
  // Files may not grow past 8 KiB; the shell passes the ignored signal on,
  // so the write fails instead of killing the program.
  const FwResult run = RunFw(
      dir, {"--simulate", "--fast", "--record", "run.pcap", "--json", "update", "--yes", "fw.bin"},
      "", "trap '' XFSZ; ulimit -f 8; ");
  ASSERT_EQ(run.exit_code, 0) << run.err;
  EXPECT_EQ(run.Json()["verdict"], "success");
  EXPECT_NE(run.err.find("recording to run.pcap stopped"), std::string::npos) << run.err;
}

TEST(FwRecord, RefusesBeforeSendingAnything) {
  ScratchDir dir;
  dir.Write("fw.bin", CountingImage(3000));
  const FwResult unwritable = RunFw(
      dir, {"--simulate", "--fast", "--record", "no/such/dir.pcap", "update", "--yes", "fw.bin"});
  EXPECT_EQ(unwritable.exit_code, 2);
  EXPECT_NE(unwritable.err.find("--record: cannot create no/such/dir.pcap"), std::string::npos)
      << unwritable.err;

  std::ofstream(dir.path() / "notes.pcap") << "not a capture";
  const FwResult not_capture = RunFw(dir, {"--replay", "notes.pcap", "list"});
  EXPECT_EQ(not_capture.exit_code, 2);
  EXPECT_NE(not_capture.err.find("--replay: cannot read notes.pcap"), std::string::npos)
      << not_capture.err;

  const FwResult both =
      RunFw(dir, {"--simulate", "--replay", (kRecordings / "read-bank.pcap").string(), "list"});
  EXPECT_EQ(both.exit_code, 2);
  EXPECT_NE(both.err.find("exclude each other"), std::string::npos) << both.err;
}

}  // namespace
}  // namespace korvalen::testing
