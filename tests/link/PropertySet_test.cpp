// The vendor property set of the audio-driver channel, pinned byte for byte:
// {F6D7C04D-C5C3-4181-9ED7-504ABE0CDDFF} in the standard binary layout of a
// GUID (first three fields little-endian). A wrong byte here and the audio
// driver ignores every request.
#include <gtest/gtest.h>

#include <vector>

#include "link/RequestRecord.h"

namespace korvalen {
namespace {

TEST(PropertySet, PresenceQueryStartsWithTheVendorPropertySetBytes) {
  const std::vector<uint8_t> expected = {0x4D, 0xC0, 0xD7, 0xF6, 0xC3, 0xC5, 0x81, 0x41,
                                         0x9E, 0xD7, 0x50, 0x4A, 0xBE, 0x0C, 0xDD, 0xFF};
  const std::vector<uint8_t> query = BuildPresenceQuery();
  ASSERT_GE(query.size(), 16u);
  EXPECT_EQ(std::vector<uint8_t>(query.begin(), query.begin() + 16), expected);
}

}  // namespace
}  // namespace korvalen
