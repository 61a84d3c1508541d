// One device, one master: korvalen-fw processes that share kept simulated
// devices, list and the device's selected bank, and the access advice.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <thread>

#include "tests/cli/FwRun.h"

namespace korvalen::testing {
namespace {

namespace fs = std::filesystem;

FwResult Kept(const ScratchDir& dir, std::vector<std::string> args) {
  for (const char* arg : {"--simulate", "--fast", "--sim-state", "state"}) args.push_back(arg);
  return RunFw(dir, args);
}

// Starts korvalen-fw in the background in dir; returns its process id.
long StartInBackground(const ScratchDir& dir, const std::vector<std::string>& args) {
  std::string command = "cd " + Quote(dir.path().string()) + " && { " + Quote(KORVALEN_FW_BINARY);
  for (const std::string& arg : args) command += " " + Quote(arg);
  command += " </dev/null >first.out 2>first.err & echo $! >first.pid; }";
  if (std::system(command.c_str()) != 0) return -1;
  return std::stol(ReadAll(dir.path() / "first.pid"));
}

// Waits (bounded) until path holds text that starts with prefix.
bool WaitForText(const fs::path& path, const std::string& prefix) {
  for (int i = 0; i < 500; ++i) {
    if (ReadAll(path).starts_with(prefix)) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return false;
}

// Waits (bounded) for a whole line in path; empty when none came.
std::string WaitForLine(const fs::path& path) {
  for (int i = 0; i < 1500; ++i) {
    const std::string text = ReadAll(path);
    if (text.ends_with("\n")) return text;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return {};
}

bool WaitForExit(long pid) {
  for (int i = 0; i < 500; ++i) {
    if (::kill(static_cast<pid_t>(pid), 0) != 0) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return false;
}

TEST(FwLock, SecondProcessOnKeptDevicesIsToldWhoHoldsThem) {
  ScratchDir dir;
  dir.Write("fw.bin", CountingImage(48 * 1024));
  dir.Write("other.bin", CountingImage(100));
  // Real time: the first update runs for many seconds.
  const long first =
      StartInBackground(dir, {"update", "fw.bin", "-y", "--simulate", "--sim-state", "state"});
  ASSERT_GT(first, 0);
  // Its first step line shows it has the device.
  ASSERT_TRUE(WaitForText(dir.path() / "first.out", "KORVALEN ORBIT at"));

  for (const std::vector<std::string>& command :
       {std::vector<std::string>{"update", "other.bin", "-y", "--json"},
        std::vector<std::string>{"regs", "get", "0x30"},
        std::vector<std::string>{"list", "--firmware"}}) {
    const FwResult second = Kept(dir, command);
    EXPECT_EQ(second.exit_code, 4) << command[0] << ": " << second.err;
    EXPECT_NE(second.err.find("the device is in use by process " + std::to_string(first)),
              std::string::npos)
        << second.err;
    // Nothing on standard output but, with --json, the refusal's document.
    if (command.back() == "--json") {
      EXPECT_EQ(second.Json()["exit"], 4);
    } else {
      EXPECT_EQ(second.out, "");
    }
  }
  // list sends nothing and saves nothing: it lists beside the holder.
  const FwResult list = Kept(dir, {"list", "--json"});
  EXPECT_EQ(list.exit_code, 0) << list.err;
  EXPECT_EQ(list.out.empty() ? "" : list.Json()[0]["model"].get<std::string>(), "KORVALEN ORBIT");

  // A holder that dies lets go: the lock goes with the process.
  ::kill(static_cast<pid_t>(first), SIGKILL);
  ASSERT_TRUE(WaitForExit(first));
  const FwResult after = Kept(dir, {"update", "other.bin", "-y"});
  EXPECT_EQ(after.exit_code, 0) << after.err;
  EXPECT_EQ(Kept(dir, {"verify", "other.bin"}).exit_code, 0);
}

TEST(FwLock, ParallelRunsOnKeptDevicesNeverLoseOneSilently) {
  ScratchDir dir;
  dir.Write("a.bin", CountingImage(20000));
  for (int round = 0; round < 5; ++round) {
    fs::remove_all(dir.path() / "state");
    fs::remove(dir.path() / "first.rc");
    // An update and a register write at once: without one master, each run
    // saved the device it had loaded, and one run's work was lost.
    std::string command = "cd " + Quote(dir.path().string()) + " && { ( " +
                          Quote(KORVALEN_FW_BINARY) +
                          " update a.bin -y --simulate --fast --sim-state state >first.out "
                          "2>first.err; echo $? >first.rc ) & }";
    ASSERT_EQ(std::system(command.c_str()), 0);
    const FwResult second = Kept(dir, {"regs", "set", "0x30", "0x5A", "--bank", "2"});
    const std::string rc = WaitForLine(dir.path() / "first.rc");
    ASSERT_FALSE(rc.empty()) << "the first run did not end";
    const int first_exit = std::stoi(rc);
    ASSERT_TRUE(first_exit == 0 || first_exit == 4) << ReadAll(dir.path() / "first.err");
    ASSERT_TRUE(second.exit_code == 0 || second.exit_code == 4) << second.err;
    EXPECT_TRUE(first_exit == 0 || second.exit_code == 0) << "one of them had the device";
    // What a run reported done is on the device.
    EXPECT_EQ(Kept(dir, {"verify", "a.bin"}).exit_code == 0, first_exit == 0) << "round " << round;
    EXPECT_EQ(Kept(dir, {"regs", "get", "0x30", "--bank", "2"}).out == "0x30 = 0x5A\n",
              second.exit_code == 0)
        << "round " << round;
  }
}

TEST(FwList, ListLeavesTheSelectedBankAlone) {
  ScratchDir dir;
  ASSERT_EQ(Kept(dir, {"regs", "get", "0x10", "--bank", "14"}).exit_code, 0);
  const FwResult list = Kept(dir, {"list", "--json"});
  ASSERT_EQ(list.exit_code, 0) << list.err;
  EXPECT_TRUE(list.Json()[0]["firmware"].is_null());
  // The engineer's next write still lands in bank 14.
  ASSERT_EQ(Kept(dir, {"regs", "set", "0x30", "0x5A"}).exit_code, 0);
  EXPECT_EQ(Kept(dir, {"regs", "get", "0x30", "--bank", "14"}).out, "0x30 = 0x5A\n");

  const FwResult firmware = Kept(dir, {"list", "--firmware", "--json"});
  ASSERT_EQ(firmware.exit_code, 0) << firmware.err;
  EXPECT_TRUE(firmware.Json()[0]["firmware"].is_string());
}

TEST(FwAccess, AdviceProposesThePackagesRulesNotTheWholeVendor) {
  ScratchDir dir;
  const FwResult run =
      RunFw(dir, {"regs", "get", "0x30", "--simulate", "--fast", "--fault", "deny-access"});
  EXPECT_EQ(run.exit_code, 4);
  size_t rules = 0;
  for (size_t at = run.err.find("TAG+=\"uaccess\""); at != std::string::npos;
       at = run.err.find("TAG+=\"uaccess\"", at + 1)) {
    ++rules;
  }
  EXPECT_EQ(rules, 7u) << run.err;
  EXPECT_NE(run.err.find("ATTR{idVendor}==\"5e1a\", ATTR{idProduct}==\"f072\""), std::string::npos)
      << run.err;
  EXPECT_NE(run.err.find("ATTR{idVendor}==\"0c3d\", ATTR{idProduct}==\"6000\""), std::string::npos)
      << run.err;
  EXPECT_EQ(run.err.find("ATTR{idVendor}==\"5e1a\", TAG"), std::string::npos) << run.err;
}

}  // namespace
}  // namespace korvalen::testing
