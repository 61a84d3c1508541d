// korvalen-fw with hostile names, special files and output files that must
// not be clobbered, run as a user runs it.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "tests/cli/FwRun.h"

namespace korvalen::testing {
namespace {

namespace fs = std::filesystem;

const std::vector<std::string> kFast = {"--simulate", "--fast"};

std::vector<std::string> With(std::vector<std::string> args, const std::vector<std::string>& more) {
  args.insert(args.end(), more.begin(), more.end());
  return args;
}

// Files in dir whose names the program would have made as temporaries.
std::vector<std::string> Leftovers(const fs::path& dir) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(dir)) {
    const std::string name = entry.path().filename().string();
    if (name.ends_with(".tmp") || name.ends_with(".part")) names.push_back(name);
  }
  return names;
}

TEST(FwNames, NamesThatAreNotUtf8AreReportedEscaped) {
  ScratchDir dir;
  const std::string name = "fw_\xff\xfe.bin";
  dir.Write(name, CountingImage(700));
  const std::vector<std::string> kept = With(kFast, {"--sim-state", "state"});

  const FwResult update = RunFw(dir, With({"update", name, "--yes", "--json"}, kept));
  ASSERT_EQ(update.exit_code, 0) << update.err;
  EXPECT_EQ(update.Json()["file"], "fw_\\xFF\\xFE.bin");
  EXPECT_EQ(update.Json()["verdict"], "success");
  // The state was saved: the next run sees the programmed flash.
  const FwResult verify = RunFw(dir, With({"verify", name, "--json"}, kept));
  ASSERT_EQ(verify.exit_code, 0) << verify.err;
  EXPECT_EQ(verify.Json()["file"], "fw_\\xFF\\xFE.bin");
  EXPECT_TRUE(verify.Json()["equal"].get<bool>());

  const FwResult read =
      RunFw(dir, With({"read", "out_\xff.bin", "--size", "700", "--json"}, kept));
  ASSERT_EQ(read.exit_code, 0) << read.err;
  EXPECT_EQ(read.Json()["file"], "out_\\xFF.bin");
  EXPECT_EQ(ReadAll(dir.path() / "out_\xff.bin").size(), 700u);

  const FwResult identity =
      RunFw(dir, With({"identity", "--product", "A\xff" "B", "--json"}, kFast));
  ASSERT_EQ(identity.exit_code, 0) << identity.err;
  EXPECT_EQ(identity.Json()["sent"]["product"], "A\\xFFB");
}

TEST(FwSpecialFiles, FifoOrFolderInTheKeptStateIsRefusedNotWaitedFor) {
  ScratchDir dir;
  const fs::path device = dir.path() / "state" / "device-1";
  ASSERT_EQ(RunFw(dir, With({"regs", "set", "0x30", "0x5A"}, With(kFast, {"--sim-state", "state"})))
                .exit_code,
            0);
  fs::remove(device / "flash.bin");
  ASSERT_EQ(::mkfifo((device / "flash.bin").c_str(), 0600), 0);
  // A hang would be killed by timeout (exit 124).
  const FwResult fifo = RunFw(dir, With({"regs", "get", "0x30"}, With(kFast, {"--sim-state", "state"})),
                              "", "timeout 20 ");
  EXPECT_EQ(fifo.exit_code, 2) << fifo.err;
  EXPECT_NE(fifo.err.find("flash.bin is not a regular file"), std::string::npos) << fifo.err;

  fs::remove(device / "flash.bin");
  fs::create_directory(device / "flash.bin");
  const FwResult folder =
      RunFw(dir, With({"regs", "get", "0x30"}, With(kFast, {"--sim-state", "state"})), "",
            "timeout 20 ");
  EXPECT_EQ(folder.exit_code, 2) << folder.err;
  EXPECT_NE(folder.err.find("flash.bin"), std::string::npos) << folder.err;
}

TEST(FwSpecialFiles, FifoAsReplayIsRefusedNotWaitedFor) {
  ScratchDir dir;
  ASSERT_EQ(::mkfifo((dir.path() / "session.pcap").c_str(), 0600), 0);
  const FwResult run = RunFw(dir, {"--replay", "session.pcap", "list"}, "", "timeout 20 ");
  EXPECT_EQ(run.exit_code, 2) << run.err;
  EXPECT_NE(run.err.find("not a regular file"), std::string::npos) << run.err;
}

