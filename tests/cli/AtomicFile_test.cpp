// Output files: written whole or not at all, never through a link, never
// over a folder; a FIFO is written as it is.
#include "cli/AtomicFile.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

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

TEST(AtomicFile, RefusesFoldersAndWritesIntoAFifoAsItIs) {
  ScratchDir dir;
  fs::create_directory(dir.path() / "folder");
  const std::string error = cli::WriteFileAtomically(dir.path() / "folder", "x");
  EXPECT_NE(error.find("it is a folder"), std::string::npos) << error;
  EXPECT_EQ(cli::CheckWritable(dir.path() / "folder"), error);
  EXPECT_TRUE(fs::is_directory(dir.path() / "folder"));

  // Renaming over a FIFO would take it from its reader: the bytes go in.
  ASSERT_EQ(::mkfifo((dir.path() / "pipe").c_str(), 0600), 0);
  EXPECT_EQ(cli::CheckWritable(dir.path() / "pipe"), "");
  const std::string reader = "cat " + Quote((dir.path() / "pipe").string()) + " > " +
                             Quote((dir.path() / "got").string()) + " &";
  ASSERT_EQ(std::system(reader.c_str()), 0);
  EXPECT_EQ(cli::WriteFileAtomically(dir.path() / "pipe", "through"), "");
  for (int i = 0; i < 250 && ReadAll(dir.path() / "got") != "through"; ++i) ::usleep(20000);
  EXPECT_EQ(ReadAll(dir.path() / "got"), "through");
  EXPECT_TRUE(fs::is_fifo(dir.path() / "pipe"));
  EXPECT_EQ(EntryCount(dir.path()), 3u) << "no temporary file left";
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
