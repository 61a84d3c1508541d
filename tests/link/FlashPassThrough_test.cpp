#include "link/FlashPassThrough.h"

#include <gtest/gtest.h>

#include <array>
#include <numeric>

#include "tests/link/Transcript.h"

namespace korvalen::testing {
namespace {

using FlashBlocks = OpenLinkTest;

TEST_F(FlashBlocks, ReadyOnlyWhenAcceptedAndNonzero) {
  driver_.replies = {{true, {1}}, {true, {0}}, {false, {1}}};
  EXPECT_TRUE(FlashReady(link_));
  EXPECT_FALSE(FlashReady(link_));
  EXPECT_FALSE(FlashReady(link_));
  EXPECT_EQ(Transcript(driver_)[0], Ready(1));
}

TEST_F(FlashBlocks, CommandPacketsCarryOpcodeFirst) {
  const std::array<uint8_t, 3> address = {0x12, 0x34, 0x56};
  EXPECT_TRUE(FlashCommandWrite(link_, 0x0B, 3, address.data()));
  EXPECT_TRUE(FlashCommandRead(link_, 0x5A, 7));
  EXPECT_EQ(Transcript(driver_), (std::vector<Req>{FlashWritePacket(1, {0x0B, 0x12, 0x34, 0x56}),
                                                   FlashCommand(7, {0x5A})}));
}

TEST_F(FlashBlocks, RefusesCountsItCannotCarryWithoutSending) {
  const std::array<uint8_t, 4> bytes = {};
  uint8_t answer = 0x77;
  // A command packet holds the opcode and at most three bytes.
  EXPECT_FALSE(FlashCommandWrite(link_, 0x02, 4, bytes.data()));
  // An empty fetch would leave the pending answer in the chip.
  EXPECT_FALSE(FlashReadBack(link_, 0, &answer));
  EXPECT_TRUE(driver_.calls.empty());
}

TEST_F(FlashBlocks, RefusedFetchLeavesDestinationUnchanged) {
  driver_.replies = {{false, {9, 9}}};
  std::array<uint8_t, 2> answer = {0x77, 0x77};
  EXPECT_FALSE(FlashReadBack(link_, 2, answer.data()));
  EXPECT_EQ(answer, (std::array<uint8_t, 2>{0x77, 0x77}));
}

TEST_F(FlashBlocks, OneByteAndAddressPrimitivesSendTheirExactPacket) {
  EXPECT_TRUE(FlashWriteEnable(link_));
  EXPECT_TRUE(FlashWriteDisable(link_));
  EXPECT_TRUE(FlashChipErase(link_));
  EXPECT_TRUE(FlashSectorErase(link_, 0x00F000));
  EXPECT_TRUE(FlashWriteStatus(link_, 0x9C));
  EXPECT_EQ(
      Transcript(driver_),
      (std::vector<Req>{FlashWritePacket(1, {0x06}), FlashWritePacket(1, {0x04}),
                        FlashWritePacket(1, {0xC7}), FlashWritePacket(1, {0x20, 0x00, 0xF0, 0x00}),
                        FlashWritePacket(1, {0x01, 0x9C})}));
  driver_.replies = {{false, {}}};
  EXPECT_FALSE(FlashWriteEnable(link_));
}

TEST_F(FlashBlocks, AddressesBeyondThreeBytesAreRefused) {
  std::array<uint8_t, 4> data = {};
  EXPECT_FALSE(FlashSectorErase(link_, 0x1000000));
  EXPECT_FALSE(FlashRead(link_, clock_, 0x1000000, 4, data.data()));
  EXPECT_FALSE(FlashPageProgram(link_, 0x1FFFFFF, 4, data.data()));
  EXPECT_FALSE(FlashAaiProgram(link_, 0x1000000, 4, data.data()));
  EXPECT_TRUE(driver_.calls.empty());
}

using FlashAnswers = OpenLinkTest;

TEST_F(FlashAnswers, StatusPollsUntilReadyThenFetchesOneByte) {
  driver_.replies = {{true, {}}, {true, {0}}, {true, {0}}, {true, {1}}, {true, {0x42}}};
  EXPECT_EQ(FlashReadStatus(link_), 0x42);
  EXPECT_EQ(Transcript(driver_), (std::vector<Req>{FlashCommand(1, {0x05}), Ready(0), Ready(0),
                                                   Ready(1), Fetch({0x42})}));
}

TEST_F(FlashAnswers, StatusNeverReadyIsFFAfterExactlyTenPolls) {
  driver_.responder = [](const DecodedRequest&, std::span<uint8_t> out) {
    std::fill(out.begin(), out.end(), 0);
    return true;
  };
  EXPECT_EQ(FlashReadStatus(link_), 0xFF);
  std::vector<Req> expected = {FlashCommand(1, {0x05})};
  Append(expected, std::vector<Req>(10, Ready(0)));
  EXPECT_EQ(Transcript(driver_), expected);
}

TEST_F(FlashAnswers, StatusWhoseFetchIsRefusedReadsBusy) {
  driver_.replies = {{true, {}}, {true, {1}}, {false, {0x00}}};
  EXPECT_EQ(FlashReadStatus(link_), 0xFF);
}

TEST_F(FlashAnswers, IdFetchesThreeBytesInFlashOrder) {
  driver_.replies = {{true, {}}, {true, {1}}, {true, {0xBF, 0x25, 0x8E}}};
  FlashId id = {};
  EXPECT_TRUE(FlashReadId(link_, &id));
  EXPECT_EQ(id, (FlashId{0xBF, 0x25, 0x8E}));
  EXPECT_EQ(Transcript(driver_),
            (std::vector<Req>{FlashCommand(3, {0x9F}), Ready(1), Fetch({0xBF, 0x25, 0x8E})}));
}

TEST_F(FlashAnswers, IdNeverReadyFailsAfterHundredPollsWithoutWaiting) {
  driver_.responder = [](const DecodedRequest&, std::span<uint8_t>) { return true; };
  FlashId id = {1, 2, 3};
  EXPECT_FALSE(FlashReadId(link_, &id));
  EXPECT_EQ(id, (FlashId{1, 2, 3}));
  EXPECT_EQ(Transcript(driver_).size(), 101u);
  EXPECT_EQ(Transcript(driver_).back(), Ready(0));
}

TEST_F(FlashAnswers, ReadSendsAddressThenPollsWithWaitsThenFetches) {
  std::vector<uint8_t> block(64);
  std::iota(block.begin(), block.end(), 0x80);
  driver_.replies = {{true, {}}, {true, {0}}, {true, {0}}, {true, {1}}, {true, block}};
  std::array<uint8_t, 64> out = {};
  EXPECT_TRUE(FlashRead(link_, clock_, 0x012345, 64, out.data()));
  EXPECT_EQ(Transcript(driver_), (std::vector<Req>{FlashCommand(64, {0x03, 0x01, 0x23, 0x45}),
                                                   Ready(0), Ready(0), Ready(1), Fetch(block)}));
  EXPECT_TRUE(std::equal(out.begin(), out.end(), block.begin()));
  // One 1 ms wait after each answer that was not ready.
  EXPECT_EQ(clock_.sleeps, (std::vector<uint32_t>{1, 1}));
}

TEST_F(FlashAnswers, ReadRejectedCommandStopsAtOnce) {
  driver_.replies = {{false, {}}};
  std::array<uint8_t, 8> out = {};
  EXPECT_FALSE(FlashRead(link_, clock_, 0, 8, out.data()));
  EXPECT_EQ(driver_.calls.size(), 1u);
}

TEST_F(FlashAnswers, ReadNeverReadyFailsAfterHundredPollsAndNoFetch) {
  driver_.responder = [](const DecodedRequest&, std::span<uint8_t>) { return true; };
  std::array<uint8_t, 8> out = {};
  EXPECT_FALSE(FlashRead(link_, clock_, 0, 8, out.data()));
  const auto transcript = Transcript(driver_);
  EXPECT_EQ(transcript.size(), 101u);
  EXPECT_EQ(transcript.back(), Ready(0));
  EXPECT_EQ(clock_.sleeps.size(), 100u);
}

TEST_F(FlashAnswers, ReadCountMustFitTheOneByteFetch) {
  std::array<uint8_t, 256> out = {};
  EXPECT_FALSE(FlashRead(link_, clock_, 0, 0, out.data()));
  EXPECT_FALSE(FlashRead(link_, clock_, 0, 256, out.data()));
  EXPECT_TRUE(driver_.calls.empty());
  driver_.replies = {{true, {}}, {true, {1}}, {true, {}}};
  EXPECT_TRUE(FlashRead(link_, clock_, 0, 255, out.data()));
  EXPECT_EQ(Transcript(driver_)[0].value, 255);
  EXPECT_EQ(Transcript(driver_)[2].data.size(), 255u);
}

using FlashProgram = OpenLinkTest;

TEST_F(FlashProgram, PageProgramSendsAddressKeptOpenThenData) {
  std::vector<uint8_t> page(256);
  std::iota(page.begin(), page.end(), 0);
  EXPECT_TRUE(FlashPageProgram(link_, 0x000100, 256, page.data()));
  EXPECT_EQ(Transcript(driver_), (std::vector<Req>{FlashWritePacket(0, {0x02, 0x00, 0x01, 0x00}),
                                                   FlashWritePacket(1, page)}));
}

TEST_F(FlashProgram, PageProgramResultIsTheDataPackets) {
  const std::array<uint8_t, 2> data = {1, 2};
  driver_.replies = {{false, {}}, {true, {}}};
  EXPECT_TRUE(FlashPageProgram(link_, 0, 2, data.data()));
  driver_.replies = {{true, {}}, {false, {}}};
  EXPECT_FALSE(FlashPageProgram(link_, 0, 2, data.data()));
}

TEST_F(FlashProgram, PageProgramRefusesMoreThanOnePage) {
  std::vector<uint8_t> data(257);
  EXPECT_FALSE(FlashPageProgram(link_, 0, 0, data.data()));
  EXPECT_FALSE(FlashPageProgram(link_, 0, 257, data.data()));
  EXPECT_TRUE(driver_.calls.empty());
}

TEST_F(FlashProgram, AaiOf256BytesIsOneAddressPacketAnd127WordPackets) {
  std::vector<uint8_t> data(256);
  std::iota(data.begin(), data.end(), 0);
  EXPECT_TRUE(FlashAaiProgram(link_, 0x001000, 256, data.data()));
  std::vector<Req> expected = {FlashWritePacket(1, {0xAD, 0x00, 0x10, 0x00, 0, 1})};
  for (int i = 2; i < 256; i += 2) {
    expected.push_back(
        FlashWritePacket(1, {0xAD, static_cast<uint8_t>(i), static_cast<uint8_t>(i + 1)}));
  }
  EXPECT_EQ(Transcript(driver_), expected);
}

TEST_F(FlashProgram, AaiOfTwoBytesIsTheAddressPacketAlone) {
  const std::array<uint8_t, 2> data = {0xCA, 0xFE};
  EXPECT_TRUE(FlashAaiProgram(link_, 0x03FFFE, 2, data.data()));
  EXPECT_EQ(Transcript(driver_),
            (std::vector<Req>{FlashWritePacket(1, {0xAD, 0x03, 0xFF, 0xFE, 0xCA, 0xFE})}));
}

TEST_F(FlashProgram, AaiResultIsTheLastPackets) {
  const std::array<uint8_t, 6> data = {};
  driver_.replies = {{false, {}}, {false, {}}, {true, {}}};
  EXPECT_TRUE(FlashAaiProgram(link_, 0, 6, data.data()));
  driver_.replies = {{true, {}}, {true, {}}, {false, {}}};
  EXPECT_FALSE(FlashAaiProgram(link_, 0, 6, data.data()));
}

TEST_F(FlashProgram, AaiRefusesOddAndShortCounts) {
  const std::array<uint8_t, 4> data = {};
  EXPECT_FALSE(FlashAaiProgram(link_, 0, 0, data.data()));
  EXPECT_FALSE(FlashAaiProgram(link_, 0, 1, data.data()));
  EXPECT_FALSE(FlashAaiProgram(link_, 0, 3, data.data()));
  EXPECT_TRUE(driver_.calls.empty());
}

}  // namespace
}  // namespace korvalen::testing
