// The update report is built from the sequence's values: rewording every
// text the window shows changes the report's lines and messages, never its
// verdicts, attempts or steps.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "cli/DeviceSession.h"
#include "cli/Devices.h"
#include "cli/Report.h"
#include "cli/UpdateRun.h"
#include "flash/UpdateWording.h"
#include "image/FirmwareImage.h"
#include "sim/FlashModels.h"
#include "sim/SimDevice.h"
#include "sim/SimDriver.h"
#include "sim/VirtualClock.h"

namespace korvalen::cli {
namespace {

class SimLine : public DeviceLine {
 public:
  SimLine(sim::SimDriver& driver, sim::VirtualClock& clock) : driver_(driver), clock_(clock) {}
  Driver& driver() override { return driver_; }
  Clock& clock() override { return clock_; }

 private:
  sim::SimDriver& driver_;
  sim::VirtualClock& clock_;
};

// Every text of the wording, changed.
UpdateWording Reworded() {
  UpdateWording w;
  for (std::string* text :
       {&w.enter_isp, &w.enter_isp_fail, &w.read_id_fail, &w.clear_status, &w.erase_all,
        &w.erase_fail, &w.erase_stopped, &w.blank_start, &w.blank_success, &w.program_start,
        &w.program_success, &w.verify_start, &w.verify_success, &w.blank_fail_at,
        &w.verify_fail_at, &w.stopped_at, &w.stopped, &w.word_program_open, &w.retry, &w.abort,
        &w.success_verdict, &w.fail_verdict, &w.still_in_update_mode}) {
    *text = "[" + *text + "]";
  }
  return w;
}

struct WordedRun {
  nlohmann::json json;
  std::vector<std::string> lines;
};

// One update of a fresh simulated device, worded by `wording`; `prepare`
// sets up the device's faults.
WordedRun UpdateWith(const UpdateWording& wording,
               const std::function<void(sim::SimDevice&)>& prepare = {}) {
  sim::VirtualClock clock;
  auto device = std::make_shared<sim::SimDevice>(clock, sim::kSimTide,
                                                 *sim::FindFlashModel(sim::kDefaultFlashModel));
  if (prepare) prepare(*device);
  sim::SimDriver driver;
  driver.Attach(device);
  const auto found = FindKnownDevices(driver);
  EXPECT_TRUE(found && found->size() == 1);
  DeviceSession session(found->front(), std::make_unique<SimLine>(driver, clock));
  FirmwareImage image;
  image.length = 0x1800;
  for (uint32_t i = 0; i < image.length; ++i) image.bytes[i] = static_cast<uint8_t>(i * 7 + 3);
  WordedRun run;
  const UpdateReport report = RunUpdate(
      session, image, "fw.bin", 0, [&](std::string_view text) { run.lines.emplace_back(text); },
      {}, wording);
  run.json = ReportJson(report);
  return run;
}

// The report without its words: verdict, flags, attempts and steps.
nlohmann::json Values(nlohmann::json json) {
  json.erase("message");
  json.erase("notice");
  for (auto& attempt : json["attempts"]) {
    for (auto& step : attempt["steps"]) step.erase("message");
  }
  return json;
}

TEST(UpdateWording, RewordedTextsLeaveTheReportsValuesAlone) {
  const std::vector<std::pair<std::string, std::function<void(sim::SimDevice&)>>> cases = {
      {"clean", {}},
      // A cell that never programs: three failed verifies and a failed verdict.
      {"weak cell", [](sim::SimDevice& d) { d.flash().AddWeakCell(0x123, 1000); }},
      // A cell that programs on the second attempt: one retry, then success.
      {"weak once", [](sim::SimDevice& d) { d.flash().AddWeakCell(0x40, 1); }},
  };
  for (const auto& [name, prepare] : cases) {
    SCOPED_TRACE(name);
    const WordedRun plain = UpdateWith(DefaultWording(), prepare);
    const WordedRun reworded = UpdateWith(Reworded(), prepare);
    EXPECT_EQ(Values(plain.json), Values(reworded.json));
    // The words did change, so the values above were not read from them.
    EXPECT_NE(plain.lines, reworded.lines);
    EXPECT_NE(plain.json["message"], reworded.json["message"]);
  }
}

TEST(UpdateWording, ReportTellsTheOutcomesApart) {
  const WordedRun clean = UpdateWith(DefaultWording());
  EXPECT_EQ(clean.json["verdict"], "success");
  EXPECT_EQ(clean.json["message"], "Firmware update success!");
  ASSERT_EQ(clean.json["attempts"].size(), 1u);
  std::vector<std::string> names;
  for (const auto& step : clean.json["attempts"][0]["steps"]) {
    EXPECT_EQ(step["result"], "ok") << step;
    names.push_back(step["step"]);
  }
  EXPECT_EQ(names, (std::vector<std::string>{"isp-entry", "read-id", "clear-status", "erase",
                                             "blank-check", "program", "verify"}));
  EXPECT_EQ(clean.lines.back(), "Firmware update success!");

  const WordedRun weak =
      UpdateWith(DefaultWording(), [](sim::SimDevice& d) { d.flash().AddWeakCell(0x123, 1000); });
  EXPECT_EQ(weak.json["verdict"], "failed");
  EXPECT_EQ(weak.json["message"], "Firmware update Fail!");
  ASSERT_EQ(weak.json["attempts"].size(), 3u);
  for (const auto& attempt : weak.json["attempts"]) {
    EXPECT_EQ(attempt["result"], "failed");
    const auto& verify = attempt["steps"].back();
    EXPECT_EQ(verify["step"], "verify");
    EXPECT_EQ(verify["result"], "failed");
    EXPECT_EQ(verify["message"], "Verifying Fail at 0x000123");
  }
  // Each failed attempt shows the retry line, the last one too.
  EXPECT_EQ(std::count(weak.lines.begin(), weak.lines.end(), "ISP Fail and retry"), 3);
}

}  // namespace
}  // namespace korvalen::cli
