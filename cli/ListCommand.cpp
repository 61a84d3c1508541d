#include <fmt/format.h>

#include <nlohmann/json.hpp>

#include "cli/Commands.h"
#include "cli/DeviceSession.h"
#include "cli/FwCommand.h"
#include "cli/JsonText.h"
#include "cli/Report.h"
#include "image/Utf8Text.h"
#include "link/Registers.h"

namespace korvalen::cli {
namespace {

constexpr std::string_view kNoDeviceFound = "no device found";

// The version of a device that runs its firmware, as the window's
// GetFWVersion reads it (which selects bank 0); nullopt for a loader
// identity, a device that does not open or a read the device did not carry
// (then *unread is set), with *why saying why.
std::optional<FirmwareVersion> VersionOf(DeviceSource& source, const DeviceEntry& device,
                                         std::string* why, bool* unread) {
  if (device.channel != kAudioDriverChannel) return std::nullopt;
  DeviceSession session(device, source.LineFor(device));
  if (session.Connect() != SessionState::kReady) {
    *why = session.CannotOpenText();
    return std::nullopt;
  }
  NorvaneUsb& link = session.link();
  const uint64_t refused_before = link.refused_requests();
  const FirmwareVersion version = ReadFirmwareVersion(link);
  // A lost register read leaves its number 0: 1.7 would show as 0.7.
  if (const uint64_t lost = link.refused_requests() - refused_before; lost > 0) {
    *unread = true;
    *why = fmt::format("the firmware version of {} at {} could not be read: {} request{} not "
                       "carried",
                       device.name, device.path, lost, lost == 1 ? " was" : "s were");
    return std::nullopt;
  }
  return version;
}

}  // namespace

std::optional<std::vector<DeviceEntry>> ChooseDevices(DeviceSource& source,
                                                      const CommonOptions& common, bool all,
                                                      Output& out) {
  const auto listed = source.List();
  if (!listed) {
    out.Error("cannot list the USB devices: the system's device query failed");
    return std::nullopt;
  }
  if (listed->empty()) {
    out.Error(kNoDeviceFound);
    return std::nullopt;
  }
  if (!common.device_path.empty()) {
    for (const DeviceEntry& device : *listed) {
      if (device.path == common.device_path || device.interface_path == common.device_path)
        return std::vector<DeviceEntry>{device};
    }
    out.Error("no device found at " + common.device_path + " (see korvalen-fw list)");
    return std::nullopt;
  }
  if (all || listed->size() == 1) return *listed;
  std::string text = fmt::format(
      "{} devices found; choose one with --device PATH (or update all with --all):", listed->size());
  for (const DeviceEntry& device : *listed) text += "\n  " + device.path + "  " + device.name;
  out.Error(text);
  return std::nullopt;
}

Connected ConnectOne(DeviceSource& source, const CommonOptions& common, Output& out) {
  Connected connected;
  const auto devices = ChooseDevices(source, common, false, out);
  if (!devices) {
    connected.exit_code = kExitNoDevice;
    return connected;
  }
  const DeviceEntry& device = devices->front();
  connected.session = std::make_unique<DeviceSession>(device, source.LineFor(device));
  switch (connected.session->Connect()) {
    case SessionState::kReady:
      break;
    case SessionState::kGone:
      out.Error("device not found at " + device.path);
      connected.exit_code = kExitNoDevice;
      break;
    case SessionState::kCannotOpen:
      out.Error(connected.session->CannotOpenText());
      connected.exit_code = kExitCannotOpen;
      break;
  }
  return connected;
}

int FinishCommand(DeviceSource& source, Output& out, int status) {
  if (const std::string error = source.Finish(); !error.empty()) {
    out.Error(error);
    if (status == kExitOk) return kExitFailed;
  }
  return status;
}

int ListCommand(DeviceSource& source, const CommonOptions& common, bool firmware, Output& out) {
  const auto listed = source.List();
  if (!listed) {
    out.Error("cannot list the USB devices: the system's device query failed");
    return kExitNoDevice;
  }
  nlohmann::json json = nlohmann::json::array();
  bool any_unread = false;
  for (const DeviceEntry& device : *listed) {
    // Reading the version selects bank 0, which would take an engineer's
    // selected bank away, and a device busy with an update must not get
    // requests: only asked for, then.
    std::string why;
    bool unread = false;
    const auto version = firmware ? VersionOf(source, device, &why, &unread) : std::nullopt;
    any_unread = any_unread || unread;
    if (!why.empty()) out.Error(why);
    const std::string version_text =
        version ? fmt::format("{}.{}", version->major, version->minor) : std::string();
    if (common.json) {
      nlohmann::json item = DeviceJson(device);
      item["firmware"] = version ? nlohmann::json(version_text) : nlohmann::json(nullptr);
      item["serial"] = device.serial.empty() ? nlohmann::json(nullptr)
                                             : nlohmann::json(EscapeInvalidUtf8(device.serial));
      if (unread) item["error"] = why;
      json.push_back(std::move(item));
    } else {
      // The serial is the device's own text: shown escaped, "-" when none.
      out.Line(fmt::format("{:<20}  {:04x}:{:04x}  {:<22}  {:<16}  {:<20}  {}", device.name,
                           device.vid, device.pid, device.path,
                           device.channel == kAudioDriverChannel ? "audio" : "device-interface",
                           device.serial.empty() ? std::string("-")
                                                 : EscapeInvalidUtf8(device.serial),
                           version ? "firmware " + version_text : std::string()));
    }
  }
  if (common.json) out.Text(JsonText(json));
  if (listed->empty()) {
    out.Error(kNoDeviceFound);
    return kExitNoDevice;
  }
  return any_unread ? kExitFailed : kExitOk;
}

}  // namespace korvalen::cli
