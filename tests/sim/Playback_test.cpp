// The firmware's playback status registers and its media-key answer, read
// through raw register requests.
#include "sim/SimPlayback.h"

#include <gtest/gtest.h>

#include "sim/FaultSpec.h"
#include "tests/sim/SimBench.h"

namespace korvalen::sim {
namespace {

using testing::SimBench;

TEST(SimPlayback, StateLandsInRegisters164To166OfBank0) {
  SimBench bench;
  SimPlayback playback;
  playback.dsd = true;
  playback.rate_code = 9;
  playback.extra = 0x5C;
  SetPlayback(*bench.device, playback);
  bench.WriteReg(0, 0);
  EXPECT_EQ(bench.ReadReg(164), 0x09);
  EXPECT_EQ(bench.ReadReg(165), 0x5C);
  EXPECT_EQ(bench.ReadReg(166), 0x03);

  SetPlayback(*bench.device, *ParsePlayback("muted"));
  EXPECT_EQ(bench.ReadReg(166), 0x05);
  SetPlayback(*bench.device, *ParsePlayback("disconnected"));
  EXPECT_EQ(bench.ReadReg(166), 0x00);
  bench.WriteReg(0, 3);
  EXPECT_NE(bench.ReadReg(166), 0x05) << "only bank 0 holds the status";
}

TEST(SimPlayback, ParsesTheCommandLineForms) {
  const auto pcm = ParsePlayback("pcm:3");
  ASSERT_TRUE(pcm);
  EXPECT_TRUE(pcm->connected);
  EXPECT_FALSE(pcm->dsd);
  EXPECT_FALSE(pcm->muted);
  EXPECT_EQ(pcm->rate_code, 3);
  EXPECT_EQ(ParsePlayback("dsd:15")->rate_code, 15);
  for (const char* bad : {"pcm:16", "pcm:", "pcm", "dsd:-1", "dsd:1x", "PCM:3", "", "mute"}) {
    std::string error;
    EXPECT_FALSE(ParsePlayback(bad, &error)) << bad;
    EXPECT_FALSE(error.empty()) << bad;
  }
}

TEST(SimMediaKey, AnsweredWith31AfterTheSettableDelay) {
  SimBench bench;
  bench.device->timing().media_key_delay_us = 30000;
  bench.WriteReg(0, 0);
  bench.WriteReg(145, 0x40);
  bench.WriteReg(144, 0x30);
  bench.clock.Sleep(20);
  EXPECT_EQ(bench.ReadReg(144), 0x30) << "not yet";
  bench.clock.Sleep(10);
  EXPECT_EQ(bench.ReadReg(144), 0x31);
  EXPECT_EQ(bench.device->mailbox().media_keys, std::vector<uint8_t>{0x40});
  // The host leaves 0x31 standing; the next key is a new command.
  bench.WriteReg(145, 0x01);
  bench.WriteReg(144, 0x30);
  bench.clock.Sleep(30);
  EXPECT_EQ(bench.ReadReg(144), 0x31);
  EXPECT_EQ(bench.device->mailbox().media_keys, (std::vector<uint8_t>{0x40, 0x01}));
}

TEST(SimMediaKey, SilentMailboxAndTheLoaderNeverAnswer) {
  SimBench silent;
  ApplyFaultSpecs(ParseFaultSpec("mailbox-silent").specs, *silent.device);
  SimBench loader(kSimUpdate5E1A);
  for (SimBench* bench : {&silent, &loader}) {
    bench->WriteReg(0, 0);
    bench->WriteReg(145, 0x10);
    bench->WriteReg(144, 0x30);
    bench->clock.Sleep(1000);
    EXPECT_EQ(bench->ReadReg(144), 0x30);
    EXPECT_TRUE(bench->device->mailbox().media_keys.empty());
  }
}

}  // namespace
}  // namespace korvalen::sim
