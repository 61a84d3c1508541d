// What the Register and Information pages decide without a window: the
// register shadow, the playback-status read and decode, the media-key
// exchange. Transcripts on a recording driver, expected bytes as literals.
#include <gtest/gtest.h>

#include <string>

#include "link/MediaKey.h"
#include "link/PlaybackStatus.h"
#include "link/RegisterShadow.h"
#include "tests/link/Transcript.h"

namespace korvalen::testing {
namespace {

// --- Register shadow ----------------------------------------------------------

TEST(RegisterShadowStep, InsertAndDeleteStopAtTheEnds) {
  RegisterShadow shadow;
  EXPECT_FALSE(shadow.StepDown(7)) << "0x00 does not go below";
  EXPECT_EQ(shadow.Get(7), 0x00);
  EXPECT_TRUE(shadow.StepUp(7));
  EXPECT_EQ(shadow.Get(7), 0x01);
  shadow.Set(8, 0xFF);
  EXPECT_FALSE(shadow.StepUp(8)) << "0xFF does not wrap";
  EXPECT_EQ(shadow.Get(8), 0xFF);
  EXPECT_TRUE(shadow.StepDown(8));
  EXPECT_EQ(shadow.Get(8), 0xFE);
  EXPECT_EQ(shadow.Get(9), 0x00) << "neighbours untouched";
}

using RegisterShadowLink = OpenLinkTest;

TEST_F(RegisterShadowLink, WriteWaitsThenReadsBackWhatTheChipHolds) {
  link_.Close();
  driver_.ClearCalls();
  AnswerWith([](const DecodedRequest&, std::span<uint8_t> out) { out[0] = 0x24; });
  RegisterShadow shadow;
  shadow.Set(0x31, 0xA5);
  EXPECT_EQ(shadow.WriteAndReadBack(link_, clock_, 0x31, 3), 0x24);
  EXPECT_EQ(shadow.Get(0x31), 0x24);
  EXPECT_EQ(Transcript(driver_), (std::vector<Req>{WriteReg(0x31, 0xA5), ReadReg(0x31, 0x24)}));
  EXPECT_EQ(clock_.sleeps, std::vector<uint32_t>{3});
  EXPECT_EQ(driver_.CallsOf(RecordedCall::Kind::kOpen).size(), 1u);
  EXPECT_FALSE(link_.HasHandle());
}

TEST_F(RegisterShadowLink, AFailedReadKeepsThePreviousEntry) {
  driver_.responder = [](const DecodedRequest&, std::span<uint8_t> out) {
    if (!out.empty()) out[0] = 0x99;
    return false;
  };
  RegisterShadow shadow;
  shadow.Set(0x10, 0x42);
  EXPECT_FALSE(shadow.ReadFromChip(link_, 0x10));
  EXPECT_EQ(shadow.Get(0x10), 0x42);
  EXPECT_EQ(shadow.WriteAndReadBack(link_, clock_, 0x10, 1), 0x42);
}

// --- Playback status ------------------------------------------------------------

struct Shown {
  std::string connect, mute, format, rate;
  bool mute_enabled, format_enabled;
  bool operator==(const Shown&) const = default;
};

Shown Show(uint8_t r164, uint8_t r166) {
  const StatusDisplay d = DecodePlaybackStatus({r164, 0x00, r166});
  auto text = [](const char* t) { return t ? std::string(t) : std::string("(unchanged)"); };
  return {text(d.connect), text(d.mute), text(d.format), text(d.rate), d.mute_enabled,
          d.format_enabled};
}

void PrintTo(const Shown& s, std::ostream* os) {
  *os << "{" << s.connect << "|" << s.mute << "|" << s.format << "|'" << s.rate << "'|"
      << s.mute_enabled << s.format_enabled << "}";
}

constexpr char kKeep[] = "(unchanged)";

TEST(PlaybackDecode, DisconnectedGreysEverythingElse) {
  EXPECT_EQ(Show(0x00, 0x00), (Shown{"USB Disconnected", kKeep, kKeep, kKeep, false, false}));
  EXPECT_EQ(Show(0x03, 0x06), (Shown{"USB Disconnected", kKeep, kKeep, kKeep, false, false}))
      << "bit 0 decides, DSD and mute bits aside";
}

TEST(PlaybackDecode, MutedKeepsFormatAndRateGreyed) {
  EXPECT_EQ(Show(0x04, 0x05), (Shown{"USB connected", "Mute", kKeep, kKeep, true, false}));
}

TEST(PlaybackDecode, PcmRates) {
  EXPECT_EQ(Show(0x04, 0x01), (Shown{"USB connected", "Playing", "PCM", "176.4KHz", true, true}));
  EXPECT_EQ(Show(0x00, 0x01).rate, " 44.1KHz");
  EXPECT_EQ(Show(0x03, 0x01).rate, "   96KHz");
  EXPECT_EQ(Show(0x09, 0x01).rate, "  768KHz");
  EXPECT_EQ(Show(0x12, 0x01), Show(0x02, 0x01)) << "only the low four bits count";
  EXPECT_EQ(Show(0x12, 0x01).rate, " 88.2KHz");
  for (uint8_t code = 10; code <= 15; ++code) {
    EXPECT_EQ(Show(code, 0x01).rate, "        ") << int(code);
  }
}

TEST(PlaybackDecode, DsdAndDopRates) {
  EXPECT_EQ(Show(0x01, 0x03), (Shown{"USB connected", "Playing", "DSD", " DoP 128", true, true}));
  EXPECT_EQ(Show(0x00, 0x03).rate, " DoP  64");
  EXPECT_EQ(Show(0x03, 0x03).rate, " DoP 512");
  EXPECT_EQ(Show(0x09, 0x03).rate, " DSD 128");
  EXPECT_EQ(Show(0x0B, 0x03).rate, " DSD 512");
  for (uint8_t code : {4, 5, 6, 7, 12, 13, 14, 15}) {
    EXPECT_EQ(Show(code, 0x03).rate, "        ") << int(code);
  }
}

using PlaybackRead = OpenLinkTest;

TEST_F(PlaybackRead, SelectsBank0AndReads164To166InOrder) {
  link_.Close();
  driver_.ClearCalls();
  AnswerWith([](const DecodedRequest& r, std::span<uint8_t> out) {
    out[0] = static_cast<uint8_t>(r.setup.index - 160);
  });
  PlaybackStatus status;
  EXPECT_TRUE(ReadPlaybackStatus(link_, status));
  EXPECT_EQ(Transcript(driver_), (std::vector<Req>{WriteReg(0, 0), ReadReg(164, 4),
                                                   ReadReg(165, 5), ReadReg(166, 6)}));
  EXPECT_EQ(status.rate, 4);
  EXPECT_EQ(status.extra, 5);
  EXPECT_EQ(status.state, 6);
  EXPECT_FALSE(link_.HasHandle());
}

TEST_F(PlaybackRead, AnAbsentDeviceLeavesTheLastValues) {
  driver_.responder = [](const DecodedRequest&, std::span<uint8_t>) { return false; };
  PlaybackStatus status{0x03, 0x00, 0x01};
  EXPECT_FALSE(ReadPlaybackStatus(link_, status));
  EXPECT_EQ(status.rate, 0x03);
  EXPECT_EQ(status.state, 0x01);
}

// --- Media keys -------------------------------------------------------------------

using MediaKeyExchange = OpenLinkTest;

TEST_F(MediaKeyExchange, AnsweredAtOnceIsPolledOnce) {
  AnswerWith([](const DecodedRequest&, std::span<uint8_t> out) { out[0] = 0x31; });
  const MediaKeyResult result = SendMediaKey(link_, clock_, 0x40);
  EXPECT_TRUE(result.taken);
  EXPECT_EQ(result.polls, 1);
  EXPECT_EQ(Transcript(driver_), (std::vector<Req>{WriteReg(0, 0), WriteReg(145, 0x40),
                                                   WriteReg(144, 0x30), ReadReg(144, 0x31)}));
  EXPECT_EQ(clock_.sleeps, std::vector<uint32_t>{10});
  EXPECT_FALSE(link_.HasHandle());
}

TEST_F(MediaKeyExchange, NeverAnsweredGivesUpAfterTenPollsAndLeaves144) {
  AnswerWith([](const DecodedRequest&, std::span<uint8_t> out) { out[0] = 0x30; });
  const MediaKeyResult result = SendMediaKey(link_, clock_, 0x02);
  EXPECT_FALSE(result.taken);
  EXPECT_EQ(result.polls, 10);
  std::vector<Req> expected = {WriteReg(0, 0), WriteReg(145, 0x02), WriteReg(144, 0x30)};
  for (int i = 0; i < 10; ++i) expected.push_back(ReadReg(144, 0x30));
  EXPECT_EQ(Transcript(driver_), expected) << "no clear of 144, no 146, no data registers";
  EXPECT_EQ(clock_.sleeps, std::vector<uint32_t>(10, 10));
}

TEST(MediaKeyTable, CaptionsAndCodesLeftToRight) {
  const std::pair<std::string, uint8_t> expected[] = {
      {"HID Prev", 0x40}, {"HID Vol -", 0x02}, {"HID Play", 0x10}, {"HID Vol +", 0x01},
      {"HID Next", 0x20}};
  ASSERT_EQ(kMediaKeys.size(), 5u);
  for (size_t i = 0; i < 5; ++i) {
    EXPECT_EQ(kMediaKeys[i].caption, expected[i].first);
    EXPECT_EQ(kMediaKeys[i].code, expected[i].second);
  }
}

}  // namespace
}  // namespace korvalen::testing
