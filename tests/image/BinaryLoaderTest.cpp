#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>

#include "image/Loaders.h"
#include "tests/image/TestFiles.h"

namespace korvalen {
namespace {

class BinaryLoader : public ::testing::Test {
 protected:
  LoadResult Load(const std::string& content, std::string_view name = "ORBIT.bin") {
    return LoadBinaryFile(dir_.Write(name, content), *image_);
  }

  bool AllErased() const {
    return std::all_of(image_->bytes.begin(), image_->bytes.end(),
                       [](uint8_t b) { return b == 0xFF; });
  }

  testing::TempDir dir_;
  std::unique_ptr<FirmwareImage> image_ = std::make_unique<FirmwareImage>();
};

TEST_F(BinaryLoader, LoadsTheFileFromOffsetZero) {
  const auto result = Load(std::string("\x01\x00\xFE\x80", 4));
  ASSERT_TRUE(result.ok) << result.message;
  EXPECT_EQ(result.length, 4u);
  EXPECT_EQ(image_->length, 4u);
  EXPECT_EQ(result.checksum, 0x01 + 0xFE + 0x80);
  EXPECT_EQ(image_->bytes[1], 0x00);
  EXPECT_EQ(image_->bytes[4], 0xFF);
}

TEST_F(BinaryLoader, ErasedBlockOf32KiBSumsTo0x8000) {
  const auto result = Load(std::string(0x8000, '\xFF'));
  ASSERT_TRUE(result.ok) << result.message;
  EXPECT_EQ(result.checksum, 0x8000);
  EXPECT_EQ(ChecksumText(result.checksum), "Checksum : 0x8000");
}

TEST_F(BinaryLoader, SmallerFileReplacesTheWholeImage) {
  ASSERT_TRUE(Load(std::string(0x1000, '\x11')).ok);
  const auto result = Load("\x22");
  ASSERT_TRUE(result.ok) << result.message;
  EXPECT_EQ(result.length, 1u);
  EXPECT_EQ(image_->bytes[1], 0xFF);
  EXPECT_EQ(image_->bytes[0xFFF], 0xFF);
}

TEST_F(BinaryLoader, LoadsAFullImageAndRefusesOneByteMore) {
  std::string full(kFirmwareImageSize, '\0');
  for (size_t i = 0; i < full.size(); ++i) full[i] = static_cast<char>(i * 7);
  auto result = Load(full);
  ASSERT_TRUE(result.ok) << result.message;
  EXPECT_EQ(result.length, kFirmwareImageSize);
  EXPECT_EQ(image_->bytes[kFirmwareImageSize - 1],
            static_cast<uint8_t>((kFirmwareImageSize - 1) * 7));
  uint16_t sum = 0;
  for (char c : full) sum = static_cast<uint16_t>(sum + static_cast<uint8_t>(c));
  EXPECT_EQ(result.checksum, sum);

  result = Load(full + '\x55', "BIG.bin");
  EXPECT_FALSE(result.ok);
  EXPECT_EQ(result.error, LoadError::kTooLarge);
  EXPECT_EQ(result.message, "BIG.bin is larger than the 256 KiB (0x40000-byte) image");
  EXPECT_EQ(result.length, 0u);
  EXPECT_EQ(image_->length, 0u);
  EXPECT_TRUE(AllErased());
}

TEST_F(BinaryLoader, RefusesEmptyMissingAndDirectoryPaths) {
  ASSERT_TRUE(Load("\x01\x02").ok);
  auto result = Load("", "EMPTY.bin");
  EXPECT_FALSE(result.ok);
  EXPECT_EQ(result.error, LoadError::kEmpty);
  EXPECT_EQ(result.message, "EMPTY.bin is empty");
  EXPECT_EQ(result.checksum, 0);
  EXPECT_EQ(image_->length, 0u);
  EXPECT_TRUE(AllErased());

  ASSERT_TRUE(Load("\x01\x02").ok);
  result = LoadBinaryFile(dir_.path() / "ABSENT.bin", *image_);
  EXPECT_FALSE(result.ok);
  EXPECT_EQ(result.error, LoadError::kCannotOpen);
  EXPECT_EQ(result.message, "ABSENT.bin cannot be opened for reading");
  // Not the old length over an erased image: nothing may be programmed.
  EXPECT_EQ(image_->length, 0u);
  EXPECT_TRUE(AllErased());

  std::filesystem::create_directory(dir_.path() / "FOLDER.bin");
  result = LoadBinaryFile(dir_.path() / "FOLDER.bin", *image_);
  EXPECT_FALSE(result.ok);
  EXPECT_EQ(result.error, LoadError::kCannotOpen);
}

}  // namespace
}  // namespace korvalen
