// settings and identity: the Parameter page's mailbox exchanges from the
// command line.
#include <fmt/format.h>

#include <nlohmann/json.hpp>

#include "cli/Engineering.h"
#include "cli/FwCommand.h"
#include "cli/JsonText.h"
#include "cli/Report.h"
#include "image/Utf8Text.h"
#include "link/DeviceSettings.h"
#include "link/Registers.h"

namespace korvalen::cli {
namespace {

constexpr std::string_view kNoAnswer =
    "the firmware did not answer its mailbox (is the device running its firmware?)";

// A fetch leaves the command register as the firmware set it: the done code
// when the firmware answered. (A send clears it, so only a fetch can tell.)
bool FetchAnswered(NorvaneUsb& link) {
  uint8_t command = 0;
  link.Open();
  const bool read = SelectBank(link, kBankMailbox) &&
                    ReadRegister(link, kRegMailboxCommand, &command);
  link.Close();
  return read && command == kMailboxDone;
}

// Reads the block; false (and the message written) when the firmware or the
// device did not answer.
bool ReadBlock(DeviceSession& session, DeviceSettingsBlock& block, Output& out) {
  const uint64_t failed_before = session.failed_requests();
  ReadDeviceSettings(session.link(), session.clock(), block);
  const bool answered = FetchAnswered(session.link());
  if (session.failed_requests() != failed_before) {
    out.Error(fmt::format("{} at {} did not answer", session.device().name, session.device().path));
    return false;
  }
  if (!answered) {
    out.Error(std::string(kNoAnswer));
    return false;
  }
  return true;
}

nlohmann::json SettingsJson(const DeviceSession& session, const DeviceSettingsBlock& block) {
  nlohmann::json bytes = nlohmann::json::array();
  for (uint8_t byte : block) bytes.push_back(HexByte(byte));
  return {{"path", session.device().path},
          {"bytes", bytes},
          {"i2s_length", GetFlag(block, SettingsFlag::kI2s32Bit) ? 32 : 24},
          {"spdif_length", GetFlag(block, SettingsFlag::kSpdif32Bit) ? 32 : 24},
          {"i2s_swap", GetFlag(block, SettingsFlag::kI2sSwap)},
          {"dsd_swap", GetFlag(block, SettingsFlag::kDsdSwap)},
          {"mclk_fs", 128 << MclkIndex(block)},
          {"i2s_format", GetFlag(block, SettingsFlag::kLeftJustify) ? "left-justify" : "standard"},
          {"dsd_out", GetFlag(block, SettingsFlag::kDsdAsDsd) ? "dsd" : "dop"},
          {"mclk_out", !GetFlag(block, SettingsFlag::kMclkOutOff)},
          {"i2s_out", !GetFlag(block, SettingsFlag::kI2sOutOff)},
          {"spdif_out", !GetFlag(block, SettingsFlag::kSpdifOutOff)},
          {"eeprom", GetFlag(block, SettingsFlag::kEepromExists)}};
}

void PrintSettings(const CommonOptions& common, const DeviceSession& session,
                   const DeviceSettingsBlock& block, Output& out) {
  if (common.json) {
    out.Text(JsonText(SettingsJson(session, block)));
    return;
  }
  out.Text(DescribeSettings(block));
  out.Line(fmt::format("bytes: {:02X} {:02X} {:02X} {:02X}", block[0], block[1], block[2],
                       block[3]));
}

// Applies the options given to block; false when none was given.
bool ApplyChanges(const EngineeringArgs& args, DeviceSettingsBlock& block) {
  bool any = false;
  auto flag = [&](const std::string& text, SettingsFlag which, std::string_view on_text) {
    if (text.empty()) return;
    SetFlag(block, which, text == on_text);
    any = true;
  };
  flag(args.i2s_length, SettingsFlag::kI2s32Bit, "32");
  flag(args.spdif_length, SettingsFlag::kSpdif32Bit, "32");
  flag(args.i2s_format, SettingsFlag::kLeftJustify, "left-justify");
  flag(args.dsd_out, SettingsFlag::kDsdAsDsd, "dsd");
  flag(args.i2s_swap, SettingsFlag::kI2sSwap, "on");
  flag(args.dsd_swap, SettingsFlag::kDsdSwap, "on");
  // The block holds "off" switches.
  flag(args.mclk_out, SettingsFlag::kMclkOutOff, "off");
  flag(args.i2s_out, SettingsFlag::kI2sOutOff, "off");
  flag(args.spdif_out, SettingsFlag::kSpdifOutOff, "off");
  if (!args.mclk.empty()) {
    for (int index = 0; index < 4; ++index) {
      if (args.mclk == std::to_string(128 << index)) SetMclkIndex(block, index);
    }
    any = true;
  }
  return any;
}

}  // namespace

int SettingsGetCommand(DeviceSource& source, const CommonOptions& common, Output& out) {
  Connected connected = ConnectOne(source, common, out);
  if (!connected.ready()) return connected.exit_code;
  DeviceSession& session = *connected.session;
  DeviceSettingsBlock block = kStartupDeviceSettings;
  if (!ReadBlock(session, block, out)) return FinishCommand(source, out, kExitFailed);
  PrintSettings(common, session, block, out);
  return FinishCommand(source, out, kExitOk);
}

int SettingsSetCommand(DeviceSource& source, const CommonOptions& common,
                       const EngineeringArgs& args, Output& out) {
  DeviceSettingsBlock probe{};
  if (!ApplyChanges(args, probe)) {
    out.Error("korvalen-fw: settings set needs at least one setting to change (see --help)");
    return kExitRefused;
  }
  Connected connected = ConnectOne(source, common, out);
  if (!connected.ready()) return connected.exit_code;
  DeviceSession& session = *connected.session;
  // What the device has, so the bits nobody asked to change go back as read.
  DeviceSettingsBlock block = kStartupDeviceSettings;
  if (!ReadBlock(session, block, out)) return FinishCommand(source, out, kExitFailed);
  ApplyChanges(args, block);
  const uint64_t failed_before = session.failed_requests();
  WriteDeviceSettings(session.link(), session.clock(), block);
  if (session.failed_requests() != failed_before) {
    out.Error(fmt::format("{} at {} did not answer", session.device().name, session.device().path));
    return FinishCommand(source, out, kExitFailed);
  }
  DeviceSettingsBlock read_back = block;
  if (!ReadBlock(session, read_back, out)) return FinishCommand(source, out, kExitFailed);
  if (read_back != block) {
    out.Error(fmt::format(
        "the device kept other settings: sent {:02X} {:02X} {:02X} {:02X}, reads back {:02X} "
        "{:02X} {:02X} {:02X}",
        block[0], block[1], block[2], block[3], read_back[0], read_back[1], read_back[2],
        read_back[3]));
    return FinishCommand(source, out, kExitFailed);
  }
  PrintSettings(common, session, read_back, out);
  return FinishCommand(source, out, kExitOk);
}

int IdentityCommand(DeviceSource& source, const CommonOptions& common, const EngineeringArgs& args,
                    Output& out) {
  struct Field {
    IdentityField field;
    const std::optional<std::string>& text;
    const char* key;
  };
  const Field fields[] = {{IdentityField::kVid, args.vid, "vid"},
                          {IdentityField::kPid, args.pid, "pid"},
                          {IdentityField::kManufacturer, args.manufacturer, "manufacturer"},
                          {IdentityField::kProduct, args.product, "product"},
                          {IdentityField::kSerialNumber, args.serial, "serial"}};
  // Every text is checked before the first goes out: half a new identity
  // is worse than none.
  bool any = false;
  for (const Field& field : fields) {
    if (!field.text) continue;
    any = true;
    const IdentityPlan plan = PlanIdentityText(field.field, *field.text);
    if (!plan.ok) {
      out.Error("korvalen-fw: --" + std::string(field.key) + ": " + plan.message);
      return kExitRefused;
    }
  }
  if (!any) {
    out.Error("korvalen-fw: identity needs at least one of --vid, --pid, --manufacturer, "
              "--product, --serial");
    return kExitRefused;
  }
  Connected connected = ConnectOne(source, common, out);
  if (!connected.ready()) return connected.exit_code;
  DeviceSession& session = *connected.session;
  // The firmware confirms no identity text; a settings fetch first shows
  // that it answers its mailbox at all.
  DeviceSettingsBlock unused{};
  if (!ReadBlock(session, unused, out)) return FinishCommand(source, out, kExitFailed);
  const uint64_t failed_before = session.failed_requests();
  nlohmann::json sent = nlohmann::json::object();
  for (const Field& field : fields) {
    if (!field.text) continue;
    SendIdentityText(session.link(), session.clock(), field.field, *field.text);
    sent[field.key] = EscapeInvalidUtf8(*field.text);
    if (!common.json) {
      out.Line(fmt::format("{} sent: \"{}\"", IdentityName(field.field), *field.text));
    }
  }
  if (session.failed_requests() != failed_before) {
    out.Error(fmt::format("{} at {} did not answer", session.device().name, session.device().path));
    return FinishCommand(source, out, kExitFailed);
  }
  if (common.json) {
    out.Text(JsonText(nlohmann::json({{"path", session.device().path}, {"sent", sent}})));
  }
  return FinishCommand(source, out, kExitOk);
}

}  // namespace korvalen::cli
