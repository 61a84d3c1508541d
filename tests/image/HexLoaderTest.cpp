#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <memory>

#include "image/Loaders.h"
#include "tests/image/TestFiles.h"

namespace korvalen {
namespace {

using testing::DataRecord;
using testing::HexRecord;
using testing::HexText;
using testing::kEndRecord;

std::string GoodRecord() { return DataRecord(0x0000, {0x01, 0x02}); }

class HexLoader : public ::testing::Test {
 protected:
  LoadResult Load(std::string_view text, std::string_view name = "ORBIT.hex") {
    return LoadHexFile(dir_.Write(name, text), *image_);
  }

  // A refused file must leave nothing that could be programmed.
  void ExpectErasedAndEmpty() const {
    EXPECT_EQ(image_->length, 0u);
    EXPECT_TRUE(std::all_of(image_->bytes.begin(), image_->bytes.end(),
                            [](uint8_t b) { return b == 0xFF; }));
  }

  uint8_t At(uint32_t offset) const { return image_->bytes[offset]; }

  testing::TempDir dir_;
  std::unique_ptr<FirmwareImage> image_ = std::make_unique<FirmwareImage>();
};

TEST_F(HexLoader, LoadsRecordsAtTheirOffsets) {
  const auto result = Load(
      HexText({DataRecord(0x0000, {0x01, 0x02, 0x03}), DataRecord(0x0003, {0x04}), kEndRecord}));
  ASSERT_TRUE(result.ok) << result.message;
  EXPECT_EQ(result.length, 4u);
  EXPECT_EQ(image_->length, 4u);
  EXPECT_EQ(result.checksum, 0x0A);
  EXPECT_EQ(At(0), 0x01);
  EXPECT_EQ(At(3), 0x04);
  EXPECT_EQ(At(4), 0xFF);
  EXPECT_TRUE(result.message.empty());
}

TEST_F(HexLoader, GapsReadErasedAndCountInLengthAndChecksum) {
  const auto result =
      Load(HexText({DataRecord(0x0000, {0x10, 0x20}), DataRecord(0x0010, {0x30}), kEndRecord}));
  ASSERT_TRUE(result.ok) << result.message;
  EXPECT_EQ(result.length, 0x11u);
  for (uint32_t i = 2; i < 0x10; ++i) EXPECT_EQ(At(i), 0xFF) << "offset " << i;
  EXPECT_EQ(result.checksum, 0x10 + 0x20 + 0x30 + 14 * 0xFF);
}

TEST_F(HexLoader, OutOfOrderRecordsLoadLikeSortedOnes) {
  const auto sorted = Load(HexText({DataRecord(0x0000, {0xAA, 0xBB}), DataRecord(0x0100, {0xCC}),
                                    DataRecord(0x0200, {0xDD, 0xEE}), kEndRecord}));
  ASSERT_TRUE(sorted.ok) << sorted.message;
  const FirmwareImage sorted_image = *image_;
  const auto shuffled =
      Load(HexText({DataRecord(0x0200, {0xDD, 0xEE}), DataRecord(0x0000, {0xAA, 0xBB}),
                    DataRecord(0x0100, {0xCC}), kEndRecord}));
  ASSERT_TRUE(shuffled.ok) << shuffled.message;
  // The highest end over all records, not the end of the last record.
  EXPECT_EQ(shuffled.length, 0x202u);
  EXPECT_EQ(shuffled.checksum, sorted.checksum);
  EXPECT_TRUE(image_->bytes == sorted_image.bytes);
}

TEST_F(HexLoader, OverlappingRecordsThatAgreeLoad) {
  const auto result = Load(
      HexText({DataRecord(0x0000, {0x11, 0x22, 0x33}), DataRecord(0x0001, {0x22}), kEndRecord}));
  ASSERT_TRUE(result.ok) << result.message;
  EXPECT_EQ(At(1), 0x22);
  EXPECT_EQ(result.length, 3u);
}

TEST_F(HexLoader, OverlappingRecordsThatDisagreeAreRefusedNamingBothLines) {
  // The later record reaches the earlier one through an extended address.
  const auto result = Load(HexText({DataRecord(0x0010, {0x11, 0x22, 0x33}), "",
                                    HexRecord(0x02, 0x0000, {0x00, 0x01}),
                                    DataRecord(0x0000, {0x11, 0x99}), kEndRecord}));
  EXPECT_FALSE(result.ok);
  EXPECT_EQ(result.error, LoadError::kMalformed);
  EXPECT_EQ(result.line, 4u);
  EXPECT_EQ(result.record, 3u);
  EXPECT_EQ(result.message,
            "ORBIT.hex line 4 (record 3): data 0x99 at 0x000011 conflicts with line 1, which put "
            "0x22 there (overlapping records)");
  ExpectErasedAndEmpty();
}

TEST_F(HexLoader, ExtendedLinearAddressMovesDataAndStoresNothingItself) {
  const auto result =
      Load(HexText({":020000040000FA", DataRecord(0x0000, {0x5A}), HexRecord(0x04, 0, {0x00, 0x01}),
                    DataRecord(0x0010, {0x7E}), kEndRecord}));
  ASSERT_TRUE(result.ok) << result.message;
  EXPECT_EQ(At(0), 0x5A);
  EXPECT_EQ(At(1), 0xFF);  // the address record's own bytes are not data
  EXPECT_EQ(At(0x10010), 0x7E);
  EXPECT_EQ(At(0x10), 0xFF);
  EXPECT_EQ(result.length, 0x10011u);
}

TEST_F(HexLoader, ExtendedSegmentAddressIsSixteenTimesTheSegment) {
  const auto result =
      Load(HexText({HexRecord(0x02, 0, {0x12, 0x34}), DataRecord(0x0005, {0x42}), kEndRecord}));
  ASSERT_TRUE(result.ok) << result.message;
  EXPECT_EQ(At(0x12345), 0x42);
  EXPECT_EQ(result.length, 0x12346u);
}

TEST_F(HexLoader, DataUnderASegmentBaseWrapsWithinItsSegment) {
  // Segment 0x1000 starts at 0x10000; a record from offset 0xFFFE runs on at
  // the segment's own start, not past its end.
  const auto result = Load(HexText({HexRecord(0x02, 0, {0x10, 0x00}),
                                    DataRecord(0xFFFE, {0x01, 0x02, 0x03, 0x04}), kEndRecord}));
  ASSERT_TRUE(result.ok) << result.message;
  EXPECT_EQ(At(0x1FFFE), 0x01);
  EXPECT_EQ(At(0x1FFFF), 0x02);
  EXPECT_EQ(At(0x10000), 0x03);
  EXPECT_EQ(At(0x10001), 0x04);
  EXPECT_EQ(At(0x20000), 0xFF);
  EXPECT_EQ(result.length, 0x20000u);
}

TEST_F(HexLoader, ZeroLengthDataRecordDoesNotStretchTheImage) {
  const auto result = Load(
      HexText({DataRecord(0x0000, {0x01, 0x02}), DataRecord(0x8000, {}), kEndRecord}));
  ASSERT_TRUE(result.ok) << result.message;
  EXPECT_EQ(result.length, 2u);
}

TEST_F(HexLoader, StartAddressRecordsAreIgnored) {
  const auto result =
      Load(HexText({HexRecord(0x03, 0, {0x00, 0x00, 0x01, 0x00}), DataRecord(0x0000, {0x01}),
                    HexRecord(0x05, 0, {0x00, 0x00, 0x02, 0x00}), kEndRecord}));
  ASSERT_TRUE(result.ok) << result.message;
  EXPECT_EQ(result.length, 1u);
  EXPECT_EQ(At(0), 0x01);
}

TEST_F(HexLoader, RecordCrossingSixteenBitOffsetRunsOnWithoutWrapping) {
  const auto result = Load(HexText({DataRecord(0xFFFE, {0x01, 0x02, 0x03, 0x04}), kEndRecord}));
  ASSERT_TRUE(result.ok) << result.message;
  EXPECT_EQ(At(0xFFFF), 0x02);
  EXPECT_EQ(At(0x10001), 0x04);
  EXPECT_EQ(At(0x0000), 0xFF);
  EXPECT_EQ(result.length, 0x10002u);
}

TEST_F(HexLoader, AcceptsAnyLineEndBlankLinesAndTextAfterTheEnd) {
  const std::vector<std::string> records = {DataRecord(0x0000, {0xC3, 0x3C}), kEndRecord};
  for (std::string_view line_end : {"\n", "\r\n", "\r"}) {
    std::string text = "\n  \t\n" + HexText(records, line_end) + "\n\n\x1A trailing notes";
    const auto result = Load(text);
    ASSERT_TRUE(result.ok) << result.message;
    EXPECT_EQ(result.length, 2u);
    EXPECT_EQ(result.checksum, 0xFF);
  }
  // No line end after the last record, blanks around a record.
  const auto result = Load("  " + DataRecord(0x0000, {0x01}) + " \t\r\n" + kEndRecord);
  ASSERT_TRUE(result.ok) << result.message;
  EXPECT_EQ(result.length, 1u);
}

TEST_F(HexLoader, ByteOrderMarkAtTheStartIsTheOnlyTextLetThrough) {
  const std::string records = HexText({DataRecord(0x0000, {0xC3, 0x3C}), kEndRecord});
  const auto result = Load("\xEF\xBB\xBF" + records);
  ASSERT_TRUE(result.ok) << result.message;
  EXPECT_EQ(result.length, 2u);
  EXPECT_EQ(At(1), 0x3C);

  // Anywhere else, or cut short, it is text outside a record.
  for (const std::string& text : {"\n\xEF\xBB\xBF" + records, "\xEF\xBB" + records,
                                  "\xEF\xBB\xBF\xEF\xBB\xBF" + records}) {
    const auto refused = Load(text);
    EXPECT_FALSE(refused.ok);
    EXPECT_EQ(refused.line, 1u + (text[0] == '\n')) << refused.message;
    ExpectErasedAndEmpty();
  }
}

TEST_F(HexLoader, CountsLinesTheSameWhateverTheLineEnd) {
  for (std::string_view line_end : {"\n", "\r\n", "\r"}) {
    const auto result = Load(HexText({GoodRecord(), "", ":0100000001FF", kEndRecord}, line_end));
    EXPECT_FALSE(result.ok);
    EXPECT_EQ(result.line, 3u) << result.message;
    EXPECT_EQ(result.record, 2u) << result.message;
  }
}

TEST_F(HexLoader, LowerCaseDigitsAreAccepted) {
  std::string record = DataRecord(0x00AB, {0xCD, 0xEF});
  std::transform(record.begin(), record.end(), record.begin(),
                 [](char c) { return static_cast<char>(std::tolower(c)); });
  const auto result = Load(HexText({record, kEndRecord}));
  ASSERT_TRUE(result.ok) << result.message;
  EXPECT_EQ(At(0xAC), 0xEF);
}

TEST_F(HexLoader, DataEndingExactlyAtTheImageEndLoads) {
  const auto result = Load(
      HexText({HexRecord(0x04, 0, {0x00, 0x03}), DataRecord(0xFFFC, {1, 2, 3, 4}), kEndRecord}));
  ASSERT_TRUE(result.ok) << result.message;
  EXPECT_EQ(result.length, kFirmwareImageSize);
  EXPECT_EQ(At(kFirmwareImageSize - 1), 4);
}

// Each malformed file is refused with a message naming the file, the line and
// the record, and leaves the image erased even when good records came first.
struct Malformed {
  const char* name;
  std::vector<std::string> lines;
  LoadError error;
  size_t line;
  size_t record;
  const char* words;  // expected somewhere in the message
};

class HexLoaderRefuses : public HexLoader, public ::testing::WithParamInterface<Malformed> {};

TEST_P(HexLoaderRefuses, WithWhereAndWhy) {
  const Malformed& c = GetParam();
  const auto result = Load(HexText(c.lines), "BROKEN.h00");
  EXPECT_FALSE(result.ok);
  EXPECT_EQ(result.error, c.error);
  EXPECT_EQ(result.line, c.line);
  EXPECT_EQ(result.record, c.record);
  EXPECT_EQ(result.checksum, 0);
  EXPECT_EQ(result.length, 0u);
  EXPECT_NE(result.message.find("BROKEN.h00"), std::string::npos) << result.message;
  EXPECT_NE(result.message.find(c.words), std::string::npos) << result.message;
  if (c.line != 0) {
    EXPECT_NE(result.message.find("line " + std::to_string(c.line)), std::string::npos)
        << result.message;
  }
  ExpectErasedAndEmpty();
}

const std::string kGood = GoodRecord();

INSTANTIATE_TEST_SUITE_P(
    Cases, HexLoaderRefuses,
    ::testing::Values(
        Malformed{"BadChecksum",
                  {kGood, ":020010000102EA", kEndRecord},
                  LoadError::kMalformed,
                  2,
                  2,
                  "checksum is 0xEA, expected 0xEB"},
        Malformed{"BadDigit",
                  {kGood, ":02001000010G0B", kEndRecord},
                  LoadError::kMalformed,
                  2,
                  2,
                  "'G' at column 13 is not a hexadecimal digit"},
        Malformed{"BlankInsideRecord",
                  {":02000000 0102FB", kEndRecord},
                  LoadError::kMalformed,
                  1,
                  1,
                  "' ' at column 10"},
        // Without the length check this record would borrow the next line.
        Malformed{"ShortRecord",
                  {":0400000001020304", ":00000001FF"},
                  LoadError::kMalformed,
                  1,
                  1,
                  "too short for its byte count 0x04"},
        Malformed{
            "LongRecord", {":0100000001FEFE", kEndRecord}, LoadError::kMalformed, 1, 1, "too long"},
        Malformed{"Truncated", {":0000", kEndRecord}, LoadError::kMalformed, 1, 1, "too short"},
        Malformed{"UnknownType",
                  {kGood, HexRecord(0x06, 0, {}), kEndRecord},
                  LoadError::kMalformed,
                  2,
                  2,
                  "unknown record type 0x06"},
        Malformed{"EndRecordWithData",
                  {kGood, HexRecord(0x01, 0, {0x00})},
                  LoadError::kMalformed,
                  2,
                  2,
                  "needs byte count 0x00"},
        Malformed{"AddressRecordWrongSize",
                  {HexRecord(0x04, 0, {0x01}), kEndRecord},
                  LoadError::kMalformed,
                  1,
                  1,
                  "needs byte count 0x02"},
        Malformed{"LineWithoutColon",
                  {kGood, "0200100001020B", kEndRecord},
                  LoadError::kMalformed,
                  2,
                  0,
                  "does not start with ':'"},
        Malformed{"PastImageEnd",
                  {kGood, HexRecord(0x04, 0, {0x00, 0x03}),
                   DataRecord(0xFFF8, std::vector<uint8_t>(16, 0)), kEndRecord},
                  LoadError::kOutOfRange,
                  3,
                  3,
                  "beyond the 256 KiB image"},
        Malformed{"FarLinearAddress",
                  {HexRecord(0x04, 0, {0x08, 0x00}), DataRecord(0x0000, {0x01}), kEndRecord},
                  LoadError::kOutOfRange,
                  2,
                  2,
                  "ends at 0x8000001"},
        Malformed{"MissingEndRecord",
                  {kGood},
                  LoadError::kMalformed,
                  0,
                  0,
                  "without an end-of-file record"},
        Malformed{"EndRecordOnly", {kEndRecord}, LoadError::kEmpty, 0, 0, "holds no data"},
        Malformed{"NoRecords", {"", "   "}, LoadError::kEmpty, 0, 0, "holds no HEX records"}),
    [](const ::testing::TestParamInfo<Malformed>& info) { return std::string(info.param.name); });

TEST_F(HexLoader, RefusesEmptyAndMissingFiles) {
  auto result = Load("");
  EXPECT_FALSE(result.ok);
  EXPECT_EQ(result.error, LoadError::kEmpty);
  EXPECT_EQ(result.message, "ORBIT.hex is empty");

  result = LoadHexFile(dir_.path() / "ABSENT.hex", *image_);
  EXPECT_FALSE(result.ok);
  EXPECT_EQ(result.error, LoadError::kCannotOpen);
  EXPECT_NE(result.message.find("ABSENT.hex"), std::string::npos);
  ExpectErasedAndEmpty();
}

TEST_F(HexLoader, FailedLoadAfterAGoodOneLeavesNothingToProgram) {
  ASSERT_TRUE(Load(HexText({DataRecord(0x0000, {0x01, 0x02, 0x03}), kEndRecord})).ok);
  const auto result = Load(HexText({DataRecord(0x0000, {0x04}), ":0100010005F9"}));
  EXPECT_FALSE(result.ok);
  ExpectErasedAndEmpty();
}

}  // namespace
}  // namespace korvalen
