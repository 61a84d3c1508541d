// A recording played back as the device: the same flow gets the same
// answers, on either envelope; anything else fails loudly and stays failed.
#include <gtest/gtest.h>

#include <fstream>

#include "tests/record/RecordBench.h"

namespace korvalen::record::testing {
namespace {

// The Register page's Read Bank and a write read back: the flow recorded
// and then replayed. The values read, in order.
std::vector<uint8_t> RegisterFlow(NorvaneUsb& link, uint8_t written) {
  std::vector<uint8_t> values;
  if (!link.Probe() || !link.Open()) return values;
  for (int reg = 0; reg < 256; ++reg) {
    uint8_t value = 0;
    if (!ReadRegister(link, static_cast<uint8_t>(reg), &value)) return values;
    values.push_back(value);
  }
  uint8_t back = 0;
  if (!WriteRegister(link, 0x42, written) || !ReadRegister(link, 0x42, &back)) return values;
  values.push_back(back);
  link.Close();
  return values;
}

class ReplayFlow : public ::testing::TestWithParam<sim::SimIdentity> {};

TEST_P(ReplayFlow, GivesTheRecordedAnswersAndTime) {
  Recorder recorder(GetParam());
  for (int reg = 1; reg < 256; ++reg)
    recorder.device->PokeRegister(0, static_cast<uint8_t>(reg), static_cast<uint8_t>(reg * 3));
  recorder.device->timing().request_latency_us = 250;
  const auto recorded = RegisterFlow(*recorder.link, 0x66);
  ASSERT_EQ(recorded.size(), 257u);
  EXPECT_EQ(recorded.back(), 0x66);
  const uint64_t recorded_micros = recorder.clock.NowMicros();
  Recording recording = recorder.Finish();

  Replayer replayer(std::move(recording), GetParam());
  EXPECT_EQ(RegisterFlow(replayer.link, 0x66), recorded);
  EXPECT_EQ(replayer.session.Finish(), "");
  // Every request's latency comes back as recorded, in virtual time.
  EXPECT_EQ(replayer.clock.NowMicros(), recorded_micros);
}

INSTANTIATE_TEST_SUITE_P(BothEnvelopes, ReplayFlow,
                         ::testing::Values(sim::kSimOrbit, sim::kSimUpdate0C3D),
                         [](const auto& info) { return info.index == 0 ? "Audio" : "Vendor"; });

TEST(Replay, ADifferentRequestFailsWithWhereAndWhatAndEverythingAfterFails) {
  Recorder recorder(sim::kSimUpdate0C3D);
  RegisterFlow(*recorder.link, 0x66);
  Replayer replayer(recorder.Finish(), sim::kSimUpdate0C3D);

  const auto replayed = RegisterFlow(replayer.link, 0x67);
  EXPECT_EQ(replayed.size(), 256u);  // the bank read, then the write differs
  const std::string failure = replayer.session.Failure();
  // Request 258: the presence test, 256 reads, then the write.
  EXPECT_NE(failure.find("request 258 differs from recorded transfer 258"), std::string::npos)
      << failure;
  EXPECT_NE(failure.find("expected: OUT 43 90 0000 0042 len 1 data 66"), std::string::npos)
      << failure;
  EXPECT_NE(failure.find("actual:   OUT 43 90 0000 0042 len 1 data 67"), std::string::npos)
      << failure;
  EXPECT_NE(failure.find("data differs first at byte 0"), std::string::npos) << failure;
  // A request that the recording does hold next still fails now.
  uint8_t value = 0;
  EXPECT_FALSE(ReadRegister(replayer.link, 0x42, &value));
  EXPECT_EQ(replayer.session.Finish(), failure);
}

TEST(Replay, TransfersNeverAskedForFailTheReplay) {
  Recorder recorder;
  RegisterFlow(*recorder.link, 0x66);
  Replayer replayer(recorder.Finish(), sim::kSimOrbit);
  ASSERT_TRUE(replayer.link.Probe());
  ASSERT_TRUE(replayer.link.Open());
  uint8_t value = 0;
  ASSERT_TRUE(ReadRegister(replayer.link, 0, &value));
  const std::string verdict = replayer.session.Finish();
  EXPECT_NE(verdict.find("257 of 259 recorded transfers were never asked for; the first is "
                         "recorded transfer 3"),
            std::string::npos)
      << verdict;
}

TEST(Replay, AskingPastTheRecordingFails) {
  Recorder recorder;
  ASSERT_TRUE(recorder.link->Probe());
  Replayer replayer(recorder.Finish(), sim::kSimOrbit);
  ASSERT_TRUE(replayer.link.Probe());
  EXPECT_FALSE(replayer.link.Probe());
  EXPECT_NE(replayer.session.Failure().find("the recording holds no more transfers"),
            std::string::npos);
}

TEST(Replay, PresentsTheRecordedDeviceUnderItsClassOnly) {
  Recorder recorder;
  ASSERT_TRUE(recorder.link->Probe());
  const std::string path = recorder.driver.PathOf(*recorder.device);
  Replayer replayer(recorder.Finish(), sim::kSimOrbit);
  EXPECT_EQ(replayer.driver.EnumerateInterfaces(kAudioDriverInterfaceClass),
            std::vector<std::string>{path});
  EXPECT_EQ(replayer.driver.EnumerateInterfaces(kUsbDeviceInterfaceClass),
            std::vector<std::string>{});
  EXPECT_EQ(replayer.driver.OpenPath(path + "x"), kNoHandle);
}

TEST(Replay, AFailedTransferFailsAgainAtTheSamePoint) {
  Recorder recorder(sim::kSimUpdate0C3D);
  ASSERT_TRUE(recorder.link->Probe());
  ASSERT_TRUE(recorder.link->Open());
  recorder.device->faults().reject_request = recorder.device->RequestCount() + 2;
  EXPECT_TRUE(WriteRegister(*recorder.link, 0x10, 1));
  EXPECT_FALSE(WriteRegister(*recorder.link, 0x10, 2));
  EXPECT_TRUE(WriteRegister(*recorder.link, 0x10, 3));
  Replayer replayer(recorder.Finish(), sim::kSimUpdate0C3D);
  ASSERT_TRUE(replayer.link.Probe());
  ASSERT_TRUE(replayer.link.Open());
  EXPECT_TRUE(WriteRegister(replayer.link, 0x10, 1));
  EXPECT_FALSE(WriteRegister(replayer.link, 0x10, 2));
  EXPECT_TRUE(WriteRegister(replayer.link, 0x10, 3));
  EXPECT_EQ(replayer.session.Finish(), "");
}

TEST(ReadRecording, RefusesWhatIsNoRecording) {
  const auto path = ScratchFile("not-a-capture.pcap");
  std::ofstream(path) << "this is a text file, not a capture\n";
  std::string error;
  EXPECT_FALSE(ReadRecording(path.string(), &error).has_value());
  EXPECT_NE(error.find("cannot read " + path.string()), std::string::npos) << error;
  std::filesystem::remove(path);

  error.clear();
  EXPECT_FALSE(ReadRecording("/nonexistent/capture.pcap", &error).has_value());
  EXPECT_FALSE(error.empty());
}

TEST(ReadRecording, KeepsWhatCameBeforeACut) {
  Recorder recorder;
  RegisterFlow(*recorder.link, 0x66);
  recorder.Finish();
  // Cut in the middle of the last record, as a crash or a full disk leaves it.
  const auto size = std::filesystem::file_size(recorder.path);
  std::filesystem::resize_file(recorder.path, size - 10);
  std::string error;
  const auto recording = ReadRecording(recorder.path.string(), &error);
  ASSERT_TRUE(recording.has_value()) << error;
  ASSERT_EQ(recording->transfers.size(), 259u);
  // The last transfer lost its completion: replaying it cannot pass.
  EXPECT_EQ(recording->transfers.back().complete_frame, 0u);
}

}  // namespace
}  // namespace korvalen::record::testing
