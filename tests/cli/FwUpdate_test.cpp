// korvalen-fw update against simulated devices, run as a user runs it.
#include <gtest/gtest.h>

#include "tests/cli/FwRun.h"

namespace korvalen::testing {
namespace {

using nlohmann::json;

std::vector<std::string> StepNames(const json& attempt) {
  std::vector<std::string> names;
  for (const json& step : attempt["steps"]) names.push_back(step["step"]);
  return names;
}

TEST(FwUpdate, SucceedsAndReportsEveryStepInJson) {
  ScratchDir dir;
  dir.Write("fw.bin", CountingImage(5000));
  const FwResult run = RunFw(dir, {"update", "fw.bin", "--simulate", "--fast", "--yes", "--json"});
  ASSERT_EQ(run.exit_code, 0) << run.err;
  const json report = run.Json();  // nothing but the document on stdout
  EXPECT_EQ(report["verdict"], "success");
  EXPECT_EQ(report["message"], "Firmware update success!");
  EXPECT_EQ(report["path"], "usb:bus-001:port-1");
  EXPECT_EQ(report["model"], "KORVALEN ORBIT");
  EXPECT_EQ(report["file"], "fw.bin");
  EXPECT_EQ(report["length"], 5000);
  EXPECT_EQ(report["jedec_id"], "EF 30 12");
  EXPECT_EQ(report["chunk_mode"], "page256");
  ASSERT_EQ(report["attempts"].size(), 1u);
  EXPECT_EQ(StepNames(report["attempts"][0]),
            (std::vector<std::string>{"isp-entry", "read-id", "clear-status", "erase",
                                      "blank-check", "program", "verify"}));
  for (const json& step : report["attempts"][0]["steps"]) EXPECT_EQ(step["result"], "ok");
  EXPECT_EQ(report["status_before"], "0x00");
  // The closing protection write of a page-program part.
  EXPECT_EQ(report["status_after"], "0xBC");
  EXPECT_GT(report["requests"].get<int>(), 100);
}

TEST(FwUpdate, PlainOutputShowsTheWindowsStepTexts) {
  ScratchDir dir;
  dir.Write("fw.bin", CountingImage(300));
  const FwResult run = RunFw(dir, {"--simulate", "--fast", "update", "fw.bin", "-y"});
  ASSERT_EQ(run.exit_code, 0) << run.err;
  EXPECT_NE(run.out.find("Enter ISP Mode\nClear Status register\nFlash Erase All\n"
                         "Start Blanking Check\nBlanking Success\nStart Programming\n"
                         "Programming Success\nStart Verifying Check\nVerifying Success\n"
                         "Firmware update success!\n"),
            std::string::npos)
      << run.out;
}

TEST(FwUpdate, ChunkModeFollowsTheFlashPart) {
  ScratchDir dir;
  dir.Write("fw.bin", CountingImage(1000));
  struct Case {
    const char* flash;
    const char* jedec;
    const char* mode;
    const char* protect;
  };
  for (const Case& c : {Case{"aai", "BF 25 8C", "aai", nullptr},
                        Case{"page32", "C2 22 11", "page32", nullptr},
                        Case{"mx25l2006e", "C2 20 12", "page256", nullptr}}) {
    const FwResult run =
        RunFw(dir, {"update", "fw.bin", "--simulate", "--fast", "--flash", c.flash, "-y", "--json"});
    ASSERT_EQ(run.exit_code, 0) << c.flash << run.err;
    const json report = run.Json();
    EXPECT_EQ(report["jedec_id"], c.jedec) << c.flash;
    EXPECT_EQ(report["chunk_mode"], c.mode) << c.flash;
  }
}

TEST(FwUpdate, WeakCellFailsVerifyThreeTimesWithTheByteAndExits1) {
  ScratchDir dir;
  dir.Write("fw.bin", CountingImage(1024));
  const FwResult run = RunFw(dir, {"update", "fw.bin", "--simulate", "--fast", "--fault",
                                   "weak:0x100:5", "-y", "--json"});
  EXPECT_EQ(run.exit_code, 1);
  const json report = run.Json();
  EXPECT_EQ(report["verdict"], "failed");
  EXPECT_EQ(report["message"], "Firmware update Fail!");
  ASSERT_EQ(report["attempts"].size(), 3u);
  const json& verify = report["attempts"][2]["steps"].back();
  EXPECT_EQ(verify["step"], "verify");
  EXPECT_EQ(verify["result"], "failed");
  EXPECT_EQ(verify["first_difference"]["address"], "0x000100");
  EXPECT_EQ(verify["first_difference"]["expected"], "0x03");
  EXPECT_EQ(verify["first_difference"]["found"], "0xFF");
  // Protection and ISP exit still ran.
  EXPECT_EQ(report["status_after"], "0xBC");
}

TEST(FwUpdate, WeakCellThatRecoversSucceedsOnTheSecondAttempt) {
  ScratchDir dir;
  dir.Write("fw.bin", CountingImage(1024));
  const FwResult run = RunFw(dir, {"update", "fw.bin", "--simulate", "--fast", "--fault",
                                   "weak:0x3FF:1", "-y", "--json"});
  ASSERT_EQ(run.exit_code, 0) << run.err;
  const json report = run.Json();
  ASSERT_EQ(report["attempts"].size(), 2u);
  EXPECT_EQ(report["attempts"][0]["result"], "failed");
  EXPECT_EQ(report["attempts"][1]["result"], "ok");
}

TEST(FwUpdate, StuckBusyFlashIsNeverErased) {
  // A part that stays busy answers only its status: no ID, so no erase.
  ScratchDir dir;
  dir.Write("fw.bin", CountingImage(100));
  const FwResult run =
      RunFw(dir, {"update", "fw.bin", "--simulate", "--fast", "--fault", "stuck-busy", "-y", "--json"});
  EXPECT_EQ(run.exit_code, 1);
  const json report = run.Json();
  ASSERT_EQ(report["attempts"].size(), 3u);
  for (const json& attempt : report["attempts"]) {
    EXPECT_EQ(StepNames(attempt), (std::vector<std::string>{"isp-entry", "read-id"}));
    EXPECT_EQ(attempt["steps"][1]["message"], "Read Flash ID Fail");
  }
}

TEST(FwUpdate, DeviceThatVanishesFailsTheUpdate) {
  ScratchDir dir;
  dir.Write("fw.bin", CountingImage(4000));
  const FwResult run =
      RunFw(dir, {"update", "fw.bin", "--simulate", "--fast", "--fault", "vanish:400", "-y", "--json"});
  EXPECT_EQ(run.exit_code, 1);
  EXPECT_EQ(run.Json()["verdict"], "failed");
}

TEST(FwUpdate, DeviceThatDoesNotConfirmLeavingUpdateModeIsToldToBeReplugged) {
  ScratchDir dir;
  dir.Write("fw.bin", CountingImage(3000));
  const FwResult clean = RunFw(dir, {"update", "fw.bin", "--simulate", "--fast", "-y", "--json"});
  ASSERT_EQ(clean.exit_code, 0) << clean.err;
  EXPECT_EQ(clean.Json()["left_update_mode"], true);
  EXPECT_EQ(clean.Json()["notice"], nullptr);
  // The run ends with the exit from ISP mode and the two routing writes that
  // follow it: lose the exit alone, then the device with it.
  const int requests = clean.Json()["requests"].get<int>();
  const std::string notice =
      "The device did not confirm leaving update mode: unplug it and plug it in again.";
  for (const std::string fault :
       {"reject:" + std::to_string(requests - 2), "vanish:" + std::to_string(requests - 2)}) {
    SCOPED_TRACE(fault);
    const FwResult json_run =
        RunFw(dir, {"update", "fw.bin", "--simulate", "--fast", "--fault", fault, "-y", "--json"});
    // The flash holds the image: the verdict stays success.
    EXPECT_EQ(json_run.exit_code, 0) << json_run.err;
    const json report = json_run.Json();
    EXPECT_EQ(report["verdict"], "success");
    EXPECT_EQ(report["message"], "Firmware update success!");
    EXPECT_EQ(report["left_update_mode"], false);
    EXPECT_EQ(report["notice"], notice);

    const FwResult text_run =
        RunFw(dir, {"update", "fw.bin", "--simulate", "--fast", "--fault", fault, "-y"});
    EXPECT_NE(text_run.out.find("\nFirmware update success!\n" + notice + "\n"), std::string::npos)
        << text_run.out;
  }
}

TEST(FwUpdate, FindsTheModelsUpdateFileInTheCurrentDirectory) {
  ScratchDir dir;
  dir.Write("KORVALEN_TIDE.bin", CountingImage(777));
  const FwResult run =
      RunFw(dir, {"update", "--simulate=KORVALEN_TIDE", "--fast", "-y", "--json"});
  ASSERT_EQ(run.exit_code, 0) << run.err;
  EXPECT_EQ(run.Json()["file"], "KORVALEN_TIDE.bin");
  EXPECT_EQ(run.Json()["length"], 777);
  EXPECT_EQ(run.Json()["model"], "KORVALEN TIDE");
}

TEST(FwUpdate, RefusesBadFilesAndCommandLinesWithExit2) {
  ScratchDir dir;
  dir.Write("empty.bin", {});
  dir.Write("huge.bin", std::vector<uint8_t>(0x40001, 0x11));
  std::ofstream(dir.path() / "bad.hex") << ":10000000ZZ\n";
  for (const char* file : {"missing.hex", "empty.bin", "huge.bin", "bad.hex", "notes.txt"}) {
    const FwResult run = RunFw(dir, {"update", file, "--simulate", "--fast", "-y", "--json"});
    EXPECT_EQ(run.exit_code, 2) << file;
    // With --json the refusal is the document.
    EXPECT_EQ(run.Json()["exit"], 2) << file;
    EXPECT_NE(run.err, "") << file;
  }
  // No update file for the model in the current directory.
  EXPECT_EQ(RunFw(dir, {"update", "--simulate", "--fast", "-y"}).exit_code, 2);
  EXPECT_EQ(RunFw(dir, {"update", "--simulate=9", "--fast", "-y"}).exit_code, 2);
  EXPECT_EQ(RunFw(dir, {"update", "--simulate", "--flash", "nor", "-y"}).exit_code, 2);
  EXPECT_EQ(RunFw(dir, {"update", "--simulate", "--fault", "melt:3", "-y"}).exit_code, 2);
  EXPECT_EQ(RunFw(dir, {"update", "--bogus"}).exit_code, 2);
  EXPECT_EQ(RunFw(dir, {}).exit_code, 2);
}

TEST(FwUpdate, AsksBeforeUpdatingAndSendsNothingOnNo) {
  ScratchDir dir;
  dir.Write("fw.bin", CountingImage(100));
  const FwResult no = RunFw(dir, {"update", "fw.bin", "--simulate", "--fast", "--json"}, "n\n");
  EXPECT_EQ(no.exit_code, 1);
  EXPECT_EQ(no.Json()["exit"], 1);
  EXPECT_NE(no.err.find("Firmware Update is a critical operation. Please make sure the power "
                        "stays on and do not disconnect the device before the update is "
                        "complete. Would you like to proceed?"),
            std::string::npos);
  EXPECT_NE(no.err.find("Abort Firmware update process"), std::string::npos);

  const FwResult yes = RunFw(dir, {"update", "fw.bin", "--simulate", "--fast", "--json"}, "y\n");
  EXPECT_EQ(yes.exit_code, 0) << yes.err;
  EXPECT_EQ(yes.Json()["verdict"], "success");

  // An answer piped from a file written on Windows ends its line with CR LF.
  const FwResult crlf =
      RunFw(dir, {"update", "fw.bin", "--simulate", "--fast", "--json"}, "y\r\n");
  EXPECT_EQ(crlf.exit_code, 0) << crlf.err;
  EXPECT_EQ(RunFw(dir, {"update", "fw.bin", "--simulate", "--fast"}, "n\r\n").exit_code, 1);
}

TEST(FwUpdate, ReportFileHoldsTheSameDocument) {
  ScratchDir dir;
  dir.Write("fw.bin", CountingImage(100));
  const FwResult run = RunFw(
      dir, {"update", "fw.bin", "--simulate", "--fast", "-y", "--json", "--report", "r.json"});
  ASSERT_EQ(run.exit_code, 0);
  EXPECT_EQ(nlohmann::json::parse(ReadAll(dir.path() / "r.json")), run.Json());
}

TEST(FwUpdate, SeveralDevicesNeedDeviceOrAll) {
  ScratchDir dir;
  dir.Write("fw.bin", CountingImage(100));
  const FwResult many =
      RunFw(dir, {"update", "fw.bin", "--simulate", "--fast", "--devices", "2", "-y"});
  EXPECT_EQ(many.exit_code, 3);
  EXPECT_NE(many.err.find("usb:bus-001:port-2"), std::string::npos);

  const FwResult chosen = RunFw(dir, {"update", "fw.bin", "--simulate", "--fast", "--devices", "2",
                                      "--device", "usb:bus-001:port-2", "-y", "--json"});
  ASSERT_EQ(chosen.exit_code, 0) << chosen.err;
  EXPECT_EQ(chosen.Json()["path"], "usb:bus-001:port-2");

  EXPECT_EQ(RunFw(dir, {"update", "fw.bin", "--simulate", "--fast", "--device",
                        "usb:bus-001:port-7", "-y"})
                .exit_code,
            3);
  EXPECT_EQ(RunFw(dir, {"update", "fw.bin", "--simulate", "--fast", "--all", "--device",
                        "usb:bus-001:port-1", "-y"})
                .exit_code,
            2);
}

TEST(FwUpdateAll, FourDevicesInParallelOneFails) {
  ScratchDir dir;
  dir.Write("fw.bin", CountingImage(3000));
  const FwResult run = RunFw(dir, {"update", "fw.bin", "--all", "--simulate", "--fast", "--devices",
                                   "4", "--fault", "weak:0x200:9@3", "-y"});
  EXPECT_EQ(run.exit_code, 1);
  // The result table: one row per device, the failed one with its step.
  EXPECT_NE(run.out.find("usb:bus-001:port-1  KORVALEN ORBIT  success"), std::string::npos)
      << run.out;
  EXPECT_NE(run.out.find("usb:bus-001:port-2  KORVALEN ORBIT  success"), std::string::npos);
  EXPECT_NE(run.out.find("usb:bus-001:port-4  KORVALEN ORBIT  success"), std::string::npos);
  const size_t row = run.out.find("usb:bus-001:port-3  KORVALEN ORBIT  failed");
  ASSERT_NE(row, std::string::npos);
  EXPECT_NE(run.out.find("verify at 0x000200", row), std::string::npos);

  const FwResult json_run = RunFw(dir, {"update", "fw.bin", "--all", "--simulate", "--fast",
                                        "--devices", "4", "--fault", "weak:0x200:9@3", "-y", "--json"});
  EXPECT_EQ(json_run.exit_code, 1);
  const json reports = json_run.Json();
  ASSERT_EQ(reports.size(), 4u);
  for (const json& report : reports) {
    const bool failing = report["path"] == "usb:bus-001:port-3";
    EXPECT_EQ(report["verdict"], failing ? "failed" : "success") << report["path"];
    EXPECT_EQ(report["attempts"].size(), failing ? 3u : 1u);
  }
}

TEST(FwUpdateAll, AllSucceedExits0) {
  ScratchDir dir;
  dir.Write("KORVALEN_ORBIT.hex", {});
  std::ofstream(dir.path() / "KORVALEN_ORBIT.hex")
      << ":0400000001020304F2\n:00000001FF\n";
  const FwResult run =
      RunFw(dir, {"update", "--all", "--simulate", "--fast", "--devices", "3", "-y", "--json"});
  ASSERT_EQ(run.exit_code, 0) << run.err;
  for (const json& report : run.Json()) {
    EXPECT_EQ(report["verdict"], "success");
    EXPECT_EQ(report["length"], 4);
    EXPECT_EQ(report["checksum"], "0x000A");
  }
}

}  // namespace
}  // namespace korvalen::testing
