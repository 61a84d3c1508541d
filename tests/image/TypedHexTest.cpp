// Hexadecimal values typed into the window's edits and grid cells.
#include <gtest/gtest.h>

#include "image/HexDigits.h"

namespace korvalen {
namespace {

TEST(TypedHex, ConvertsUpToThirtyTwoBits) {
  EXPECT_EQ(ParseTypedHex("1A5"), 0x1A5u);
  EXPECT_EQ(ParseTypedHex("a5"), 0xA5u);
  EXPECT_EQ(ParseTypedHex("0"), 0u);
  EXPECT_EQ(ParseTypedHex("FFFFFFFF"), 0xFFFFFFFFu);
  EXPECT_EQ(ParseTypedHex("000000012"), 0x12u) << "leading zeros do not count against the width";
}

TEST(TypedHex, RefusesWhatDoesNotConvert) {
  for (const char* bad : {"", " 1", "1 ", "-1", "+1", "0x1", "1G", "100000000", "FFFFFFFFF"}) {
    EXPECT_EQ(ParseTypedHex(bad), std::nullopt) << "'" << bad << "'";
  }
}

TEST(TypedHex, ErrorNamesTheTextWithItsPrefix) {
  EXPECT_EQ(TypedHexError(""), "'0x' is not a valid integer value");
  EXPECT_EQ(TypedHexError("zz"), "'0xzz' is not a valid integer value");
}

}  // namespace
}  // namespace korvalen
