// read, verify and --sim-state: one simulated device kept across runs.
#include <gtest/gtest.h>

#include "tests/cli/FwRun.h"

namespace korvalen::testing {
namespace {

TEST(FwFlash, UpdateThenVerifyThenReadActOnTheSameDevice) {
  ScratchDir dir;
  const auto image = CountingImage(3000);
  dir.Write("fw.bin", image);
  const std::vector<std::string> sim = {"--simulate", "--fast", "--sim-state", "state"};
  auto with = [&](std::vector<std::string> args) {
    args.insert(args.end(), sim.begin(), sim.end());
    return RunFw(dir, args);
  };
  // A fresh device has erased flash: the file differs at its first byte.
  const FwResult before = with({"verify", "fw.bin", "--json"});
  EXPECT_EQ(before.exit_code, 1) << before.err;
  EXPECT_EQ(before.Json()["first_difference"]["address"], "0x000000");
  EXPECT_EQ(before.Json()["first_difference"]["expected"], "0x03");
  EXPECT_EQ(before.Json()["first_difference"]["found"], "0xFF");

  ASSERT_EQ(with({"update", "fw.bin", "-y"}).exit_code, 0);
  const FwResult after = with({"verify", "fw.bin"});
  EXPECT_EQ(after.exit_code, 0) << after.err;
  EXPECT_NE(after.out.find("matches the flash"), std::string::npos);

  ASSERT_EQ(with({"read", "back.bin", "--size", "3000"}).exit_code, 0);
  const std::string back = ReadAll(dir.path() / "back.bin");
  EXPECT_EQ(back, std::string(image.begin(), image.end()));

  // A file that differs in one byte names it.
  auto changed = image;
  changed[0x5C1] ^= 0x40;
  dir.Write("other.bin", changed);
  const FwResult other = with({"verify", "other.bin"});
  EXPECT_EQ(other.exit_code, 1);
  EXPECT_NE(other.out.find("first at 0x0005C1"), std::string::npos) << other.out;
}

TEST(FwFlash, ReadDumpIsTheWindowsTextDump) {
  ScratchDir dir;
  const FwResult run = RunFw(dir, {"read", "dump.txt", "--dump", "--simulate", "--fast"});
  ASSERT_EQ(run.exit_code, 0) << run.err;
  const std::string dump = ReadAll(dir.path() / "dump.txt");
  // 2048 lines of sixteen entries, each line ended by a carriage return.
  EXPECT_EQ(dump.size(), 2048u * (16u * 6u + 1u));
  EXPECT_EQ(dump.substr(0, 12), "0xFF, 0xFF, ");
}

TEST(FwFlash, BadSizeAndMissingFileAreRefused) {
  ScratchDir dir;
  EXPECT_EQ(RunFw(dir, {"read", "x.bin", "--size", "0", "--simulate", "--fast"}).exit_code, 2);
  EXPECT_EQ(RunFw(dir, {"read", "x.bin", "--size", "20000000", "--simulate", "--fast"}).exit_code, 2);
  EXPECT_FALSE(std::filesystem::exists(dir.path() / "x.bin"));
  EXPECT_EQ(RunFw(dir, {"verify", "none.bin", "--simulate", "--fast"}).exit_code, 2);
}

TEST(FwFlash, DamagedStateIsRefused) {
  ScratchDir dir;
  std::filesystem::create_directories(dir.path() / "state" / "device-1");
  std::ofstream(dir.path() / "state" / "device-1" / "device.json") << "{ nonsense";
  const FwResult run =
      RunFw(dir, {"read", "x.bin", "--simulate", "--fast", "--sim-state", "state"});
  EXPECT_EQ(run.exit_code, 2);
  EXPECT_NE(run.err.find("simulated device"), std::string::npos);
}

}  // namespace
}  // namespace korvalen::testing
