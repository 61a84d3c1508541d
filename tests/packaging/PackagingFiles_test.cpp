// The generated packaging files list exactly the devices the tool opens:
// the five models and the two firmware-update identities, nothing broader.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <utility>

namespace {

using IdPairs = std::set<std::pair<std::string, std::string>>;

const IdPairs kSevenIdentities = {{"5e1a", "f070"}, {"5e1a", "f071"}, {"5e1a", "f072"},
                                  {"5e1a", "f0f0"}, {"5e1a", "f0f1"}, {"5e1a", "6000"},
                                  {"0c3d", "6000"}};

std::string ReadAll(const char* path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

TEST(UdevRules, GrantSeatAccessToExactlyTheSevenIdentities) {
  const std::string rules = ReadAll(KORVALEN_UDEV_RULES);
  ASSERT_FALSE(rules.empty());
  const std::regex rule(
      R"re(SUBSYSTEM=="usb", ENV\{DEVTYPE\}=="usb_device", ATTR\{idVendor\}=="([0-9a-f]{4})", )re"
      R"re(ATTR\{idProduct\}=="([0-9a-f]{4})", TAG\+="uaccess")re");
  IdPairs found;
  int rule_lines = 0;
  std::istringstream lines(rules);
  for (std::string line; std::getline(lines, line);) {
    if (line.empty() || line[0] == '#') continue;
    ++rule_lines;
    std::smatch match;
    ASSERT_TRUE(std::regex_match(line, match, rule)) << "not a single-device rule: " << line;
    found.emplace(match[1], match[2]);
  }
  EXPECT_EQ(rule_lines, 7);
  EXPECT_EQ(found, kSevenIdentities);
  for (const char* broader : {"MODE", "GROUP", "OWNER", "RUN", "*"}) {
    std::istringstream body(rules);
    for (std::string line; std::getline(body, line);) {
      if (line.empty() || line[0] == '#') continue;
      EXPECT_EQ(line.find(broader), std::string::npos) << line;
    }
  }
}

TEST(Metainfo, ProvidesTheModaliasOfEachIdentity) {
  const std::string metainfo = ReadAll(KORVALEN_METAINFO);
  const std::regex modalias(R"re(<modalias>usb:v([0-9A-F]{4})p([0-9A-F]{4})d\*</modalias>)re");
  IdPairs found;
  int count = 0;
  for (auto it = std::sregex_iterator(metainfo.begin(), metainfo.end(), modalias);
       it != std::sregex_iterator(); ++it, ++count) {
    std::string vid = (*it)[1], pid = (*it)[2];
    for (char& c : vid) c = static_cast<char>(std::tolower(c));
    for (char& c : pid) c = static_cast<char>(std::tolower(c));
    found.emplace(vid, pid);
  }
  EXPECT_EQ(count, 7);
  EXPECT_EQ(found, kSevenIdentities);
  EXPECT_EQ(metainfo.find('@'), std::string::npos) << "a placeholder was left unfilled";
  EXPECT_NE(metainfo.find("<release version=\"1.2\""), std::string::npos);
}

TEST(PackagingGen, RefusesATemplateWithoutItsMarkerAndBadUsage) {
  const std::string dir = ::testing::TempDir();
  const std::string plain = dir + "/plain.xml";
  std::ofstream(plain) << "<component/>\n";
  const std::string gen = KORVALEN_PACKAGING_GEN;
  EXPECT_NE(std::system((gen + " metainfo " + plain + " " + dir + "/out.xml 2>/dev/null").c_str()), 0);
  EXPECT_NE(std::system((gen + " 2>/dev/null").c_str()), 0);
  EXPECT_NE(std::system((gen + " udev /nonexistent-dir/x.rules 2>/dev/null").c_str()), 0);
}

}  // namespace
