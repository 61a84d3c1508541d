// regs, i2c, status and key: the Register, I2C Access and Information pages'
// requests from the command line.
#include <fmt/format.h>

#include <nlohmann/json.hpp>

#include "cli/Engineering.h"
#include "cli/FwCommand.h"
#include "cli/JsonText.h"
#include "cli/Numbers.h"
#include "cli/Report.h"
#include "flash/I2cAccess.h"
#include "link/MediaKey.h"
#include "link/PlaybackStatus.h"
#include "link/RegisterShadow.h"
#include "link/Registers.h"

namespace korvalen::cli {
namespace {

constexpr uint32_t kRegisterCount = 256;
// The chip gets as long to settle after a write as the Register page gives it.
constexpr uint32_t kRegisterWriteSettleMs = 1;

struct KeyName {
  const char* name;
  size_t index;  // into kMediaKeys
};
constexpr KeyName kKeyNames[] = {
    {"prev", 0}, {"vol-", 1}, {"play", 2}, {"vol+", 3}, {"next", 4}};

// Numbers of a command, all checked before anything is sent.
struct Numbers {
  std::string error;
  uint32_t Take(const std::string& text, std::string_view what, uint32_t min, uint32_t max) {
    if (!error.empty()) return min;
    return NumberInRange(text, what, min, max, &error).value_or(min);
  }
  bool Refused(Output& out) const {
    if (error.empty()) return false;
    out.Error("korvalen-fw: " + error);
    return true;
  }
};

// The first register and count of a range: COUNT defaults to 1 and the range
// ends at register 255.
struct RegisterRange {
  uint8_t first = 0;
  uint32_t count = 1;
};
RegisterRange TakeRange(Numbers& numbers, const EngineeringArgs& args) {
  RegisterRange range;
  range.first = static_cast<uint8_t>(numbers.Take(args.reg, "register", 0, kRegisterCount - 1));
  if (!args.count.empty())
    range.count = numbers.Take(args.count, "count", 1, kRegisterCount - range.first);
  return range;
}

// A device that stopped answering during the command: the message, and the
// simulated devices are saved all the same.
bool DeviceStopped(DeviceSession& session, uint64_t failed_before, Output& out) {
  if (session.failed_requests() == failed_before) return false;
  out.Error(fmt::format("{} at {} did not answer {} request(s); nothing here can be trusted",
                        session.device().name, session.device().path,
                        session.failed_requests() - failed_before));
  return true;
}

// Prints the registers as "0xA4 = 0x01" lines, or the JSON document.
void PrintRegisters(const CommonOptions& common, const nlohmann::json& head, uint8_t first,
                    const std::vector<uint8_t>& values, Output& out) {
  nlohmann::json json = head;
  json["registers"] = nlohmann::json::array();
  for (size_t i = 0; i < values.size(); ++i) {
    const auto reg = static_cast<uint8_t>(first + i);
    json["registers"].push_back({{"register", HexByte(reg)}, {"value", HexByte(values[i])}});
    out.Line(fmt::format("{} = {}", HexByte(reg), HexByte(values[i])));
  }
  if (common.json) out.Text(JsonText(json));
}

}  // namespace

int RegsGetCommand(DeviceSource& source, const CommonOptions& common, const EngineeringArgs& args,
                   Output& out) {
  Numbers numbers;
  const RegisterRange range = TakeRange(numbers, args);
  const bool select = !args.bank.empty();
  const auto bank = static_cast<uint8_t>(select ? numbers.Take(args.bank, "bank", 0, 255) : 0);
  if (numbers.Refused(out)) return kExitRefused;
  Connected connected = ConnectOne(source, common, out);
  if (!connected.ready()) return connected.exit_code;
  DeviceSession& session = *connected.session;
  NorvaneUsb& link = session.link();
  const uint64_t failed_before = session.failed_requests();

  RegisterShadow shadow;
  std::vector<uint8_t> values;
  link.Open();
  if (select) SelectBank(link, bank);
  for (uint32_t i = 0; i < range.count; ++i) {
    const auto reg = static_cast<uint8_t>(range.first + i);
    shadow.ReadFromChip(link, reg);
    values.push_back(shadow.Get(reg));
  }
  link.Close();
  if (DeviceStopped(session, failed_before, out)) return FinishCommand(source, out, kExitFailed);
  nlohmann::json head = {{"path", session.device().path}};
  head["bank"] = select ? nlohmann::json(bank) : nlohmann::json(nullptr);
  PrintRegisters(common, head, range.first, values, out);
  return FinishCommand(source, out, kExitOk);
}

int RegsSetCommand(DeviceSource& source, const CommonOptions& common, const EngineeringArgs& args,
                   Output& out) {
  Numbers numbers;
  const auto reg = static_cast<uint8_t>(numbers.Take(args.reg, "register", 0, 255));
  const auto value = static_cast<uint8_t>(numbers.Take(args.value, "value", 0, 255));
  const bool select = !args.bank.empty();
  const auto bank = static_cast<uint8_t>(select ? numbers.Take(args.bank, "bank", 0, 255) : 0);
  if (numbers.Refused(out)) return kExitRefused;
  Connected connected = ConnectOne(source, common, out);
  if (!connected.ready()) return connected.exit_code;
  DeviceSession& session = *connected.session;
  NorvaneUsb& link = session.link();
  const uint64_t failed_before = session.failed_requests();

  if (select) {
    link.Open();
    SelectBank(link, bank);
    link.Close();
  }
  RegisterShadow shadow;
  shadow.Set(reg, value);
  const uint8_t read_back =
      shadow.WriteAndReadBack(link, session.clock(), reg, kRegisterWriteSettleMs);
  if (DeviceStopped(session, failed_before, out)) return FinishCommand(source, out, kExitFailed);
  nlohmann::json json = {{"path", session.device().path},
                         {"register", HexByte(reg)},
                         {"written", HexByte(value)},
                         {"value", HexByte(read_back)}};
  json["bank"] = select ? nlohmann::json(bank) : nlohmann::json(nullptr);
  out.Line(read_back == value
               ? fmt::format("{} = {}", HexByte(reg), HexByte(read_back))
               : fmt::format("{} = {} (wrote {}; the register holds what it reads back)",
                             HexByte(reg), HexByte(read_back), HexByte(value)));
  if (common.json) out.Text(JsonText(json));
  return FinishCommand(source, out, kExitOk);
}

int I2cReadCommand(DeviceSource& source, const CommonOptions& common, const EngineeringArgs& args,
                   Output& out) {
  Numbers numbers;
  const auto address = static_cast<uint8_t>(numbers.Take(args.address, "address", 0, 255));
  const RegisterRange range = TakeRange(numbers, args);
  if (numbers.Refused(out)) return kExitRefused;
  Connected connected = ConnectOne(source, common, out);
  if (!connected.ready()) return connected.exit_code;
  DeviceSession& session = *connected.session;
  const uint64_t failed_before = session.failed_requests();

  I2cSlaveAccess access(session.link(), session.clock());
  access.set_slave_address(address);
  access.Setup();
  std::vector<uint8_t> values;
  bool acknowledged = true;
  for (uint32_t i = 0; i < range.count && acknowledged; ++i) {
    const auto reg = static_cast<uint8_t>(range.first + i);
    acknowledged = access.ReadRegister(reg);
    values.push_back(access.Shadow(reg));
  }
  if (DeviceStopped(session, failed_before, out)) return FinishCommand(source, out, kExitFailed);
  if (!acknowledged) {
    out.Error(fmt::format("the I2C slave {} did not acknowledge its address", HexByte(address)));
    return FinishCommand(source, out, kExitFailed);
  }
  PrintRegisters(common, {{"path", session.device().path}, {"address", HexByte(address)}},
                 range.first, values, out);
  return FinishCommand(source, out, kExitOk);
}

int I2cWriteCommand(DeviceSource& source, const CommonOptions& common, const EngineeringArgs& args,
                    Output& out) {
  Numbers numbers;
  const auto address = static_cast<uint8_t>(numbers.Take(args.address, "address", 0, 255));
  const auto first = static_cast<uint8_t>(numbers.Take(args.reg, "register", 0, 255));
  std::vector<uint8_t> bytes;
  for (const std::string& text : args.bytes)
    bytes.push_back(static_cast<uint8_t>(numbers.Take(text, "byte", 0, 255)));
  if (numbers.error.empty() && first + bytes.size() > kRegisterCount) {
    numbers.error = fmt::format("{} bytes from register {} run past register 0xFF", bytes.size(),
                                HexByte(first));
  }
  if (numbers.Refused(out)) return kExitRefused;
  Connected connected = ConnectOne(source, common, out);
  if (!connected.ready()) return connected.exit_code;
  DeviceSession& session = *connected.session;
  const uint64_t failed_before = session.failed_requests();

  I2cSlaveAccess access(session.link(), session.clock());
  access.set_slave_address(address);
  access.Setup();
  nlohmann::json json = {{"path", session.device().path}, {"address", HexByte(address)}};
  json["registers"] = nlohmann::json::array();
  for (size_t i = 0; i < bytes.size(); ++i) {
    const auto reg = static_cast<uint8_t>(first + i);
    access.WriteBits(reg, bytes[i]);
    // The write itself does not say whether the slave answered; a read does.
    if (!access.ReadRegister(reg)) {
      out.Error(fmt::format("the I2C slave {} did not acknowledge its address; {} of {} bytes "
                            "may have been written",
                            HexByte(address), i, bytes.size()));
      return FinishCommand(source, out, kExitFailed);
    }
    const uint8_t read_back = access.Shadow(reg);
    json["registers"].push_back(
        {{"register", HexByte(reg)}, {"written", HexByte(bytes[i])}, {"value", HexByte(read_back)}});
    out.Line(read_back == bytes[i]
                 ? fmt::format("{} = {}", HexByte(reg), HexByte(read_back))
                 : fmt::format("{} = {} (wrote {}; the register holds what it reads back)",
                               HexByte(reg), HexByte(read_back), HexByte(bytes[i])));
  }
  if (DeviceStopped(session, failed_before, out)) return FinishCommand(source, out, kExitFailed);
  if (common.json) out.Text(JsonText(json));
  return FinishCommand(source, out, kExitOk);
}

int StatusCommand(DeviceSource& source, const CommonOptions& common, Output& out) {
  Connected connected = ConnectOne(source, common, out);
  if (!connected.ready()) return connected.exit_code;
  DeviceSession& session = *connected.session;
  const uint64_t failed_before = session.failed_requests();
  PlaybackStatus status;
  ReadPlaybackStatus(session.link(), status);
  if (DeviceStopped(session, failed_before, out)) return FinishCommand(source, out, kExitFailed);

  const StatusDisplay display = DecodePlaybackStatus(status);
  const bool connected_now = display.connect == std::string_view(StatusTexts.connected);
  const bool muted = connected_now && display.mute == std::string_view(StatusTexts.muted);
  std::string rate;
  if (display.format_enabled) {
    rate = display.rate;
    rate.erase(0, rate.find_first_not_of(' '));
  }
  std::string text = connected_now ? StatusTexts.connected : StatusTexts.disconnected;
  if (connected_now) text += std::string(", ") + (muted ? StatusTexts.muted : StatusTexts.playing);
  if (display.format_enabled) {
    text += std::string(", ") + display.format + ", " +
            (rate.empty() ? fmt::format("unknown rate (code {})", status.rate & 0x0F) : rate);
  }
  out.Line(text);
  if (common.json) {
    nlohmann::json json = {{"path", session.device().path},
                           {"connected", connected_now},
                           {"muted", muted},
                           {"registers",
                            {{"0xA4", HexByte(status.rate)},
                             {"0xA5", HexByte(status.extra)},
                             {"0xA6", HexByte(status.state)}}}};
    json["format"] = display.format_enabled ? nlohmann::json(display.format) : nlohmann::json();
    json["rate"] = rate.empty() ? nlohmann::json() : nlohmann::json(rate);
    out.Text(JsonText(json));
  }
  return FinishCommand(source, out, kExitOk);
}

int KeyCommand(DeviceSource& source, const CommonOptions& common, const EngineeringArgs& args,
               Output& out) {
  const KeyName* chosen = nullptr;
  for (const KeyName& name : kKeyNames) {
    if (args.key == name.name) chosen = &name;
  }
  if (chosen == nullptr) {
    out.Error("korvalen-fw: key " + args.key + ": expected prev, vol-, play, vol+ or next");
    return kExitRefused;
  }
  const MediaKey& key = kMediaKeys[chosen->index];
  Connected connected = ConnectOne(source, common, out);
  if (!connected.ready()) return connected.exit_code;
  DeviceSession& session = *connected.session;
  const uint64_t failed_before = session.failed_requests();
  const MediaKeyResult result = SendMediaKey(session.link(), session.clock(), key.code);
  if (DeviceStopped(session, failed_before, out)) return FinishCommand(source, out, kExitFailed);
  if (common.json) {
    out.Text(JsonText(nlohmann::json({{"path", session.device().path},
                             {"key", chosen->name},
                             {"code", HexByte(key.code)},
                             {"taken", result.taken},
                             {"polls", result.polls}})));
  }
  if (!result.taken) {
    out.Error(fmt::format("{}: the firmware did not take the key (no answer after {} polls)",
                          key.caption, result.polls));
    return FinishCommand(source, out, kExitFailed);
  }
  out.Line(fmt::format("{}: taken by the firmware", key.caption));
  return FinishCommand(source, out, kExitOk);
}

}  // namespace korvalen::cli