TEST(FwOutputFiles, PlantedLinksAreNeverFollowed) {
  ScratchDir dir;
  std::ofstream(dir.path() / "victim.cfg") << "keep me";
  // The name the program once used for its temporary file.
  fs::create_symlink("victim.cfg", dir.path() / "d.bin.part");
  const FwResult read = RunFw(dir, With({"read", "d.bin", "--size", "64"}, kFast));
  ASSERT_EQ(read.exit_code, 0) << read.err;
  EXPECT_EQ(ReadAll(dir.path() / "victim.cfg"), "keep me");
  EXPECT_TRUE(fs::is_symlink(dir.path() / "d.bin.part"));
  EXPECT_EQ(ReadAll(dir.path() / "d.bin").size(), 64u);

  // A link as the output itself is replaced, its target left alone.
  fs::create_symlink("victim.cfg", dir.path() / "e.bin");
  ASSERT_EQ(RunFw(dir, With({"read", "e.bin", "--size", "64"}, kFast)).exit_code, 0);
  EXPECT_EQ(ReadAll(dir.path() / "victim.cfg"), "keep me");
  EXPECT_FALSE(fs::is_symlink(dir.path() / "e.bin"));
  EXPECT_EQ(ReadAll(dir.path() / "e.bin").size(), 64u);
  EXPECT_TRUE(Leftovers(dir.path()).size() == 1u) << "only the planted d.bin.part";
}

TEST(FwOutputFiles, ReplacedFileKeepsItsPermissionBits) {
  ScratchDir dir;
  std::ofstream(dir.path() / "out.bin") << "old";
  fs::permissions(dir.path() / "out.bin", fs::perms(0640));
  ASSERT_EQ(RunFw(dir, With({"read", "out.bin", "--size", "32"}, kFast)).exit_code, 0);
  EXPECT_EQ(fs::status(dir.path() / "out.bin").permissions() & fs::perms::all, fs::perms(0640));
}

TEST(FwOutputFiles, FailedWriteSaysWhyAndLeavesTheOldFile) {
  ScratchDir dir;
  std::ofstream(dir.path() / "out.bin") << "old";
  // A file-size limit of 64 KiB fails the write as a full disk would, part
  // way through; the signal it raises is ignored, as a full disk raises none.
  const FwResult run = RunFw(dir, With({"read", "out.bin", "--size", "262144"}, kFast), "",
                             "trap '' XFSZ; ulimit -f 64; ");
  EXPECT_EQ(run.exit_code, 1) << run.err;
  EXPECT_NE(run.err.find("cannot write"), std::string::npos) << run.err;
  EXPECT_NE(run.err.find("File too large"), std::string::npos) << run.err;
  EXPECT_EQ(ReadAll(dir.path() / "out.bin"), "old");
  EXPECT_TRUE(Leftovers(dir.path()).empty());
}

TEST(FwOutputFiles, ReportThatCannotBeWrittenIsRefusedBeforeTheUpdate) {
  ScratchDir dir;
  const auto image = CountingImage(300);
  dir.Write("fw.bin", image);
  const std::vector<std::string> kept = With(kFast, {"--sim-state", "state"});
  for (const char* report : {"missing/r.json", "fw.bin", "."}) {
    const FwResult run = RunFw(dir, With({"update", "fw.bin", "-y", "--report", report}, kept));
    EXPECT_EQ(run.exit_code, 2) << report << ": " << run.err;
    EXPECT_NE(run.err.find(report), std::string::npos) << run.err;
  }
  // The firmware file is still the firmware, and nothing was programmed.
  EXPECT_EQ(ReadAll(dir.path() / "fw.bin"), std::string(image.begin(), image.end()));
  const FwResult verify = RunFw(dir, With({"verify", "fw.bin", "--json"}, kept));
  EXPECT_EQ(verify.Json()["first_difference"]["found"], "0xFF") << verify.out;
}

TEST(FwRead, WithoutSizeReadsTheFlashsOwnCapacity) {
  ScratchDir dir;
  ASSERT_EQ(RunFw(dir, With({"read", "small.bin", "--flash", "mx25l1021e"}, kFast)).exit_code, 0);
  EXPECT_EQ(ReadAll(dir.path() / "small.bin").size(), 131072u);
  ASSERT_EQ(RunFw(dir, With({"read", "full.bin", "--flash", "w25x20cl"}, kFast)).exit_code, 0);
  EXPECT_EQ(ReadAll(dir.path() / "full.bin").size(), 262144u);
}

