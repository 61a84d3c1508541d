// The pcap container as capture tools lay it out: the header and record
// bytes written, and files of either byte order and stamp precision read.
#include "record/PcapFile.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <vector>

#include "tests/record/RecordBench.h"

namespace korvalen::record::testing {
namespace {

std::vector<uint8_t> FileBytes(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void WriteBytes(const std::filesystem::path& path, const std::vector<uint8_t>& bytes) {
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char*>(bytes.data()),
             static_cast<std::streamsize>(bytes.size()));
}

TEST(PcapFile, WritesTheHeaderAndRecordsCaptureToolsRead) {
  const auto path = ScratchFile("layout.pcap");
  std::string error;
  auto writer = PcapWriter::Create(path.string(), 220, 0x10040, &error);
  ASSERT_NE(writer, nullptr) << error;
  ASSERT_TRUE(writer->Write(std::vector<uint8_t>{0xAB, 0xCD}, 1'700'000'000'123'456));
  ASSERT_TRUE(writer->Flush());
  writer.reset();
  const std::vector<uint8_t> expected = {
      0xD4, 0xC3, 0xB2, 0xA1, 0x02, 0x00, 0x04, 0x00,  // magic, version 2.4
      0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,  // zone, accuracy
      0x40, 0x00, 0x01, 0x00, 0xDC, 0x00, 0x00, 0x00,  // snapshot length, usbmon
      0x00, 0xF1, 0x53, 0x65, 0x40, 0xE2, 0x01, 0x00,  // 1700000000 s, 123456 us
      0x02, 0x00, 0x00, 0x00, 0x02, 0x00, 0x00, 0x00,  // captured, on the wire
      0xAB, 0xCD};
  EXPECT_EQ(FileBytes(path), expected);
  std::filesystem::remove(path);
}

TEST(PcapFile, ReadsBigEndianAndNanosecondFiles) {
  const auto path = ScratchFile("big-endian.pcap");
  WriteBytes(path, {0xA1, 0xB2, 0x3C, 0x4D, 0x00, 0x02, 0x00, 0x04,  // nanosecond magic
                    0,    0,    0,    0,    0,    0,    0,    0,    0x00, 0x00, 0xFF, 0xFF,
                    0x00, 0x00, 0x00, 0xDC, 0,    0,    0,    1,    0,    0,    0,    2,
                    0,    0,    0,    3,    0,    0,    0,    3,    7,    8,    9});
  std::string error;
  auto reader = PcapReader::Open(path.string(), &error);
  ASSERT_NE(reader, nullptr) << error;
  EXPECT_EQ(reader->link_type(), 220u);
  std::vector<uint8_t> bytes;
  ASSERT_EQ(reader->Read(&bytes), PcapReader::Next::kRecord);
  EXPECT_EQ(bytes, (std::vector<uint8_t>{7, 8, 9}));
  EXPECT_EQ(reader->Read(&bytes), PcapReader::Next::kEnd);
  std::filesystem::remove(path);
}

TEST(PcapFile, TellsACutRecordFromTheEnd) {
  const auto path = ScratchFile("cut.pcap");
  std::string error;
  auto writer = PcapWriter::Create(path.string(), 220, 64, &error);
  ASSERT_NE(writer, nullptr) << error;
  ASSERT_TRUE(writer->Write(std::vector<uint8_t>(10, 0x11), 5));
  ASSERT_TRUE(writer->Write(std::vector<uint8_t>(10, 0x22), 6));
  writer.reset();
  std::filesystem::resize_file(path, std::filesystem::file_size(path) - 3);
  auto reader = PcapReader::Open(path.string(), &error);
  ASSERT_NE(reader, nullptr) << error;
  std::vector<uint8_t> bytes;
  EXPECT_EQ(reader->Read(&bytes), PcapReader::Next::kRecord);
  EXPECT_EQ(reader->Read(&bytes), PcapReader::Next::kCut);

  // A record longer than the snapshot length is no record.
  WriteBytes(path, {0xD4, 0xC3, 0xB2, 0xA1, 2, 0, 4, 0, 0, 0, 0, 0, 0, 0, 0, 0, 8,
                    0,    0,    0,    220,  0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 9, 0,
                    0,    0,    9,    0,    0, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9});
  reader = PcapReader::Open(path.string(), &error);
  ASSERT_NE(reader, nullptr) << error;
  EXPECT_EQ(reader->Read(&bytes), PcapReader::Next::kCut);
  std::filesystem::remove(path);
}

TEST(PcapFile, RefusesWhatIsNoCapture) {
  const auto path = ScratchFile("text.pcap");
  std::ofstream(path) << "no capture here, only text\n";
  std::string error;
  EXPECT_EQ(PcapReader::Open(path.string(), &error), nullptr);
  EXPECT_NE(error.find("not a pcap capture"), std::string::npos) << error;
  std::ofstream(path) << "short";
  EXPECT_EQ(PcapReader::Open(path.string(), &error), nullptr);
  EXPECT_NE(error.find("too short"), std::string::npos) << error;
  std::filesystem::remove(path);
}

}  // namespace
}  // namespace korvalen::record::testing
