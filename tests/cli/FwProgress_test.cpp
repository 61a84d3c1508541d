// What korvalen-fw shows while an update runs: step lines into a file or a
// pipe, a bar redrawn in place on a terminal.
#include <gtest/gtest.h>

#include "tests/cli/FwRun.h"

namespace korvalen::testing {
namespace {

TEST(FwProgress, StepLinesWhenTheOutputIsNoTerminal) {
  ScratchDir dir;
  dir.Write("fw.bin", CountingImage(5000));
  const FwResult run = RunFw(dir, {"update", "fw.bin", "-y", "--simulate", "--fast"});
  ASSERT_EQ(run.exit_code, 0) << run.err;
  for (const char* line : {"\nFlash Erase All\n", "\nStart Programming\n",
                           "\nVerifying Success\n", "\nFirmware update success!\n"}) {
    EXPECT_NE(run.out.find(line), std::string::npos) << line;
  }
  EXPECT_EQ(run.out.find('\r'), std::string::npos);
  EXPECT_EQ(run.out.find('%'), std::string::npos);
}

// Runs the binary on a pseudo-terminal; what the terminal received.
std::string OnTerminal(const ScratchDir& dir, const std::string& args) {
  const auto typescript = dir.path() / "typescript";
  const std::string command = "cd " + Quote(dir.path().string()) + " && script -qec " +
                              Quote(Quote(KORVALEN_FW_BINARY) + " " + args) + " " +
                              Quote(typescript.string()) + " >/dev/null 2>&1 </dev/null";
  if (std::system(command.c_str()) != 0) return {};
  return ReadAll(typescript);
}

TEST(FwProgress, ABarOnATerminal) {
  ScratchDir dir;
  dir.Write("fw.bin", CountingImage(20000));
  const std::string shown = OnTerminal(dir, "update fw.bin -y --simulate --fast");
  if (shown.empty()) GTEST_SKIP() << "no pseudo-terminal here";
  // Redrawn in place, with its step and percent, ending full.
  EXPECT_NE(shown.find("\r\033[K["), std::string::npos);
  EXPECT_NE(shown.find("%  program"), std::string::npos);
  EXPECT_NE(shown.find("] 100%  verify"), std::string::npos);
  EXPECT_NE(shown.find(" left"), std::string::npos);
  // The step lines still go above it.
  EXPECT_NE(shown.find("Firmware update success!"), std::string::npos);
}

TEST(FwProgress, OneBarForDevicesUpdatingTogether) {
  ScratchDir dir;
  dir.Write("fw.bin", CountingImage(8000));
  const std::string shown =
      OnTerminal(dir, "update fw.bin --all -y --simulate --fast --devices 3");
  if (shown.empty()) GTEST_SKIP() << "no pseudo-terminal here";
  EXPECT_NE(shown.find("] 100%  3 devices"), std::string::npos);
}

}  // namespace
}  // namespace korvalen::testing
