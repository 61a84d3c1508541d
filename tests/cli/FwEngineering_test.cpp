// regs, i2c, settings, identity, status and key against simulated devices.
#include <gtest/gtest.h>

#include "tests/cli/FwRun.h"

namespace korvalen::testing {
namespace {

// Runs with one simulated device in virtual time, kept in dir/state.
FwResult Kept(const ScratchDir& dir, std::vector<std::string> args) {
  for (const char* arg : {"--simulate", "--fast", "--sim-state", "state"}) args.push_back(arg);
  return RunFw(dir, args);
}

nlohmann::json DeviceState(const ScratchDir& dir) {
  return nlohmann::json::parse(ReadAll(dir.path() / "state" / "device-1" / "device.json"));
}

TEST(FwRegs, SetThenGetInALaterRunReadsWhatWasWritten) {
  ScratchDir dir;
  const FwResult set = Kept(dir, {"regs", "set", "0x30", "0x5A"});
  ASSERT_EQ(set.exit_code, 0) << set.err;
  EXPECT_EQ(set.out, "0x30 = 0x5A\n");
  const FwResult get = Kept(dir, {"regs", "get", "48", "2", "--json"});
  ASSERT_EQ(get.exit_code, 0) << get.err;
  const auto json = get.Json();
  ASSERT_EQ(json["registers"].size(), 2u);
  EXPECT_EQ(json["registers"][0]["register"], "0x30");
  EXPECT_EQ(json["registers"][0]["value"], "0x5A");
  EXPECT_EQ(json["registers"][1]["register"], "0x31");
}

TEST(FwRegs, BankSelectionIsTheChipsAndKeptAcrossRuns) {
  ScratchDir dir;
  ASSERT_EQ(Kept(dir, {"regs", "set", "0x30", "0x11", "--bank", "2"}).exit_code, 0);
  ASSERT_EQ(Kept(dir, {"regs", "set", "0x30", "0x22", "--bank", "3"}).exit_code, 0);
  // Bank 3 stays selected: a later run without --bank reads it.
  EXPECT_EQ(Kept(dir, {"regs", "get", "0x30"}).out, "0x30 = 0x22\n");
  EXPECT_EQ(Kept(dir, {"regs", "get", "0x30", "--bank", "2"}).out, "0x30 = 0x11\n");
  EXPECT_EQ(Kept(dir, {"regs", "get", "0"}).out, "0x00 = 0x02\n");
}

TEST(FwRegs, ARegisterTheFirmwareOwnsShowsWhatItHolds) {
  ScratchDir dir;
  // The playback rate register is the firmware's: the host's write is ignored.
  const FwResult set = Kept(dir, {"regs", "set", "0xA4", "0x07", "--bank", "0", "--json"});
  ASSERT_EQ(set.exit_code, 0) << set.err;
  EXPECT_EQ(set.Json()["written"], "0x07");
  EXPECT_EQ(set.Json()["value"], "0x03");
}

TEST(FwRegs, BadNumbersAreRefusedBeforeAnythingIsSent) {
  ScratchDir dir;
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"regs", "get", "A5"},
        {"regs", "get", "256"},
        {"regs", "get", "0xF0", "17"},
        {"regs", "get", "0", "0"},
        {"regs", "get", "-1"},
        {"regs", "set", "0x30", "0x100"},
        {"regs", "set", "0x30", "1 "},
        {"regs", "set", "0x30", "5", "--bank", "0x"},
        {"i2c", "read", "0x20", "0", "0x101"},
        {"i2c", "write", "0x20", "0xFF", "1", "2"},
        {"i2c", "write", "0x20", "0", "0xG1"},
        {"key", "pause"}}) {
    const FwResult run = Kept(dir, args);
    EXPECT_EQ(run.exit_code, 2) << args[0] << " " << args[2];
    EXPECT_FALSE(run.err.empty());
    EXPECT_TRUE(run.out.empty());
  }
  // Nothing reached a device, so none was created or saved.
  EXPECT_FALSE(std::filesystem::exists(dir.path() / "state"));
  const FwResult run = Kept(dir, {"regs", "get", "A5"});
  EXPECT_NE(run.err.find("'A5' is not a number"), std::string::npos) << run.err;
}

