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
  // No attempt was made: nothing was cleared, erased or programmed.
  EXPECT_TRUE(report["attempts"].empty()) << report.dump();
}

}  // namespace
}  // namespace korvalen::testing
