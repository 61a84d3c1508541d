// korvalen-fw update when the way in fails, a request is not carried, or the
// device is unplugged: what the report and the plain output say.
#include <gtest/gtest.h>

#include "tests/cli/FwRun.h"

namespace korvalen::testing {
namespace {

using nlohmann::json;

const std::vector<std::string> kUpdate = {"update", "fw.bin", "--simulate", "--fast", "-y"};

std::vector<std::string> With(std::vector<std::string> args, const std::vector<std::string>& more) {
  args.insert(args.end(), more.begin(), more.end());
  return args;
}

std::vector<std::string> StepNames(const json& attempt) {
  std::vector<std::string> names;
  for (const json& step : attempt["steps"]) names.push_back(step["step"]);
  return names;
}

TEST(FwUpdateFaults, RejectedIdReadIsAFailedStepAndNothingIsErasedBeforeTheRetry) {
  ScratchDir dir;
  dir.Write("fw.bin", CountingImage(4096));
  for (const std::string flash : {"mx25l1021e", "sst25vf020b"}) {
    SCOPED_TRACE(flash);
    const FwResult run =
        RunFw(dir, With(kUpdate, {"--flash", flash, "--fault", "reject:8", "--json"}));
    ASSERT_EQ(run.exit_code, 0) << run.err;
    const json report = run.Json();
    EXPECT_EQ(report["verdict"], "success");
    ASSERT_EQ(report["attempts"].size(), 2u);
    const json& first = report["attempts"][0];
    EXPECT_EQ(StepNames(first), (std::vector<std::string>{"isp-entry", "read-id"}));
    EXPECT_EQ(first["result"], "failed");
    EXPECT_EQ(first["steps"][1]["result"], "failed");
    EXPECT_EQ(first["steps"][1]["message"], "Read Flash ID Fail");
    EXPECT_EQ(StepNames(report["attempts"][1]),
              (std::vector<std::string>{"isp-entry", "read-id", "clear-status", "erase",
                                        "blank-check", "program", "verify"}));
    EXPECT_EQ(report["jedec_id"], flash == "mx25l1021e" ? "C2 22 11" : "BF 25 8C");
  }
}

TEST(FwUpdateFaults, RejectedIspEntryIsEnteredAgain) {
  ScratchDir dir;
  dir.Write("fw.bin", CountingImage(4096));
  const FwResult clean = RunFw(dir, With(kUpdate, {"--json"}));
  ASSERT_EQ(clean.exit_code, 0) << clean.err;
  const FwResult run = RunFw(dir, With(kUpdate, {"--fault", "reject:2", "--json"}));
  ASSERT_EQ(run.exit_code, 0) << run.err;
  const json report = run.Json();
  EXPECT_EQ(report["attempts"][0]["steps"][0]["step"], "isp-entry");
  EXPECT_EQ(report["attempts"][0]["steps"][0]["message"], "Enter ISP Mode Fail");
  ASSERT_EQ(report["attempts"].size(), 2u);
  // The refusal is a failed step; the ID read still follows it and fails
  // (no ISP mode), which ends the attempt.
  EXPECT_EQ(report["attempts"][0]["steps"][1]["step"], "read-id");
  EXPECT_EQ(report["attempts"][0]["steps"][1]["result"], "failed");
  // The clean run's requests and the way in once more with its ID read (up
  // to 100 ready polls), not three attempts.
  EXPECT_LT(report["requests"].get<int>(), clean.Json()["requests"].get<int>() + 20 + 100);
}

TEST(FwUpdateFaults, StepWithARequestNotCarriedIsFailedEvenWhenTheUpdateGoesOn) {
  ScratchDir dir;
  dir.Write("fw.bin", CountingImage(4096));
  for (const std::string fault : {"reject:13", "reject:21"}) {
    SCOPED_TRACE(fault);
    const FwResult run = RunFw(dir, With(kUpdate, {"--fault", fault, "--json"}));
    ASSERT_EQ(run.exit_code, 0) << run.err;
    const json report = run.Json();
    EXPECT_EQ(report["verdict"], "success");
    int failed = 0;
    for (const json& attempt : report["attempts"]) {
      for (const json& step : attempt["steps"]) {
        if (step["result"] != "failed") continue;
        ++failed;
        EXPECT_EQ(step["message"], "1 request not carried; the update went on");
      }
    }
    EXPECT_EQ(failed, 1);
  }
}

TEST(FwUpdateFaults, UnplugEndsTheUpdateAtOnceAndSaysWhatToDo) {
  ScratchDir dir;
  dir.Write("fw.bin", CountingImage(64 * 1024));
  const FwResult clean = RunFw(dir, With(kUpdate, {"--json"}));
  ASSERT_EQ(clean.exit_code, 0) << clean.err;
  const int requests = clean.Json()["requests"].get<int>();
  const std::string fault = "vanish:" + std::to_string(requests / 2);

  const FwResult run = RunFw(dir, With(kUpdate, {"--fault", fault, "--json"}));
  EXPECT_EQ(run.exit_code, 1);
  const json report = run.Json();
  EXPECT_EQ(report["verdict"], "failed");
  EXPECT_EQ(report["message"], "Firmware update Fail!");
  EXPECT_EQ(report["device_gone"], true);
  EXPECT_EQ(report["attempts"].size(), 1u);
  EXPECT_EQ(report["attempts"][0]["steps"].back()["result"], "failed");
  const std::string notice =
      "The device stopped answering during programming. The flash may have changed. Plug the "
      "device in again and run the update again.";
  EXPECT_EQ(report["notice"], notice);
  // Half the clean run's requests, in device time less than the clean run.
  EXPECT_LE(report["requests"].get<int>(), requests / 2 + 20);
  EXPECT_LT(report["duration_ms"].get<double>(), clean.Json()["duration_ms"].get<double>());

  const FwResult text = RunFw(dir, With(kUpdate, {"--fault", fault}));
  EXPECT_EQ(text.exit_code, 1);
  EXPECT_NE(text.out.find("\nFirmware update Fail!\n" + notice + "\n"), std::string::npos)
      << text.out;
  EXPECT_EQ(text.out.find("ISP Fail and retry"), std::string::npos);
}

}  // namespace
}  // namespace korvalen::testing