TEST(FwRegs, ADeviceThatStopsAnsweringIsNoSuccess) {
  ScratchDir dir;
  const FwResult run =
      RunFw(dir, {"regs", "get", "0", "16", "--simulate", "--fast", "--fault", "vanish:12"});
  EXPECT_EQ(run.exit_code, 1);
  EXPECT_NE(run.err.find("did not answer"), std::string::npos) << run.err;
}

TEST(FwI2c, ReadsAndWritesTheBoardsDac) {
  ScratchDir dir;
  const FwResult read = Kept(dir, {"i2c", "read", "0x20", "0", "3", "--json"});
  ASSERT_EQ(read.exit_code, 0) << read.err;
  const auto registers = read.Json()["registers"];
  ASSERT_EQ(registers.size(), 3u);
  EXPECT_EQ(registers[0]["value"], "0x8C");  // the DAC's chip id
  EXPECT_EQ(registers[1]["value"], "0x03");

  // Volume registers take any value; the clock register keeps its lock bit.
  const FwResult write = Kept(dir, {"i2c", "write", "0x20", "2", "0x05", "0x40", "--json"});
  ASSERT_EQ(write.exit_code, 0) << write.err;
  EXPECT_EQ(write.Json()["registers"][0]["value"], "0x85");
  EXPECT_EQ(write.Json()["registers"][1]["written"], "0x40");
  EXPECT_EQ(write.Json()["registers"][1]["value"], "0x40");
}

TEST(FwI2c, ASlaveThatDoesNotAnswerFails) {
  ScratchDir dir;
  const FwResult absent = Kept(dir, {"i2c", "read", "0x40", "0"});
  EXPECT_EQ(absent.exit_code, 1);
  EXPECT_NE(absent.err.find("0x40 did not acknowledge"), std::string::npos) << absent.err;
  const FwResult silenced = RunFw(
      dir, {"i2c", "write", "0x20", "3", "1", "--simulate", "--fast", "--fault", "i2c-nak:0x20"});
  EXPECT_EQ(silenced.exit_code, 1);
  EXPECT_TRUE(silenced.out.empty());
}

TEST(FwSettings, SetChangesOnlyWhatWasAskedAndReadsBack) {
  ScratchDir dir;
  const FwResult before = Kept(dir, {"settings", "get", "--json"});
  ASSERT_EQ(before.exit_code, 0) << before.err;
  const auto old_bytes = before.Json()["bytes"];

  const FwResult set = Kept(dir, {"settings", "set", "--mclk", "1024", "--spdif-out", "off",
                                  "--i2s-length", "24", "--json"});
  ASSERT_EQ(set.exit_code, 0) << set.err;
  const auto json = set.Json();
  EXPECT_EQ(json["mclk_fs"], 1024);
  EXPECT_EQ(json["spdif_out"], false);
  EXPECT_EQ(json["i2s_length"], 24);
  // Everything else as it was, the read-only EEPROM bit too.
  EXPECT_EQ(json["dsd_out"], before.Json()["dsd_out"]);
  EXPECT_EQ(json["eeprom"], before.Json()["eeprom"]);
  EXPECT_EQ(json["bytes"][2], old_bytes[2]);
  EXPECT_EQ(json["bytes"][3], old_bytes[3]);

  const FwResult text = Kept(dir, {"settings", "get"});
  EXPECT_NE(text.out.find("I2S MCLK output frequency: 1024 Fs"), std::string::npos) << text.out;
  EXPECT_NE(text.out.find("SPDIF output off: on"), std::string::npos);
}

TEST(FwSettings, RefusedAndUnansweredSettings) {
  ScratchDir dir;
  EXPECT_EQ(Kept(dir, {"settings", "set"}).exit_code, 2);
  EXPECT_EQ(Kept(dir, {"settings", "set", "--mclk", "300"}).exit_code, 2);
  EXPECT_FALSE(std::filesystem::exists(dir.path() / "state"));
  const FwResult silent =
      RunFw(dir, {"settings", "get", "--simulate", "--fast", "--fault", "mailbox-silent"});
  EXPECT_EQ(silent.exit_code, 1);
  EXPECT_TRUE(silent.out.empty());
  EXPECT_NE(silent.err.find("did not answer its mailbox"), std::string::npos);
}

