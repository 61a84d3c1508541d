#include "station/SerialFormat.h"

#include <gtest/gtest.h>

namespace korvalen::station {
namespace {

SerialFormat MustParse(const std::string& text) {
  std::string error;
  auto format = SerialFormat::Parse(text, &error);
  EXPECT_TRUE(format.has_value()) << error;
  return format.value_or(*SerialFormat::Parse("{seq:1}", &error));
}

std::string Refusal(const std::string& text) {
  std::string error;
  EXPECT_FALSE(SerialFormat::Parse(text, &error).has_value()) << text;
  return error;
}

TEST(SerialFormat, ExpandsCounterAndDateFields) {
  const LocalDate date{2026, 3, 7};
  EXPECT_EQ(MustParse("KV-{yyyy}{mm}{dd}-{seq:6}").Expand(42, date), "KV-20260307-000042");
  EXPECT_EQ(MustParse("{yy}{seq:3}X").Expand(999, date), "26999X");
  EXPECT_EQ(MustParse("{seq:1}").Expand(0, date), "0");
  EXPECT_EQ(MustParse("{seq:18}").Expand(999'999'999'999'999'999, date), std::string(18, '9'));
}

TEST(SerialFormat, CounterNeverOverflowsItsWidth) {
  const SerialFormat format = MustParse("A{seq:3}");
  EXPECT_EQ(format.MaxNumber(), 999u);
  EXPECT_EQ(format.Expand(999, {}), "A999");
  EXPECT_FALSE(format.Expand(1000, {}).has_value());
}

TEST(SerialFormat, RefusesFormatsTheDeviceCannotTakeOrThatAreAmbiguous) {
  EXPECT_NE(Refusal("KV-{seq}").find("{seq:N}"), std::string::npos);
  EXPECT_NE(Refusal("KV-2026").find("no counter"), std::string::npos);
  EXPECT_NE(Refusal("{seq:2}{seq:2}").find("more than one"), std::string::npos);
  EXPECT_NE(Refusal("{seq:0}").find("from 1 to 18"), std::string::npos);
  EXPECT_NE(Refusal("{seq:19}").find("from 1 to 18"), std::string::npos);
  EXPECT_NE(Refusal("{seq:x}").find("from 1 to 18"), std::string::npos);
  EXPECT_NE(Refusal("{date}{seq:2}").find("unknown field {date}"), std::string::npos);
  EXPECT_NE(Refusal("{seq:2").find("without its '}'"), std::string::npos);
  EXPECT_NE(Refusal("a}{seq:2}").find("without its '{'"), std::string::npos);
  // 31 bytes fit, 32 do not, counting each field at its full width.
  MustParse(std::string(25, 'A') + "{seq:6}");
  EXPECT_NE(Refusal(std::string(26, 'A') + "{seq:6}").find("32 bytes"), std::string::npos);
  EXPECT_NE(Refusal(std::string(23, 'A') + "{yyyy}{mm}{dd}{seq:1}").find("32 bytes"),
            std::string::npos);
  EXPECT_NE(Refusal("K\xC3\xA4-{seq:4}").find("byte 2 is not printable ASCII"), std::string::npos);
  EXPECT_NE(Refusal("K\t{seq:4}").find("not printable ASCII"), std::string::npos);
}

TEST(SerialFormat, MatchesItsOwnSerialsBackToTheirNumber) {
  const SerialFormat format = MustParse("KV{yy}{mm}-{seq:4}");
  EXPECT_EQ(format.Match("KV2603-0042"), 42u);
  EXPECT_EQ(format.Match("KV1912-9999"), 9999u);  // another day's serial still counts
  EXPECT_FALSE(format.Match("KV2603-042").has_value());
  EXPECT_FALSE(format.Match("KV2603-00420").has_value());
  EXPECT_FALSE(format.Match("KX2603-0042").has_value());
  EXPECT_FALSE(format.Match("KV2613-0042").has_value());  // no month 13
  EXPECT_FALSE(format.Match("KV2603-00a2").has_value());
  EXPECT_FALSE(format.Match("").has_value());
  const LocalDate date = Today();
  EXPECT_EQ(format.Match(*format.Expand(1234, date)), 1234u);
}

}  // namespace
}  // namespace korvalen::station
