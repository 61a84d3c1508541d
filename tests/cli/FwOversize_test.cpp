// korvalen-fw update with a file larger than the device's flash.
#include <gtest/gtest.h>

#include "tests/cli/FwRun.h"

namespace korvalen::testing {
namespace {

TEST(FwUpdate, RefusesAFileLargerThanTheFlashBeforeErasing) {
  ScratchDir dir;
  dir.Write("fw.bin", CountingImage(256 * 1024));
  const FwResult run = RunFw(
      dir, {"update", "fw.bin", "--simulate", "--fast", "--flash", "mx25l1021e", "-y", "--json"});
  EXPECT_EQ(run.exit_code, 1) << run.err;
  const nlohmann::json report = run.Json();
  EXPECT_EQ(report["verdict"], "failed");
  EXPECT_EQ(report["message"],
            "Firmware update Fail! The update file (262144 bytes) does not fit the flash "
            "(131072 bytes).");
  // Only the way in, which read the ID that tells the size: nothing was
  // cleared, erased or programmed.
  ASSERT_EQ(report["attempts"].size(), 1u) << report.dump();
  const nlohmann::json& steps = report["attempts"][0]["steps"];
  ASSERT_EQ(steps.size(), 2u) << report.dump();
  EXPECT_EQ(steps[0]["step"], "isp-entry");
  EXPECT_EQ(steps[1]["step"], "read-id");
  EXPECT_EQ(steps[1]["result"], "ok");
}

}  // namespace
}  // namespace korvalen::testing