TEST(FwIdentity, SendsTheTextsAsTyped) {
  ScratchDir dir;
  const FwResult run =
      Kept(dir, {"identity", "--vid", "5e1a", "--product", "Studio DAC", "--serial", ""});
  ASSERT_EQ(run.exit_code, 0) << run.err;
  const auto state = DeviceState(dir);
  EXPECT_EQ(state["vid_text"], nlohmann::json({0x35, 0x65, 0x31, 0x61}));
  // The product string's packet: its length, then the characters.
  const auto product = state["strings"][1];
  EXPECT_EQ(product[0], 10);
  EXPECT_EQ(product[1], 'S');
  EXPECT_EQ(product[10], 'C');
  EXPECT_EQ(state["strings"][2][0], 0);
}

TEST(FwIdentity, ATextTooLongSendsNothingAtAll) {
  ScratchDir dir;
  const FwResult run = Kept(dir, {"identity", "--vid", "5e1a", "--manufacturer",
                                  std::string(32, 'x')});
  EXPECT_EQ(run.exit_code, 2);
  EXPECT_NE(run.err.find("at most 31"), std::string::npos) << run.err;
  // The valid VID went nowhere either: no device was even opened.
  EXPECT_FALSE(std::filesystem::exists(dir.path() / "state"));
  EXPECT_EQ(Kept(dir, {"identity"}).exit_code, 2);
}

TEST(FwStatus, DecodesWhatTheFirmwarePlays) {
  ScratchDir dir;
  struct Case {
    const char* playback;
    const char* text;
  };
  for (const Case& c : {Case{"pcm:4", "USB connected, Playing, PCM, 176.4KHz\n"},
                        Case{"dsd:1", "USB connected, Playing, DSD, DoP 128\n"},
                        Case{"muted", "USB connected, Mute\n"},
                        Case{"disconnected", "USB Disconnected\n"},
                        Case{"pcm:12", "USB connected, Playing, PCM, unknown rate (code 12)\n"}}) {
    const FwResult run = RunFw(dir, {"status", "--simulate", "--fast", "--playback", c.playback});
    EXPECT_EQ(run.exit_code, 0) << run.err;
    EXPECT_EQ(run.out, c.text) << c.playback;
  }
  const FwResult json =
      RunFw(dir, {"status", "--json", "--simulate", "--fast", "--playback", "dsd:9"});
  EXPECT_EQ(json.Json()["format"], "DSD");
  EXPECT_EQ(json.Json()["rate"], "DSD 128");
  EXPECT_EQ(json.Json()["registers"]["0xA6"], "0x03");
}

TEST(FwKey, TheFirmwareTakesKeysTheLoaderDoesNot) {
  ScratchDir dir;
  const FwResult taken = RunFw(dir, {"key", "vol-", "--json", "--simulate", "--fast"});
  ASSERT_EQ(taken.exit_code, 0) << taken.err;
  EXPECT_EQ(taken.Json()["code"], "0x02");
  EXPECT_EQ(taken.Json()["taken"], true);
  // A device in its firmware-update identity runs no firmware to take it.
  const FwResult loader = RunFw(dir, {"key", "play", "--simulate=5e1a", "--fast"});
  EXPECT_EQ(loader.exit_code, 1);
  EXPECT_NE(loader.err.find("did not take the key"), std::string::npos) << loader.err;
}

TEST(FwEngineering, EveryCommandHasHelp) {
  ScratchDir dir;
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"regs", "get", "--help"},
        {"regs", "set", "--help"},
        {"i2c", "read", "--help"},
        {"i2c", "write", "--help"},
        {"settings", "set", "--help"},
        {"identity", "--help"},
        {"status", "--help"},
        {"key", "--help"}}) {
    const FwResult run = RunFw(dir, args);
    EXPECT_EQ(run.exit_code, 0) << args[0];
    EXPECT_NE(run.out.find("Usage"), std::string::npos) << args[0];
  }
}

}  // namespace
}  // namespace korvalen::testing
