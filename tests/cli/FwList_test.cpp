// korvalen-fw list against simulated devices.
#include <gtest/gtest.h>

#include "tests/cli/FwRun.h"

namespace korvalen::testing {
namespace {

TEST(FwList, ListsEachSimulatedDeviceWithPathAndFirmware) {
  ScratchDir dir;
  const FwResult run =
      RunFw(dir, {"list", "--firmware", "--simulate=2", "--fast", "--devices", "2", "--json"});
  ASSERT_EQ(run.exit_code, 0) << run.err;
  const nlohmann::json devices = run.Json();
  ASSERT_EQ(devices.size(), 2u);
  EXPECT_EQ(devices[0]["path"], "usb:bus-001:port-1");
  EXPECT_EQ(devices[1]["path"], "usb:bus-001:port-2");
  EXPECT_EQ(devices[0]["model"], "KORVALEN TIDE");
  EXPECT_EQ(devices[0]["vid_pid"], "5e1a:f072");
  EXPECT_EQ(devices[0]["channel"], "audio");
  EXPECT_TRUE(devices[0]["firmware"].is_string());
}

TEST(FwList, LoaderIdentityHasNoFirmwareVersion) {
  ScratchDir dir;
  const FwResult run = RunFw(dir, {"list", "--simulate=0c3d", "--fast"});
  ASSERT_EQ(run.exit_code, 0) << run.err;
  EXPECT_NE(run.out.find("Firmware update 0C3D"), std::string::npos);
  EXPECT_NE(run.out.find("0c3d:6000"), std::string::npos);
  EXPECT_NE(run.out.find("device-interface"), std::string::npos);
  EXPECT_EQ(run.out.find("firmware "), std::string::npos);
}

TEST(FwList, LoaderIdentityWithoutFileIsRefused) {
  ScratchDir dir;
  const FwResult run = RunFw(dir, {"update", "--simulate=0c3d", "--fast", "-y"});
  EXPECT_EQ(run.exit_code, 2);
  EXPECT_NE(run.err.find("name the file"), std::string::npos);
}

TEST(FwList, HelpExits0) {
  ScratchDir dir;
  const FwResult run = RunFw(dir, {"--help"});
  EXPECT_EQ(run.exit_code, 0);
  EXPECT_NE(run.out.find("update"), std::string::npos);
}

TEST(FwList, VersionExits0) {
  ScratchDir dir;
  const FwResult run = RunFw(dir, {"--version"});
  EXPECT_EQ(run.exit_code, 0) << run.err;
  EXPECT_EQ(run.out.rfind("korvalen-fw 1.", 0), 0u) << run.out;
}

}  // namespace
}  // namespace korvalen::testing

namespace korvalen::testing {
namespace {

TEST(FwAccess, DeviceThatRefusesThisUserExits4WithWhatToDo) {
  ScratchDir dir;
  dir.Write("fw.bin", CountingImage(100));
  const FwResult run = RunFw(dir, {"update", "fw.bin", "--simulate=KORVALEN_TIDE", "--fast",
                                   "--fault", "deny-access", "-y", "--json"});
  EXPECT_EQ(run.exit_code, 4);
  EXPECT_EQ(run.Json()["verdict"], "cannot-open");
  EXPECT_EQ(run.Json()["requests"], 0);
  EXPECT_NE(run.err.find("KORVALEN TIDE"), std::string::npos) << run.err;
  EXPECT_NE(run.err.find("udev"), std::string::npos) << run.err;
  EXPECT_EQ(run.err.find("operation failed"), std::string::npos);

  const FwResult verify =
      RunFw(dir, {"verify", "fw.bin", "--simulate", "--fast", "--fault", "deny-access"});
  EXPECT_EQ(verify.exit_code, 4);
}

TEST(FwAccess, OneRefusingDeviceOfFourDoesNotStopTheOthers) {
  ScratchDir dir;
  dir.Write("fw.bin", CountingImage(100));
  const FwResult run = RunFw(dir, {"update", "fw.bin", "--all", "--simulate", "--fast", "--devices",
                                   "4", "--fault", "deny-access@2", "-y", "--json"});
  EXPECT_EQ(run.exit_code, 4);
  for (const nlohmann::json& report : run.Json()) {
    EXPECT_EQ(report["verdict"], report["path"] == "usb:bus-001:port-2" ? "cannot-open" : "success");
  }
}

}  // namespace
}  // namespace korvalen::testing
