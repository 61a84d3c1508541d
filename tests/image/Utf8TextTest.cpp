// Names that are not UTF-8 are shown with their odd bytes escaped, and
// well-formed text is left exactly as it is.
#include "image/Utf8Text.h"

#include <gtest/gtest.h>

#include "image/LoadResult.h"
#include "image/PathText.h"

namespace korvalen {
namespace {

TEST(Utf8Text, WellFormedTextStaysAsItIs) {
  for (const char* text : {"", "fw.bin", "Grüße.hex", "\xE2\x82\xAC", "\xF0\x9F\x8E\xB5.bin"}) {
    EXPECT_TRUE(IsUtf8(text)) << text;
    EXPECT_EQ(EscapeInvalidUtf8(text), text);
  }
}

TEST(Utf8Text, BytesOutsideWellFormedSequencesAreEscaped) {
  EXPECT_EQ(EscapeInvalidUtf8("fw_\xff\xfe.bin"), "fw_\\xFF\\xFE.bin");
  // Overlong form, surrogate, past U+10FFFF, cut-off sequence, stray
  // continuation byte: each byte on its own.
  EXPECT_EQ(EscapeInvalidUtf8("\xC0\xAF"), "\\xC0\\xAF");
  EXPECT_EQ(EscapeInvalidUtf8("\xED\xA0\x80"), "\\xED\\xA0\\x80");
  EXPECT_EQ(EscapeInvalidUtf8("\xF4\x90\x80\x80"), "\\xF4\\x90\\x80\\x80");
  EXPECT_EQ(EscapeInvalidUtf8("a\xE2\x82"), "a\\xE2\\x82");
  EXPECT_EQ(EscapeInvalidUtf8("\x80z"), "\\x80z");
  // A good sequence right after a bad byte survives whole.
  EXPECT_EQ(EscapeInvalidUtf8("\xFF\xC3\xA9"), "\\xFF\xC3\xA9");
  EXPECT_FALSE(IsUtf8("A\xff" "B"));
}

TEST(Utf8Text, FileNamesInMessagesAreEscaped) {
  EXPECT_EQ(DisplayName(PathFromUtf8("dir/fw_\xff.hex")), "fw_\\xFF.hex");
  EXPECT_EQ(PathText(PathFromUtf8("d\xfe/x.bin")), "d\\xFE/x.bin");
}

}  // namespace
}  // namespace korvalen
