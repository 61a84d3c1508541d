// Output files: written whole or not at all, never through a link, never
// over something that is not a file.
#include "cli/AtomicFile.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "tests/cli/FwRun.h"

namespace korvalen::testing {
namespace {

namespace fs = std::filesystem;

size_t EntryCount(const fs::path& dir) {
  return static_cast<size_t>(std::distance(fs::directory_iterator(dir), fs::directory_iterator()));
}

TEST(AtomicFile, WritesNewAndReplacesOldFilesWhole) {
  ScratchDir dir;
  EXPECT_EQ(cli::WriteFileAtomically(dir.path() / "a.bin", std::string("\x00\r\n\xff", 4)), "");
  EXPECT_EQ(ReadAll(dir.path() / "a.bin"), std::string("\x00\r\n\xff", 4));
  EXPECT_EQ(cli::WriteFileAtomically(dir.path() / "a.bin", "second"), "");
  EXPECT_EQ(ReadAll(dir.path() / "a.bin"), "second");
  EXPECT_EQ(EntryCount(dir.path()), 1u) << "no temporary file left";
}

TEST(AtomicFile, RefusesFoldersAndSpecialFilesAndLeavesThem) {
  ScratchDir dir;
  fs::create_directory(dir.path() / "folder");
  ASSERT_EQ(::mkfifo((dir.path() / "pipe").c_str(), 0600), 0);
  for (const char* name : {"folder", "pipe"}) {
    const std::string error = cli::WriteFileAtomically(dir.path() / name, "x");
    EXPECT_NE(error.find("cannot write"), std::string::npos) << error;
    EXPECT_EQ(cli::CheckWritable(dir.path() / name), error);
  }
  EXPECT_TRUE(fs::is_directory(dir.path() / "folder"));
  EXPECT_TRUE(fs::is_fifo(dir.path() / "pipe"));
  EXPECT_EQ(EntryCount(dir.path()), 2u);
}

TEST(AtomicFile, CheckSaysWhyAndLeavesNothingBehind) {
  ScratchDir dir;
  EXPECT_EQ(cli::CheckWritable(dir.path() / "new.json"), "");
  EXPECT_EQ(EntryCount(dir.path()), 0u);
  const std::string missing = cli::CheckWritable(dir.path() / "no" / "r.json");
  EXPECT_NE(missing.find("the folder does not exist"), std::string::npos) << missing;
}

}  // namespace
}  // namespace korvalen::testing
