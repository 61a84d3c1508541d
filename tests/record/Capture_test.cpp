// The capture file as capture tools read it: byte layout of the records, the
// device notes, failed transfers, and a disk that stops taking writes.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <csignal>
#include <cstring>
#include <fstream>
#include <iterator>

#include "tests/record/RecordBench.h"

namespace korvalen::record::testing {
namespace {

constexpr uint8_t kReadRegisterRequest = 0x91;

// The raw records of a pcap file, each without its 16-byte record header.
std::vector<std::vector<uint8_t>> RawRecords(const std::filesystem::path& path,
                                             std::vector<uint8_t>* file_header) {
  std::ifstream in(path, std::ios::binary);
  const std::vector<uint8_t> bytes{std::istreambuf_iterator<char>(in),
                                   std::istreambuf_iterator<char>()};
  std::vector<std::vector<uint8_t>> records;
  if (bytes.size() < 24) return records;
  file_header->assign(bytes.begin(), bytes.begin() + 24);
  size_t at = 24;
  while (at + 16 <= bytes.size()) {
    uint32_t captured = 0;
    std::memcpy(&captured, bytes.data() + at + 8, 4);
    at += 16;
    if (at + captured > bytes.size()) break;
    records.emplace_back(bytes.begin() + at, bytes.begin() + at + captured);
    at += captured;
  }
  return records;
}

std::vector<uint8_t> Slice(const std::vector<uint8_t>& bytes, size_t at, size_t n) {
  return {bytes.begin() + at, bytes.begin() + at + n};
}

TEST(Capture, WritesUsbmonRecordsCaptureToolsDecode) {
  Recorder recorder;
  ASSERT_TRUE(recorder.link->Probe());
  ASSERT_TRUE(recorder.link->Open());
  recorder.device->PokeRegister(recorder.device->CurrentBank(), 0xA4, 0x5C);
  uint8_t value = 0;
  ASSERT_TRUE(ReadRegister(*recorder.link, 0xA4, &value));
  recorder.Finish();

  std::vector<uint8_t> header;
  const auto records = RawRecords(recorder.path, &header);
  // Native byte order magic, version 2.4, link type 220 (usbmon, mmapped).
  EXPECT_EQ(Slice(header, 0, 6), (std::vector<uint8_t>{0xD4, 0xC3, 0xB2, 0xA1, 0x02, 0x00}));
  EXPECT_EQ(Slice(header, 20, 4), (std::vector<uint8_t>{220, 0, 0, 0}));
  ASSERT_GE(records.size(), 3u);
  const auto& submit = records[records.size() - 2];
  const auto& complete = records.back();
  ASSERT_EQ(submit.size(), 64u);
  EXPECT_EQ(submit[8], 'S');
  EXPECT_EQ(submit[9], 2);                                                // control
  EXPECT_EQ(submit[10], 0x80);                                            // endpoint 0, IN
  EXPECT_EQ(submit[11], 1);                                               // device 1
  EXPECT_EQ(Slice(submit, 12, 4), (std::vector<uint8_t>{1, 0, 0, '<'}));  // bus 1, setup, no data
  EXPECT_EQ(Slice(submit, 28, 12),
            (std::vector<uint8_t>{0x8D, 0xFF, 0xFF, 0xFF, 1, 0, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(Slice(submit, 40, 8),
            (std::vector<uint8_t>{0xC3, kReadRegisterRequest, 0, 0, 0xA4, 0, 1, 0}));
  EXPECT_EQ(Slice(submit, 56, 4), (std::vector<uint8_t>{0x00, 0x02, 0, 0}));  // URB_DIR_IN

  ASSERT_EQ(complete.size(), 65u);
  EXPECT_EQ(Slice(complete, 0, 8), Slice(submit, 0, 8));  // the same transfer id
  EXPECT_EQ(complete[8], 'C');
  EXPECT_EQ(complete[14], '-');  // no setup on a completion
  EXPECT_EQ(Slice(complete, 28, 12), (std::vector<uint8_t>{0, 0, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0}));
  EXPECT_EQ(complete[64], 0x5C);
}

TEST(Capture, NotesEachDeviceOpenedWithItsPathAndClassOnce) {
  Recorder recorder;
  // Listed under the same class, never opened: not the recording's business.
  recorder.driver.Attach(
      sim::MakeSimDevice(recorder.clock, sim::kSimTide, sim::kDefaultFlashModel));
  ASSERT_TRUE(recorder.link->Probe());
  ASSERT_TRUE(recorder.link->Probe());
  ASSERT_TRUE(recorder.link->Open());
  const std::string path = recorder.driver.PathOf(*recorder.device);
  const Recording recording = recorder.Finish();
  ASSERT_EQ(recording.interfaces.size(), 1u);
  EXPECT_EQ(recording.interfaces[0].path, path);
  EXPECT_EQ(recording.interfaces[0].interface_class, kAudioDriverInterfaceClass);
  EXPECT_EQ(recording.interfaces[0].bus, 1);
  EXPECT_EQ(recording.interfaces[0].device, 1);
  // The two presence tests, as the GET_STATUS they are carried as.
  ASSERT_EQ(recording.transfers.size(), 2u);
  EXPECT_EQ(recording.transfers[0].setup, (SetupPacket{0x80, 0x00, 0, 0}));
  EXPECT_EQ(recording.transfers[0].length, 2);
}

TEST(Capture, RecordsAFailedTransferAsFailedWithWhatTheCallerGot) {
  Recorder recorder(sim::kSimUpdate0C3D);
  ASSERT_TRUE(recorder.link->Probe());
  ASSERT_TRUE(recorder.link->Open());
  recorder.device->faults().reject_request = recorder.device->RequestCount() + 2;
  EXPECT_TRUE(WriteRegister(*recorder.link, 0x10, 0x01));
  EXPECT_FALSE(WriteRegister(*recorder.link, 0x10, 0x02));
  const Recording recording = recorder.Finish();
  ASSERT_GE(recording.transfers.size(), 2u);
  const RecordedTransfer& failed = recording.transfers.back();
  EXPECT_FALSE(failed.ok);
  EXPECT_EQ(failed.setup, (SetupPacket{0x43, 0x90, 0, 0x10}));
  EXPECT_EQ(failed.data_out, (std::vector<uint8_t>{0x02}));
  EXPECT_TRUE(recording.transfers[recording.transfers.size() - 2].ok);
}

// A disk that fills up while recording: the recording stops with one
// message, and the device work goes on with the same answers.
TEST(Capture, AWriteThatFailsStopsRecordingButNotTheWork) {
  Recorder recorder;
  ASSERT_TRUE(recorder.link->Probe());
  ASSERT_TRUE(recorder.link->Open());
  const auto before = std::filesystem::file_size(recorder.path);
  rlimit saved{};
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
  const auto old_handler = std::signal(SIGXFSZ, SIG_IGN);
  rlimit limited = saved;
  limited.rlim_cur = before + 300;  // room for two transfers, not for many
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limited), 0);

  bool all_read = true;
  for (int reg = 0; reg < 64; ++reg) {
    const auto r = static_cast<uint8_t>(0x40 + reg);
    recorder.device->PokeRegister(recorder.device->CurrentBank(), r, static_cast<uint8_t>(reg + 7));
    uint8_t value = 0;
    all_read &= ReadRegister(*recorder.link, r, &value) && value == reg + 7;
  }
  setrlimit(RLIMIT_FSIZE, &saved);
  std::signal(SIGXFSZ, old_handler);

  EXPECT_TRUE(all_read);
  EXPECT_FALSE(recorder.file->Recording());
  ASSERT_EQ(recorder.errors.size(), 1u);
  EXPECT_NE(recorder.errors[0].find("stopped"), std::string::npos) << recorder.errors[0];
  // What was written before the failure still reads as a capture.
  const Recording recording = recorder.Finish();
  EXPECT_LT(recording.transfers.size(), 10u);
}

TEST(Capture, RefusesAFileThatCannotBeCreated) {
  std::string error;
  const auto file = CaptureFile::Create("/nonexistent-directory/capture.pcap", nullptr, &error);
  EXPECT_EQ(file, nullptr);
  EXPECT_NE(error.find("/nonexistent-directory/capture.pcap"), std::string::npos) << error;
}

}  // namespace
}  // namespace korvalen::record::testing