TEST(FwInputs, EmptyOrForeignFileNamesAreRefused) {
  ScratchDir dir;
  dir.Write("KORVALEN_ORBIT.bin", CountingImage(200));
  dir.Write("fw.bz2", CountingImage(200));
  dir.Write("logo.bmp", CountingImage(200));
  dir.Write("fw.HEX.bin", CountingImage(200));
  for (const char* file : {"", "fw.bz2", "logo.bmp"}) {
    const FwResult run = RunFw(dir, With({"update", file, "-y", "--json"}, kFast));
    EXPECT_EQ(run.exit_code, 2) << file;
    // The refusal is the whole JSON document.
    EXPECT_EQ(run.Json()["exit"], 2) << file;
    EXPECT_FALSE(run.Json()["error"].get<std::string>().empty()) << file;
  }
  const FwResult bz2 = RunFw(dir, With({"update", "fw.bz2", "-y"}, kFast));
  EXPECT_NE(bz2.err.find(".hex, .h00 or .bin"), std::string::npos) << bz2.err;
  EXPECT_EQ(RunFw(dir, With({"verify", "logo.bmp"}, kFast)).exit_code, 2);
  // Extensions count in any case, the last one only.
  EXPECT_EQ(RunFw(dir, With({"update", "fw.HEX.bin", "-y"}, kFast)).exit_code, 0);
}

TEST(FwInputs, AnotherModelsUpdateFileNeedsForce) {
  ScratchDir dir;
  dir.Write("KORVALEN_ORBIT.bin", CountingImage(200));
  const FwResult refused =
      RunFw(dir, {"update", "KORVALEN_ORBIT.bin", "--simulate=KORVALEN_TIDE", "--fast", "-y"});
  EXPECT_EQ(refused.exit_code, 2);
  EXPECT_NE(refused.err.find("update file of KORVALEN ORBIT"), std::string::npos) << refused.err;
  EXPECT_NE(refused.err.find("KORVALEN TIDE"), std::string::npos) << refused.err;
  EXPECT_EQ(RunFw(dir, {"update", "KORVALEN_ORBIT.bin", "--simulate=KORVALEN_TIDE", "--fast",
                        "-y", "--force"})
                .exit_code,
            0);
  // The model's own file, and the 5E1A loader that takes the first model's.
  EXPECT_EQ(RunFw(dir, {"update", "KORVALEN_ORBIT.bin", "--simulate=0", "--fast", "-y"}).exit_code,
            0);
  EXPECT_EQ(
      RunFw(dir, {"update", "KORVALEN_ORBIT.bin", "--simulate=5e1a", "--fast", "-y"}).exit_code, 0);
}

TEST(FwInputs, HexRecordsThatDisagreeAreRefusedNamingBothLines) {
  ScratchDir dir;
  std::ofstream(dir.path() / "same.hex") << ":0400000001020304F2\n:0100020003FA\n:00000001FF\n";
  std::ofstream(dir.path() / "clash.hex") << ":0400000001020304F2\n\n:010002009964\n:00000001FF\n";
  EXPECT_EQ(RunFw(dir, With({"update", "same.hex", "-y"}, kFast)).exit_code, 0);
  const FwResult clash = RunFw(dir, With({"update", "clash.hex", "-y"}, kFast));
  EXPECT_EQ(clash.exit_code, 2);
  EXPECT_NE(clash.err.find("clash.hex line 3"), std::string::npos) << clash.err;
  EXPECT_NE(clash.err.find("0x000002 conflicts with line 1"), std::string::npos) << clash.err;
}

TEST(FwInputs, SimulationOptionsWithoutSimulateAreRefused) {
  ScratchDir dir;
  const std::vector<std::vector<std::string>> cases = {
      {"--fault", "stuck-busy"}, {"--fast"},           {"--flash", "aai"},
      {"--devices", "2"},        {"--sim-state", "s"}, {"--playback", "muted"}};
  for (const auto& options : cases) {
    const FwResult run = RunFw(dir, With({"list"}, options));
    EXPECT_EQ(run.exit_code, 2) << options[0];
    EXPECT_NE(run.err.find(options[0] + " works on simulated devices only"), std::string::npos)
        << run.err;
  }
}

}  // namespace
}  // namespace korvalen::testing
