// korvalen-fw as a hostile user runs it, one row per hole: outputs onto
// files that belong to the command or to someone else, empty values, and
// the kept devices' lock. Each row gives the command, its exit status, a
// fragment of its message and what must be left on disk as it was.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <thread>

#include "tests/cli/FwRun.h"

namespace korvalen::testing {
namespace {

namespace fs = std::filesystem;

constexpr uid_t kNobody = 65534;
const std::string kAsNobody = "setpriv --reuid=65534 --regid=65534 --clear-groups ";
const std::string kImage = [] {
  const auto bytes = CountingImage(300);
  return std::string(bytes.begin(), bytes.end());
}();
constexpr char kPcapMagic[] = "\xd4\xc3\xb2\xa1";

struct Row {
  std::string name{};
  // What is on disk before; runs in the scratch folder.
  std::function<void(const fs::path&)> setup = [](const fs::path&) {};
  std::vector<std::string> args{};
  int exit_code = 0;
  std::string message{};  // in standard error
  // Files that must hold exactly this afterwards ("" for "must not exist").
  std::vector<std::pair<std::string, std::string>> untouched{};
  // Anything else to check afterwards.
  std::function<void(const fs::path&, const FwResult&)> check = {};
  std::string shell_prefix{};  // runs first in the same shell (cd, TMPDIR, setpriv)
  // Standard output: a file, or (pipe) fd 3 and 1 a pipe into piped.bin.
  bool pipe_on_fd3 = false;
  // A real-time update on the kept devices in "state" holds them meanwhile.
  bool holder = false;
  std::string holder_prefix{};
  bool root_only = false;  // needs another user's files
};

void Write(const fs::path& path, const std::string& text) {
  fs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << text;
}

bool WaitFor(const std::function<bool()>& done) {
  for (int i = 0; i < 750; ++i) {
    if (done()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return false;
}

// Runs the binary; with pipe_on_fd3 its fd 3 and standard output are one
// pipe into piped.bin, and the exit code comes back through rc.txt.
FwResult RunRow(const ScratchDir& dir, const Row& row) {
  const fs::path d = dir.path();
  std::ofstream(d / "stdin.txt") << "";
  std::string command = "cd " + Quote(d.string()) + " && { " + row.shell_prefix +
                        Quote(KORVALEN_FW_BINARY);
  for (const std::string& arg : row.args) command += " " + Quote(arg);
  command += " <" + Quote((d / "stdin.txt").string()) + " 2>" + Quote((d / "stderr.txt").string());
  if (row.pipe_on_fd3) {
    command += " 3>&1 >" + Quote((d / "stdout.txt").string()) + "; echo $? >" +
               Quote((d / "rc.txt").string()) + "; } | cat >" + Quote((d / "piped.bin").string());
  } else {
    command += " >" + Quote((d / "stdout.txt").string()) + "; echo $? >" +
               Quote((d / "rc.txt").string()) + "; }";
  }
  std::system(command.c_str());
  FwResult result;
  const std::string rc = ReadAll(d / "rc.txt");
  result.exit_code = rc.empty() ? -1 : std::stoi(rc);
  result.out = ReadAll(d / "stdout.txt");
  result.err = ReadAll(d / "stderr.txt");
  return result;
}

// An update in real time on "state", long enough to be held while a row
// runs; its process id, once it has the devices.
long StartHolder(const ScratchDir& dir, const std::string& prefix) {
  Write(dir.path() / "big.bin", std::string(48 * 1024, '\x5a'));
  const std::string command = "cd " + Quote(dir.path().string()) + " && { " + prefix +
                              Quote(KORVALEN_FW_BINARY) +
                              " update big.bin -y --simulate --sim-state state </dev/null "
                              ">holder.out 2>holder.err & echo $! >holder.pid; }";
  if (std::system(command.c_str()) != 0) return -1;
  const long pid = std::stol(ReadAll(dir.path() / "holder.pid"));
  // Its first step line shows it has the devices.
  if (!WaitFor([&] { return ReadAll(dir.path() / "holder.out").starts_with("KORVALEN ORBIT at"); }))
    return -1;
  return pid;
}

void StopHolder(long pid) {
  ::kill(static_cast<pid_t>(pid), SIGKILL);
  WaitFor([&] { return ::kill(static_cast<pid_t>(pid), 0) != 0; });
}

std::vector<std::string> Sim(std::vector<std::string> args) {
  args.insert(args.begin(), {"--simulate", "--fast"});
  return args;
}

std::vector<Row> Rows() {
  std::vector<Row> rows;
  // --- Outputs never replace a file of the command -------------------------
  rows.push_back({.name = "RecordOntoTheUpdateFile",
                  .args = Sim({"--sim-state", "state", "--record", "fw.bin", "update", "fw.bin", "-y"}),
                  .exit_code = 2,
                  .message = "--record fw.bin is the update file",
                  .untouched = {{"fw.bin", kImage}, {"state", ""}}});
  rows.push_back({.name = "RecordOntoTheModelsOwnUpdateFile",
                  .setup = [](const fs::path& d) { Write(d / "KORVALEN_ORBIT.bin", kImage); },
                  .args = Sim({"--record", "KORVALEN_ORBIT.bin", "update", "-y"}),
                  .exit_code = 2,
                  .message = "--record KORVALEN_ORBIT.bin is the update file",
                  .untouched = {{"KORVALEN_ORBIT.bin", kImage}}});
  rows.push_back({.name = "RecordOntoTheReport",
                  .setup = [](const fs::path& d) { Write(d / "r.json", "old report"); },
                  .args = Sim({"--record", "./r.json", "update", "fw.bin", "-y", "--report", "r.json"}),
                  .exit_code = 2,
                  .message = "is the report",
                  .untouched = {{"r.json", "old report"}}});
  rows.push_back({.name = "RecordOntoTheFileVerified",
                  .args = Sim({"--record", "fw.bin", "verify", "fw.bin"}),
                  .exit_code = 2,
                  .message = "is the file verified",
                  .untouched = {{"fw.bin", kImage}}});
  rows.push_back({.name = "RecordOntoTheReadsOutput",
                  .args = Sim({"--record", "out.bin", "read", "out.bin", "--size", "16"}),
                  .exit_code = 2,
                  .message = "is the file read into",
                  .untouched = {{"out.bin", ""}}});
  rows.push_back({.name = "RefusedCommandLeavesAnOldRecording",
                  .setup = [](const fs::path& d) { Write(d / "old.pcap", "old capture"); },
                  .args = Sim({"--record", "old.pcap", "update", "notes.txt", "-y"}),
                  .exit_code = 2,
                  .message = "not a firmware file",
                  .untouched = {{"old.pcap", "old capture"}},
                  .check = [](const fs::path& d, const FwResult&) {
                    for (const auto& entry : fs::directory_iterator(d))
                      EXPECT_FALSE(entry.path().string().ends_with(".tmp")) << entry.path();
                  }});

  // --- One rule for every output --------------------------------------------
  rows.push_back({.name = "RecordThroughAPlantedLinkReplacesTheLink",
                  .setup = [](const fs::path& d) {
                    Write(d / "victim.cfg", "keep me");
                    fs::create_symlink("victim.cfg", d / "e.pcap");
                  },
                  .args = Sim({"--record", "e.pcap", "update", "fw.bin", "-y"}),
                  .untouched = {{"victim.cfg", "keep me"}},
                  .check = [](const fs::path& d, const FwResult&) {
                    EXPECT_FALSE(fs::is_symlink(d / "e.pcap"));
                    EXPECT_TRUE(ReadAll(d / "e.pcap").starts_with(kPcapMagic));
                  }});
  rows.push_back({.name = "RecordIntoAFifoIsALiveCapture",
                  .setup = [](const fs::path& d) { ASSERT_EQ(::mkfifo((d / "live").c_str(), 0600), 0); },
                  .args = Sim({"--record", "live", "update", "fw.bin", "-y"}),
                  .message = "waiting for a program to read the FIFO live: a live capture",
                  .check = [](const fs::path& d, const FwResult&) {
                    EXPECT_TRUE(fs::is_fifo(d / "live"));
                    EXPECT_TRUE(WaitFor([&] { return ReadAll(d / "got.pcap").size() > 1000; }));
                    EXPECT_TRUE(ReadAll(d / "got.pcap").starts_with(kPcapMagic));
                  },
                  // The reader comes a moment later, as Wireshark would.
                  .shell_prefix = "( sleep 1; cat live > got.pcap ) & timeout 60 "});
  rows.push_back({.name = "ReadIntoAFifoWritesIt",
                  .setup = [](const fs::path& d) { ASSERT_EQ(::mkfifo((d / "out").c_str(), 0600), 0); },
                  .args = Sim({"read", "out", "--size", "64"}),
                  .check = [](const fs::path& d, const FwResult&) {
                    EXPECT_TRUE(fs::is_fifo(d / "out"));
                    EXPECT_TRUE(WaitFor([&] { return ReadAll(d / "got.bin").size() == 64; }));
                  },
                  .shell_prefix = "( cat out > got.bin ) & timeout 60 "});
  rows.push_back({.name = "ReadIntoADescriptorOfAPipe",
                  .args = Sim({"read", "/dev/fd/3", "--size", "64"}),
                  .check = [](const fs::path& d, const FwResult&) {
                    EXPECT_EQ(ReadAll(d / "piped.bin").size(), 64u);
                  },
                  .pipe_on_fd3 = true});
  // As /dev/stdout does: a link to this program's own standard output.
  rows.push_back({.name = "ReportThroughALinkToStandardOutput",
                  .setup = [](const fs::path& d) { fs::create_symlink("/proc/self/fd/1", d / "mine"); },
                  .args = Sim({"update", "fw.bin", "-y", "--report", "mine"}),
                  .check = [](const fs::path& d, const FwResult& run) {
                    EXPECT_TRUE(fs::is_symlink(d / "mine"));
                    EXPECT_NE(run.out.find("\"verdict\": \"success\""), std::string::npos) << run.out;
                  }});
  rows.push_back({.name = "ReadThroughALinkToStandardOutput",
                  .setup = [](const fs::path& d) { fs::create_symlink("/proc/self/fd/1", d / "mine"); },
                  .args = Sim({"read", "mine", "--size", "64"}),
                  .check = [](const fs::path& d, const FwResult& run) {
                    EXPECT_TRUE(fs::is_symlink(d / "mine"));
                    EXPECT_GE(run.out.size(), 64u);
                  }});
  rows.push_back({.name = "ReportIntoACharacterDevice",
                  .args = Sim({"update", "fw.bin", "-y", "--report", "/dev/null"}),
                  .check = [](const fs::path&, const FwResult&) {
                    EXPECT_TRUE(fs::is_character_file("/dev/null"));
                  }});
  rows.push_back({.name = "ReplacedFileKeepsItsOwnerAndGroup",
                  .setup = [](const fs::path& d) {
                    Write(d / "out.bin", "old");
                    ASSERT_EQ(::chown((d / "out.bin").c_str(), kNobody, kNobody), 0);
                    ::chmod((d / "out.bin").c_str(), 0640);
                  },
                  .args = Sim({"read", "out.bin", "--size", "32"}),
                  .check = [](const fs::path& d, const FwResult&) {
                    struct stat info {};
                    ASSERT_EQ(::stat((d / "out.bin").c_str(), &info), 0);
                    EXPECT_EQ(info.st_uid, kNobody);
                    EXPECT_EQ(info.st_gid, kNobody);
                    EXPECT_EQ(info.st_mode & 07777, 0640u);
                    EXPECT_EQ(ReadAll(d / "out.bin").size(), 32u);
                  },
                  .root_only = true});
  rows.push_back({.name = "FileTheUserMayNotWriteIsRefused",
                  .setup = [](const fs::path& d) {
                    ::chmod(d.c_str(), 01777);
                    Write(d / "theirs.bin", "not yours");
                  },
                  .args = Sim({"read", "theirs.bin", "--size", "32"}),
                  .exit_code = 2,
                  .message = "permission denied",
                  .untouched = {{"theirs.bin", "not yours"}},
                  .shell_prefix = kAsNobody,
                  .root_only = true});
  rows.push_back({.name = "ReportTheUserMayNotWriteIsRefusedBeforeTheUpdate",
                  .setup = [](const fs::path& d) {
                    ::chmod(d.c_str(), 01777);
                    Write(d / "r.json", "their report");
                  },
                  .args = Sim({"update", "fw.bin", "-y", "--report", "r.json"}),
                  .exit_code = 2,
                  .message = "permission denied",
                  .untouched = {{"r.json", "their report"}},
                  .shell_prefix = kAsNobody,
                  .root_only = true});

  // --- Empty values are refused before anything is sent --------------------
  for (const auto& [name, args, message] : std::vector<std::tuple<std::string, std::vector<std::string>, std::string>>{
           {"EmptyReplay", {"--replay", "", "list"}, "--replay is empty"},
           {"EmptyRecord", Sim({"--record", "", "list"}), "--record is empty"},
           {"EmptySimState", Sim({"--sim-state", "", "regs", "set", "0x30", "1"}), "--sim-state is empty"},
           {"EmptyDevice", Sim({"--device", "", "list"}), "--device is empty"},
           {"EmptyReadOutput", Sim({"read", ""}), "read OUT is empty"},
           {"EmptyReport", Sim({"update", "fw.bin", "-y", "--report", ""}), "update --report is empty"}}) {
    rows.push_back({.name = name, .args = args, .exit_code = 2, .message = message,
                    .untouched = {{"fw.bin", kImage}},
                    .check = [](const fs::path&, const FwResult& run) { EXPECT_EQ(run.out, ""); }});
  }

  // --- The kept devices' lock -------------------------------------------------
  rows.push_back({.name = "TrailingSlashIsTheSameFolder",
                  .args = Sim({"--sim-state", "state/", "regs", "set", "0x30", "0x5A"}),
                  .exit_code = 4,
                  .message = "the device is in use by process",
                  .holder = true});
  rows.push_back({.name = "AnotherTemporaryAndWorkingFolderMeetTheSameLock",
                  .setup = [](const fs::path& d) { fs::create_directories(d / "sub"); },
                  .args = Sim({"--sim-state", "../state/.", "regs", "get", "0x30"}),
                  .exit_code = 4,
                  .message = "the device is in use by process",
                  .shell_prefix = "cd sub && TMPDIR=$PWD ",
                  .holder = true,
                  .holder_prefix = "TMPDIR=/nonexistent "});
  rows.push_back({.name = "ListListsBesideTheHolderAndSavesNothing",
                  .args = Sim({"--sim-state", "state", "list", "--json"}),
                  .exit_code = 0,
                  .check = [](const fs::path& d, const FwResult& run) {
                    EXPECT_NE(run.out.find("KORVALEN ORBIT"), std::string::npos) << run.out;
                    // The holder has saved nothing yet: nor has list.
                    EXPECT_FALSE(fs::exists(d / "state" / "device-1"));
                  },
                  .holder = true});
  rows.push_back({.name = "ListWithFirmwareStillWaitsItsTurn",
                  .args = Sim({"--sim-state", "state", "list", "--firmware"}),
                  .exit_code = 4,
                  .message = "the device is in use by process",
                  .holder = true});
  rows.push_back({.name = "NoLockCanBeTakenSoNothingRuns",
                  .setup = [](const fs::path& d) { Write(d / "state", "a file, no folder"); },
                  .args = Sim({"--sim-state", "state", "regs", "set", "0x30", "0x5A"}),
                  .exit_code = 4,
                  .message = "cannot make the folder for its lock",
                  .untouched = {{"state", "a file, no folder"}}});
  rows.push_back({.name = "PlantedLinkAsTheLock",
                  .setup = [](const fs::path& d) {
                    Write(d / "victim.cfg", "keep me");
                    fs::create_directories(d / "state");
                    fs::create_symlink("../victim.cfg", d / "state" / ".korvalen-fw.lock");
                  },
                  .args = Sim({"--sim-state", "state", "regs", "set", "0x30", "0x5A"}),
                  .exit_code = 4,
                  .message = "is a link made by",
                  .untouched = {{"victim.cfg", "keep me"}},
                  .check = [](const fs::path& d, const FwResult& run) {
                    EXPECT_NE(run.err.find("remove it"), std::string::npos) << run.err;
                    EXPECT_TRUE(fs::is_symlink(d / "state" / ".korvalen-fw.lock"));
                    EXPECT_FALSE(fs::exists(d / "state" / "device-1"));
                  }});
  // Left by root's run that ended: nobody may read it but not write it.
  rows.push_back({.name = "StaleLockOfAnotherUserIsTakenOver",
                  .setup = [](const fs::path& d) {
                    Write(d / "state" / ".korvalen-fw.lock", "4194303\n");
                    ::chmod((d / "state").c_str(), 01777);
                  },
                  .args = Sim({"--sim-state", "state", "regs", "set", "0x30", "0x5A"}),
                  .exit_code = 0,
                  .check = [](const fs::path& d, const FwResult&) {
                    EXPECT_TRUE(fs::exists(d / "state" / "device-1" / "registers.bin"));
                  },
                  .shell_prefix = kAsNobody,
                  .root_only = true});
  rows.push_back({.name = "PlantedLockNobodyMayOpenSaysWhoseItIs",
                  .setup = [](const fs::path& d) {
                    fs::create_directories(d / "state");
                    ::chmod(d.c_str(), 0755);
                    ::chmod((d / "state").c_str(), 01777);
                    Write(d / "state" / ".korvalen-fw.lock", "1\n");
                    ::chmod((d / "state" / ".korvalen-fw.lock").c_str(), 0600);
                  },
                  .args = Sim({"--sim-state", "state", "regs", "set", "0x30", "0x5A"}),
                  .exit_code = 4,
                  .message = "may not open, made by root",
                  .untouched = {{"state/.korvalen-fw.lock", "1\n"}},
                  .shell_prefix = kAsNobody,
                  .root_only = true});
  return rows;
}

class FwHostile : public ::testing::TestWithParam<Row> {};

TEST_P(FwHostile, RefusesOrWritesAsTheRuleSaysAndLeavesTheRest) {
  const Row& row = GetParam();
  if (row.root_only && ::geteuid() != 0) GTEST_SKIP() << "needs another user's files: run as root";
  ScratchDir dir;
  Write(dir.path() / "fw.bin", kImage);
  // The scratch folder is another user's world for setpriv's runs.
  ::chmod(dir.path().c_str(), 0755);
  row.setup(dir.path());
  long holder = -1;
  if (row.holder) {
    holder = StartHolder(dir, row.holder_prefix);
    ASSERT_GT(holder, 0) << ReadAll(dir.path() / "holder.err");
  }
  const FwResult run = RunRow(dir, row);
  if (holder > 0) {
    if (row.message.find("in use by process") != std::string::npos) {
      EXPECT_NE(run.err.find("in use by process " + std::to_string(holder)), std::string::npos)
          << run.err;
    }
    StopHolder(holder);
  }
  EXPECT_EQ(run.exit_code, row.exit_code) << run.err;
  EXPECT_NE(run.err.find(row.message), std::string::npos) << run.err;
  for (const auto& [name, text] : row.untouched) {
    if (text.empty()) {
      EXPECT_FALSE(fs::exists(fs::symlink_status(dir.path() / name))) << name << " was made";
    } else {
      EXPECT_EQ(ReadAll(dir.path() / name), text) << name;
    }
  }
  if (row.check) row.check(dir.path(), run);
}

INSTANTIATE_TEST_SUITE_P(Holes, FwHostile, ::testing::ValuesIn(Rows()),
                         [](const ::testing::TestParamInfo<Row>& info) { return info.param.name; });

}  // namespace
}  // namespace korvalen::testing
