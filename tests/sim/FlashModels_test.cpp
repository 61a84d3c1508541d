#include "sim/FlashModels.h"

#include <gtest/gtest.h>

#include <vector>

namespace korvalen::sim {
namespace {

TEST(FlashModels, TableSelfCheckPasses) { EXPECT_EQ(FlashModelsSelfCheck(), ""); }

TEST(FlashModels, HoldsThePartsTheToolKnows) {
  const FlashModel* sst = FindFlashModel(FlashId{0xBF, 0x25, 0x8C});
  ASSERT_NE(sst, nullptr);
  EXPECT_EQ(sst->write_mode, FlashWriteMode::kAaiWord);
  EXPECT_EQ(sst->page_size, 1u);
  const FlashModel* c222 = FindFlashModel(kFlashMx25l1021e);
  ASSERT_NE(c222, nullptr);
  EXPECT_EQ(c222->jedec_id[0], 0xC2);
  EXPECT_EQ(c222->jedec_id[1], 0x22);
  EXPECT_EQ(c222->page_size, 32u);
  const FlashModel* plain = FindFlashModel(kDefaultFlashModel);
  ASSERT_NE(plain, nullptr);
  EXPECT_EQ(plain->page_size, 256u);
  EXPECT_EQ(FindFlashModel("no-such-part"), nullptr);
  EXPECT_EQ(FindFlashModel(FlashId{0x12, 0x34, 0x56}), nullptr);
}

TEST(FlashModels, TimesAreThoseOfRealParts) {
  for (const FlashModel& m : FlashModels()) {
    SCOPED_TRACE(m.name);
    // A page in about a millisecond, an AAI word in about 10 us, a chip
    // erase in tens of milliseconds to seconds, well inside the update's
    // 1000 x 10 ms erase poll.
    if (m.write_mode == FlashWriteMode::kPageProgram) {
      EXPECT_GE(m.page_program_us, 300u);
      EXPECT_LE(m.page_program_us, 5000u);
    } else {
      EXPECT_LE(m.aai_word_us, 50u);
    }
    EXPECT_GE(m.chip_erase_us, 20000u);
    EXPECT_LE(m.chip_erase_us, 5000000u);
    EXPECT_GE(m.sector_erase_us, 10000u);
  }
}

// The self-check catches broken rows.
class SelfCheckRejects : public ::testing::Test {
 protected:
  std::string CheckWith(void (*mutate)(FlashModel&)) {
    std::vector<FlashModel> rows(FlashModels().begin(), FlashModels().end());
    mutate(rows.back());
    return FlashModelsSelfCheck(rows);
  }
};

TEST_F(SelfCheckRejects, SizeNotAPowerOfTwo) {
  EXPECT_NE(CheckWith([](FlashModel& m) { m.size = 300 * 1024; }), "");
}
TEST_F(SelfCheckRejects, SizeThatContradictsTheCapacityCode) {
  EXPECT_NE(CheckWith([](FlashModel& m) { m.size *= 2; }), "");
}
TEST_F(SelfCheckRejects, RepeatedJedecId) {
  EXPECT_NE(CheckWith([](FlashModel& m) { m.jedec_id = FlashModels()[0].jedec_id; }), "");
}
TEST_F(SelfCheckRejects, RepeatedName) {
  EXPECT_NE(CheckWith([](FlashModel& m) { m.name = FlashModels()[0].name; }), "");
}
TEST_F(SelfCheckRejects, WritableBusyBit) {
  EXPECT_NE(CheckWith([](FlashModel& m) { m.writable_mask |= 0x01; }), "");
}
TEST_F(SelfCheckRejects, ProtectBitsOutsideTheWritableBits) {
  EXPECT_NE(CheckWith([](FlashModel& m) { m.writable_mask = 0x80; }), "");
}
TEST_F(SelfCheckRejects, MissingEraseTime) {
  EXPECT_NE(CheckWith([](FlashModel& m) { m.chip_erase_us = 0; }), "");
}
TEST_F(SelfCheckRejects, PageThatDisagreesWithTheToolsChunk) {
  EXPECT_NE(CheckWith([](FlashModel& m) { m.page_size = 128; }), "");
}
TEST_F(SelfCheckRejects, AaiPartWithoutManufacturerBF) {
  std::vector<FlashModel> rows(FlashModels().begin(), FlashModels().end());
  rows[0].jedec_id[0] = 0xEE;
  EXPECT_NE(FlashModelsSelfCheck(rows), "");
}
TEST_F(SelfCheckRejects, TableWithoutTheRequiredKinds) {
  std::vector<FlashModel> rows = {*FindFlashModel(kFlashW25x20cl)};
  EXPECT_NE(FlashModelsSelfCheck(rows), "");
  EXPECT_NE(FlashModelsSelfCheck({}), "");
}

}  // namespace
}  // namespace korvalen::sim
