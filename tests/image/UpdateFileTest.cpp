#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <future>
#include <memory>

#include "image/FileHistory.h"
#include "image/HexDigits.h"
#include "image/UpdateFile.h"
#include "tests/image/TestFiles.h"

namespace korvalen {
namespace {

using testing::DataRecord;
using testing::HexText;
using testing::kEndRecord;

TEST(LoaderChoice, FollowsTheFirstLetterOfAThreeLetterExtension) {
  EXPECT_EQ(ChooseLoader("dir/ORBIT.bin"), LoaderKind::kBinary);
  EXPECT_EQ(ChooseLoader("dir/ORBIT.BIN"), LoaderKind::kBinary);
  EXPECT_EQ(ChooseLoader("dir/ORBIT.hex"), LoaderKind::kHex);
  EXPECT_EQ(ChooseLoader("dir/ORBIT.H00"), LoaderKind::kHex);
  EXPECT_EQ(ChooseLoader("dir/ORBIT.txt"), LoaderKind::kNone);
  EXPECT_EQ(ChooseLoader("dir/notes.hx"), LoaderKind::kNone);
  EXPECT_EQ(ChooseLoader("hx"), LoaderKind::kNone);
  EXPECT_EQ(ChooseLoader(""), LoaderKind::kNone);
}

class UpdateFile : public ::testing::Test {
 protected:
  testing::TempDir dir_;
  std::unique_ptr<FirmwareImage> image_ = std::make_unique<FirmwareImage>();
};

TEST_F(UpdateFile, LoadImageFileUsesTheChosenLoader) {
  auto result = LoadImageFile(dir_.Write("a.BIN", "\x07"), *image_);
  ASSERT_TRUE(result.ok) << result.message;
  EXPECT_EQ(result.checksum, 7);

  result =
      LoadImageFile(dir_.Write("a.H00", HexText({DataRecord(0, {0x09}), kEndRecord})), *image_);
  ASSERT_TRUE(result.ok) << result.message;
  EXPECT_EQ(result.checksum, 9);
}

TEST_F(UpdateFile, UnknownExtensionLoadsNothingAndLeavesTheImage) {
  ASSERT_TRUE(LoadImageFile(dir_.Write("a.bin", "\x01\x02\x03"), *image_).ok);
  const auto result = LoadImageFile(dir_.Write("notes.txt", "\xAA\xBB"), *image_);
  EXPECT_FALSE(result.ok);
  EXPECT_EQ(result.error, LoadError::kUnknownType);
  EXPECT_EQ(result.checksum, 0);
  EXPECT_EQ(ChecksumText(result.checksum), "Checksum : 0x0000");
  EXPECT_NE(result.message.find("notes.txt"), std::string::npos);
  EXPECT_EQ(image_->length, 3u);
  EXPECT_EQ(image_->bytes[0], 0x01);
}

TEST_F(UpdateFile, HexIsPreferredOverBin) {
  dir_.Write("KORVALEN_ORBIT.bin", "\x01");
  dir_.Write("KORVALEN_ORBIT.hex", HexText({DataRecord(0, {0x02, 0x03}), kEndRecord}));
  EXPECT_EQ(FindUpdateFile(dir_.path(), "KORVALEN_ORBIT"), dir_.path() / "KORVALEN_ORBIT.hex");

  const auto result = LoadUpdateFile(dir_.path(), "KORVALEN_ORBIT", *image_);
  ASSERT_TRUE(result.ok) << result.message;
  EXPECT_EQ(result.length, 2u);
  EXPECT_EQ(UpdateFileStatusText(result), "Firmware Update file   KORVALEN_ORBIT.hex    is Ready!");
}

TEST_F(UpdateFile, FallsBackToBinThenReportsNoFile) {
  dir_.Write("KORVALEN_ORBIT.bin", "\x01");
  EXPECT_EQ(FindUpdateFile(dir_.path(), "KORVALEN_ORBIT"), dir_.path() / "KORVALEN_ORBIT.bin");
  EXPECT_EQ(FindUpdateFile(dir_.path(), ""), std::nullopt);

  ASSERT_TRUE(LoadUpdateFile(dir_.path(), "KORVALEN_ORBIT", *image_).ok);
  const auto result = LoadUpdateFile(dir_.path(), "KORVALEN_HALO", *image_);
  EXPECT_FALSE(result.ok);
  EXPECT_EQ(result.error, LoadError::kNotFound);
  EXPECT_EQ(result.path, dir_.path() / "KORVALEN_HALO.bin");
  EXPECT_EQ(UpdateFileStatusText(result), "No Updated File !");
  // Nothing was loaded, so the image is as the previous load left it.
  EXPECT_EQ(image_->length, 1u);
}

TEST_F(UpdateFile, BrokenHexIsReportedNotSwappedForTheBin) {
  dir_.Write("KORVALEN_ORBIT.bin", "\x01");
  dir_.Write("KORVALEN_ORBIT.hex", HexText({":0100000001FF", kEndRecord}));
  const auto result = LoadUpdateFile(dir_.path(), "KORVALEN_ORBIT", *image_);
  EXPECT_FALSE(result.ok);
  EXPECT_EQ(result.path, dir_.path() / "KORVALEN_ORBIT.hex");
  EXPECT_EQ(UpdateFileStatusText(result),
            "Invalid update file: KORVALEN_ORBIT.hex line 1 (record 1): record checksum is 0xFF, "
            "expected 0xFE");
  EXPECT_EQ(image_->length, 0u);
}

// Runs load on a thread; a load still blocked on the FIFO after a few
// seconds fails the test, and writers opened and closed on the FIFO let the
// blocked opens and reads end so the test can finish.
LoadResult LoadBesideFifo(const std::filesystem::path& fifo,
                          const std::function<LoadResult()>& load) {
  auto pending = std::async(std::launch::async, load);
  if (pending.wait_for(std::chrono::seconds(5)) == std::future_status::ready) return pending.get();
  ADD_FAILURE() << "the load blocked on " << fifo;
  // Each blocked open of the FIFO needs a writer of its own.
  while (pending.wait_for(std::chrono::milliseconds(50)) != std::future_status::ready) {
    const int writer = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
    if (writer >= 0) ::close(writer);
  }
  return pending.get();
}

TEST_F(UpdateFile, FifoUnderTheUpdateFileNameIsRefusedWithoutBlocking) {
  for (const std::string name : {"KORVALEN_ORBIT.hex", "KORVALEN_ORBIT.bin"}) {
    SCOPED_TRACE(name);
    testing::TempDir dir;
    const auto fifo = dir.path() / name;
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    // A good .bin beside a FIFO .hex is not taken instead: the file line
    // names the file that is wrong.
    if (name.ends_with(".hex")) dir.Write("KORVALEN_ORBIT.bin", "\x01");
    ASSERT_TRUE(LoadImageFile(dir.Write("OLD.bin", "\x01\x02"), *image_).ok);

    const LoadResult result = LoadBesideFifo(
        fifo, [&] { return LoadUpdateFile(dir.path(), "KORVALEN_ORBIT", *image_); });
    EXPECT_FALSE(result.ok);
    EXPECT_EQ(result.error, LoadError::kNotRegular);
    EXPECT_EQ(result.path, fifo);
    EXPECT_EQ(UpdateFileStatusText(result), "Invalid update file: " + name + " is not a regular file");
    EXPECT_EQ(image_->length, 0u) << "nothing of the previous image may be programmed";
  }
}

TEST_F(UpdateFile, EachLoaderRefusesAFifoAndADevice) {
  const auto fifo = dir_.path() / "PIPE.hex";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  for (const auto& path : {fifo, dir_.path() / "PIPE.bin"}) {
    if (path != fifo) std::filesystem::create_symlink(fifo, path);
    const LoadResult result = LoadBesideFifo(fifo, [&] { return LoadImageFile(path, *image_); });
    EXPECT_EQ(result.error, LoadError::kNotRegular) << path;
  }
  // A device that never ends would otherwise be read up to the size limit.
  if (std::filesystem::exists("/dev/zero")) {
    const auto zero = dir_.path() / "ZERO.bin";
    std::filesystem::create_symlink("/dev/zero", zero);
    EXPECT_EQ(LoadImageFile(zero, *image_).error, LoadError::kNotRegular);
  }
}

TEST(FileHistory, KeepsOneEntryPerPathInFirstLoadOrder) {
  std::vector<std::string> history;
  EXPECT_TRUE(AddToFileHistory(history, "C:/fw/a.hex"));
  EXPECT_TRUE(AddToFileHistory(history, "C:/fw/b.bin"));
  EXPECT_FALSE(AddToFileHistory(history, "C:/fw/a.hex"));
  EXPECT_TRUE(AddToFileHistory(history, "C:/fw/A.hex"));  // exact text comparison
  EXPECT_FALSE(AddToFileHistory(history, ""));
  EXPECT_EQ(history, (std::vector<std::string>{"C:/fw/a.hex", "C:/fw/b.bin", "C:/fw/A.hex"}));
}

TEST(HexDigits, ReadsExactlyCountCharactersAndNeverFails) {
  EXPECT_EQ(ParseHexDigits("5", 2), 0x50u);
  EXPECT_EQ(ParseHexDigits("1A2b", 4), 0x1A2Bu);
  EXPECT_EQ(ParseHexDigits("1A2b", 2), 0x1Au);
  EXPECT_EQ(ParseHexDigits("G7", 2), 0x07u);
  EXPECT_EQ(ParseHexDigits("-1", 2), 0x01u);
  EXPECT_EQ(ParseHexDigits(std::string_view("\0F", 2), 2), 0x0Fu);
  EXPECT_EQ(ParseHexDigits("", 4), 0u);
  EXPECT_EQ(ParseHexDigits("FFFFFFFF", 8), 0xFFFFFFFFu);
}

TEST(Checksum, ShowsFourUpperCaseDigits) {
  EXPECT_EQ(ChecksumText(2623), "Checksum : 0x0A3F");
  EXPECT_EQ(ChecksumText(0xFFFF), "Checksum : 0xFFFF");
}

TEST(DefaultImage, CoversOnlyTheFirst32KiB) {
  auto image = std::make_unique<FirmwareImage>();
  image->length = 0x1234;
  FillImage(*image, 0x5A);
  CopyDefaultImage(*image);
  ASSERT_EQ(DefaultImage().size(), 0x8000u);
  EXPECT_TRUE(std::equal(DefaultImage().begin(), DefaultImage().end(), image->bytes.begin()));
  EXPECT_EQ(image->bytes[0x8000], 0x5A);
  EXPECT_EQ(image->length, 0x1234u);
}

}  // namespace
}  // namespace korvalen
