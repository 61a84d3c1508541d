#include "image/TableMarker.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string_view>

namespace korvalen {
namespace {

class TableMarker : public ::testing::Test {
 protected:
  void Put(uint32_t offset, std::string_view text) {
    std::memcpy(image_->bytes.data() + offset, text.data(), text.size());
  }
  std::unique_ptr<FirmwareImage> image_ = std::make_unique<FirmwareImage>();
};

TEST_F(TableMarker, FoundWhereItStands) {
  image_->length = 0x8000;
  Put(0x1234, "NVUSB_Table01");
  EXPECT_EQ(FindTableMarker(*image_), 0x1234u);
}

TEST_F(TableMarker, TenCharactersAreEnoughNineAreNot) {
  image_->length = 0x100;
  Put(0x10, "NVUSB_Tabl-xyz");
  EXPECT_EQ(FindTableMarker(*image_), 0x10u);
  Put(0x10, "NVUSB_Tab-xyz");
  EXPECT_EQ(FindTableMarker(*image_), std::nullopt);
}

TEST_F(TableMarker, LowerOfTwoWins) {
  image_->length = 0x3000;
  Put(0x2001, "NVUSB_Table01");
  Put(0x0777, "NVUSB_Table01");
  EXPECT_EQ(FindTableMarker(*image_), 0x0777u);
}

TEST_F(TableMarker, EmptyImageHoldsNoMarker) {
  Put(0, "NVUSB_Table01");
  image_->length = 0;
  EXPECT_EQ(FindTableMarker(*image_), std::nullopt);
}

TEST_F(TableMarker, OnlyTheStartIsBoundedByTheLength) {
  Put(0x20, "NVUSB_Table01");
  image_->length = 0x21;
  EXPECT_EQ(FindTableMarker(*image_), 0x20u);
  image_->length = 0x20;
  EXPECT_EQ(FindTableMarker(*image_), std::nullopt);
}

TEST_F(TableMarker, NeverReadsPastTheBuffer) {
  image_->length = kFirmwareImageSize;
  // Five bytes before the end: only "NVUSB" fits, the rest would lie beyond.
  Put(kFirmwareImageSize - 5, "NVUSB");
  EXPECT_EQ(FindTableMarker(*image_), std::nullopt);
  // Ten bytes before the end the marker's first ten characters still fit.
  Put(kFirmwareImageSize - 10, "NVUSB_Tabl");
  EXPECT_EQ(FindTableMarker(*image_), kFirmwareImageSize - 10);
}

}  // namespace
}  // namespace korvalen
