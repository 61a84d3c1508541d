// No false success around the update: each row is a hostile run of
// korvalen-fw on a simulated device, with the exit status it must give and
// a fragment of what it must say (on either stream).
#include <gtest/gtest.h>

#include <signal.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <thread>

#include "tests/cli/FwRun.h"

namespace korvalen::testing {
namespace {

using nlohmann::json;

constexpr size_t kImageSize = 3000;

struct Case {
  const char* what;
  // An update of fw.bin runs first on the kept device, so the flash holds
  // firmware.
  bool updated_first;
  std::vector<std::string> args;
  int exit_code;
  const char* fragment;
  // The simulated model (--simulate=MODEL); the default one when empty.
  std::string model = {};
  // Runs first in the program's shell: limits for it.
  std::string shell = {};
};

const Case kCases[] = {
    // The gate of read and verify: a lost request on the way in is retried,
    // an ID that never comes fails the command.
    {"read after a rejected ISP entry reads the firmware", true,
     {"read", "back.bin", "--size", "3000", "--fault", "reject:2"}, 0, "read 3000 bytes"},
    {"read after a rejected pin routing reads the firmware", true,
     {"read", "back.bin", "--size", "3000", "--fault", "reject:4"}, 0, "read 3000 bytes"},
    {"read after a rejected ID read reads the firmware", true,
     {"read", "back.bin", "--size", "3000", "--fault", "reject:6"}, 0, "read 3000 bytes"},
    {"read of a flash whose ID never comes fails", true,
     {"read", "back.bin", "--fault", "stuck-busy"}, 1, "the flash ID could not be read"},
    {"verify of a blank file after a rejected routing differs", true,
     {"verify", "blank.bin", "--fault", "reject:4"}, 1, "differs from the flash: first at 0x000000"},
    {"verify of a flash whose ID never comes is not a match", true,
     {"verify", "blank.bin", "--fault", "stuck-busy"}, 1, "could not be compared"},
    {"read without --size reads the whole 512 KiB part", false,
     {"read", "big.bin", "--flash", "sst25vf040b"}, 0, "read 524288 bytes"},
    {"read past the end of the part fails instead of mirroring", true,
     {"read", "back.bin", "--size", "300000"}, 1, "more than the flash holds (262144 bytes"},
    {"read --dump honours --size", true,
     {"read", "dump.txt", "--dump", "--size", "100"}, 0, "read 100 bytes"},
    // The ID read is the gate of the update, not the entry request.
    {"update after a refused ISP entry goes on to the ID read", false,
     {"update", "fw.bin", "-y", "--fault", "reject:2"}, 0, "Enter ISP Mode Fail"},
    // Late rejections: a lost status read in the final protection wait.
    {"update with a late rejection says the device may be in update mode", false,
     {"update", "fw.bin", "-y", "--json", "--fault", "reject:669"}, 0,
     "\"left_update_mode\": false"},
    // A lost register read is no version.
    {"list --firmware after a lost request shows no version", false,
     {"list", "--firmware", "--fault", "reject:3"}, 1, "could not be read: 1 request was not carried"},
    // Every --json outcome is a document.
    {"a missing update file with --json", false,
     {"update", "none.bin", "-y", "--json"}, 2, "\"exit\": 2"},
    {"a bad --size with --json", false, {"read", "x.bin", "--size", "0", "--json"}, 2,
     "\"error\": \"--size must be from 1"},
    {"an unknown option with --json", false, {"update", "--bogus", "--json"}, 2,
     "\"error\": \"The following argument was not expected: --bogus"},
    // Smaller mends.
    {"every repeated --fault applies", false,
     {"list", "--firmware", "--fault", "reject:3", "--fault", "reject:9000"}, 1,
     "1 request was not carried"},
    {"an unplug in the pin routing is one in the entry", false,
     {"update", "fw.bin", "-y", "--fault", "vanish:5"}, 1,
     "stopped answering during the entry into update mode"},
    {"identity texts are counted in bytes", false,
     {"identity", "--manufacturer", "\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9"
                                    "\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9"
                                    "\xC3\xA9\xC3\xA9"},
     2, "it has 32 bytes, the device takes at most 31"},
    {"a firmware-update identity takes any model's file, with a note", false,
     {"update", "KORVALEN_TIDE.bin", "-y"}, 0,
     "note: KORVALEN_TIDE.bin is the update file of KORVALEN TIDE", "5e1a"},
    // Bytes of another encoding are shown escaped in every message.
    {"a fault text with a byte that is not UTF-8", false,
     {"list", "--fault", "bad\xFF"}, 2, "--fault bad\\xFF: fault"},
    {"an unknown option with a byte that is not UTF-8", false,
     {"list", "--\xC3"}, 2, "not expected: --\\xC3"},
    // The loaders: what a file says is where its bytes go, and no further.
    {"a HEX record under a segment base wraps within the segment", false,
     {"verify", "segment.hex"}, 1, "differs from the flash: first at 0x010000, file 0x03"},
    {"a HEX data record without bytes adds no length", false,
     {"verify", "short.hex"}, 1, "(2 bytes)"},
    // Outputs that were not saved.
    {"a report name too long is refused before anything is sent", false,
     {"update", "fw.bin", "-y", "--report", std::string(300, 'r') + ".json"}, 2,
     "the file name is longer than 255"},
    {"kept devices that cannot be saved after the update", false,
     {"update", "fw.bin", "-y"}, 5, "the simulated devices were not saved", "",
     "trap '' XFSZ; ulimit -f 16; "},
};

class FalseSuccess : public ::testing::TestWithParam<Case> {};

TEST_P(FalseSuccess, ExitStatusAndMessage) {
  const Case& c = GetParam();
  ScratchDir dir;
  const auto image = CountingImage(kImageSize);
  dir.Write("fw.bin", image);
  dir.Write("blank.bin", std::vector<uint8_t>(kImageSize, 0xFF));
  dir.Write("KORVALEN_TIDE.bin", image);
  // Segment 0x1000, four bytes from offset 0xFFFE: the last two land at
  // 0x10000.
  std::ofstream(dir.path() / "segment.hex") << ":020000021000EC\n:04FFFE0001020304F5\n:00000001FF\n";
  std::ofstream(dir.path() / "short.hex") << ":020000000102FB\n:0080000080\n:00000001FF\n";
  const std::vector<std::string> sim = {
      c.model.empty() ? std::string("--simulate") : "--simulate=" + c.model, "--fast",
      "--sim-state", "state"};
  auto with = [&](std::vector<std::string> args) {
    args.insert(args.end(), sim.begin(), sim.end());
    return RunFw(dir, args);
  };
  if (c.updated_first) {
    ASSERT_EQ(with({"update", "fw.bin", "-y"}).exit_code, 0);
  }

  std::vector<std::string> args = c.args;
  args.insert(args.end(), sim.begin(), sim.end());
  const FwResult run = RunFw(dir, args, "", c.shell);
  EXPECT_EQ(run.exit_code, c.exit_code) << run.out << run.err;
  EXPECT_NE((run.out + run.err).find(c.fragment), std::string::npos) << run.out << run.err;

  // With --json standard output is one document, and an error document
  // carries the exit status.
  if (std::find(c.args.begin(), c.args.end(), "--json") != c.args.end()) {
    const json document = run.Json();
    if (document.is_object() && document.contains("error") && document.contains("exit")) {
      EXPECT_EQ(document["exit"], c.exit_code);
    }
  }
  // A read that succeeds holds the firmware, never the pass-through's 0xFF;
  // one that fails leaves no file.
  if (c.args[0] == "read" && c.args[1] == "back.bin") {
    if (c.exit_code == 0) {
      EXPECT_EQ(ReadAll(dir.path() / "back.bin"), std::string(image.begin(), image.end()));
    } else {
      EXPECT_FALSE(std::filesystem::exists(dir.path() / "back.bin"));
    }
  }
  // The update through a refused entry wrote the firmware.
  if (c.args[0] == "update" && c.exit_code == 0) {
    const FwResult again = with({"verify", "fw.bin"});
    EXPECT_EQ(again.exit_code, 0) << again.out << again.err;
  }
}

INSTANTIATE_TEST_SUITE_P(Rows, FalseSuccess, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<Case>& info) {
                           return "Row" + std::to_string(info.index);
                         });

TEST(FalseSuccessReport, EveryLostRequestOfTheWayOutGivesTheNotice) {
  ScratchDir dir;
  dir.Write("fw.bin", CountingImage(kImageSize));
  const std::vector<std::string> update = {"update", "fw.bin", "--simulate", "--fast", "-y",
                                           "--json"};
  const FwResult clean = RunFw(dir, update);
  ASSERT_EQ(clean.exit_code, 0) << clean.err;
  EXPECT_EQ(clean.Json()["probe"], "ok");
  EXPECT_EQ(clean.Json()["left_update_mode"], true);
  const int requests = clean.Json()["requests"];
  // The protection write, its wait and the ISP exit are the last ten.
  for (int n = requests - 10; n < requests; ++n) {
    SCOPED_TRACE(n);
    std::vector<std::string> args = update;
    args.insert(args.end(), {"--fault", "reject:" + std::to_string(n)});
    const FwResult run = RunFw(dir, args);
    const json report = run.Json();
    EXPECT_EQ(report["verdict"], "success");
    EXPECT_EQ(report["left_update_mode"], false);
    EXPECT_TRUE(report["notice"].is_string());
    // A status read that was not carried is never reported as the status.
    EXPECT_NE(report["status_after"], "0xFF");
  }
}

TEST(FalseSuccessReport, RefusedEntryIsAFailedStepAndTheIdReadStillFollows) {
  ScratchDir dir;
  dir.Write("fw.bin", CountingImage(kImageSize));
  const FwResult run = RunFw(dir, {"update", "fw.bin", "--simulate", "--fast", "-y", "--fault",
                                   "reject:2", "--json"});
  ASSERT_EQ(run.exit_code, 0) << run.err;
  const json report = run.Json();
  ASSERT_GE(report["attempts"].size(), 1u);
  const json& steps = report["attempts"][0]["steps"];
  ASSERT_EQ(steps.size(), 2u);
  EXPECT_EQ(steps[0]["step"], "isp-entry");
  EXPECT_EQ(steps[0]["result"], "failed");
  // The simulated device that refused the entry is not in ISP mode, so its
  // ID read fails too and only that ends the attempt.
  EXPECT_EQ(steps[1]["step"], "read-id");
  EXPECT_EQ(steps[1]["result"], "failed");
  EXPECT_EQ(report["attempts"].size(), 2u);
  EXPECT_EQ(report["verdict"], "success");
}

// A kept device whose save fails keeps its previous state whole, and a save
// cut off between putting the old state aside and the new one in place is
// found again.
TEST(FalseSuccessState, AFailedOrInterruptedSaveLeavesThePreviousDevice) {
  ScratchDir dir;
  dir.Write("fw.bin", CountingImage(kImageSize));
  std::vector<uint8_t> other = CountingImage(kImageSize);
  for (uint8_t& byte : other) byte ^= 0x5A;
  dir.Write("other.bin", other);
  const std::vector<std::string> sim = {"--simulate", "--fast", "--sim-state", "state"};
  auto with = [&](std::vector<std::string> args, const std::string& shell = {}) {
    args.insert(args.end(), sim.begin(), sim.end());
    return RunFw(dir, args, "", shell);
  };
  ASSERT_EQ(with({"update", "fw.bin", "-y"}).exit_code, 0);

  const FwResult unsaved = with({"update", "other.bin", "-y"}, "trap '' XFSZ; ulimit -f 16; ");
  EXPECT_EQ(unsaved.exit_code, 5) << unsaved.out << unsaved.err;
  EXPECT_FALSE(std::filesystem::exists(dir.path() / "state" / "device-1.saving"));
  const FwResult still = with({"verify", "fw.bin"});
  EXPECT_EQ(still.exit_code, 0) << still.out << still.err;

  std::filesystem::rename(dir.path() / "state" / "device-1",
                          dir.path() / "state" / "device-1.previous");
  const FwResult found = with({"verify", "fw.bin"});
  EXPECT_EQ(found.exit_code, 0) << found.out << found.err;
  // The next save puts the device back in its own folder.
  EXPECT_TRUE(std::filesystem::is_directory(dir.path() / "state" / "device-1"));
  EXPECT_FALSE(std::filesystem::exists(dir.path() / "state" / "device-1.previous"));
}

// ---- Signals during an update -------------------------------------------------

// Starts korvalen-fw in the background in dir: its process id goes to
// fw.pid, its exit status to fw.rc once it ends.
long StartFw(const ScratchDir& dir, const std::vector<std::string>& args) {
  std::string command = "cd " + Quote(dir.path().string()) +
                        " && ( sh -c 'echo $$ >fw.pid; exec \"$0\" \"$@\"' " +
                        Quote(KORVALEN_FW_BINARY);
  for (const std::string& arg : args) command += " " + Quote(arg);
  command += " </dev/null >fw.out 2>fw.err; echo $? >fw.rc ) >/dev/null 2>&1 &";
  if (std::system(command.c_str()) != 0) return -1;
  for (int i = 0; i < 500; ++i) {
    const std::string pid = ReadAll(dir.path() / "fw.pid");
    if (pid.ends_with("\n")) return std::stol(pid);
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return -1;
}

bool WaitFor(const std::filesystem::path& path, const std::string& text) {
  for (int i = 0; i < 3000; ++i) {
    if (ReadAll(path).find(text) != std::string::npos) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

// The exit status, once the program has ended (-1 when it did not in time).
int WaitForExitStatus(const ScratchDir& dir) {
  return WaitFor(dir.path() / "fw.rc", "\n") ? std::stoi(ReadAll(dir.path() / "fw.rc")) : -1;
}

TEST(FalseSuccessSignals, FirstSignalStopsTheUpdateAsTheWindowsStopDoes) {
  for (const int signal : {SIGINT, SIGTERM}) {
    SCOPED_TRACE(signal);
    ScratchDir dir;
    dir.Write("fw.bin", CountingImage(0x10000));
    // Real time, so the signal lands in the middle of the programming.
    const long pid = StartFw(dir, {"update", "fw.bin", "-y", "--simulate", "--report", "r.json"});
    ASSERT_GT(pid, 0);
    ASSERT_TRUE(WaitFor(dir.path() / "fw.out", "Start Programming"));
    ::kill(static_cast<pid_t>(pid), signal);
    EXPECT_EQ(WaitForExitStatus(dir), 1) << ReadAll(dir.path() / "fw.err");
    const json report = json::parse(ReadAll(dir.path() / "r.json"));
    EXPECT_EQ(report["verdict"], "stopped");
    // The way out still ran: protection written, ISP mode left.
    EXPECT_EQ(report["left_update_mode"], true);
    EXPECT_EQ(report["device_gone"], false);
  }
}

TEST(FalseSuccessSignals, SecondSignalWithinFiveSecondsEndsAtOnceWith130) {
  ScratchDir dir;
  dir.Write("fw.bin", CountingImage(0x10000));
  const long pid = StartFw(dir, {"update", "fw.bin", "-y", "--simulate"});
  ASSERT_GT(pid, 0);
  ASSERT_TRUE(WaitFor(dir.path() / "fw.out", "Flash Erase All"));
  ::kill(static_cast<pid_t>(pid), SIGINT);
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  ::kill(static_cast<pid_t>(pid), SIGINT);
  EXPECT_EQ(WaitForExitStatus(dir), 130);
  EXPECT_NE(ReadAll(dir.path() / "fw.err").find("ended at once by a second signal"),
            std::string::npos);
}

}  // namespace
}  // namespace korvalen::testing
