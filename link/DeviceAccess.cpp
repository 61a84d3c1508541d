#include "link/DeviceAccess.h"

#include <cctype>
#include <optional>

#include "link/ModelTable.h"

namespace korvalen {
namespace {

// The four hexadecimal digits after `key` in an id text, as written there.
std::optional<std::string_view> IdField(std::string_view device_id, std::string_view key) {
  const size_t at = device_id.find(key);
  if (at == std::string_view::npos || device_id.size() - at - key.size() < 4) return std::nullopt;
  const std::string_view digits = device_id.substr(at + key.size(), 4);
  for (const char c : digits) {
    if (!std::isxdigit(static_cast<unsigned char>(c))) return std::nullopt;
  }
  return digits;
}

}  // namespace

std::vector<std::string_view> KnownDeviceIds() {
  std::vector<std::string_view> ids;
  for (const ModelRow& row : ModelTable) ids.emplace_back(row.device_id);
  ids.emplace_back(kUpdateId5E1A);
  ids.emplace_back(kUpdateId0C3D);
  return ids;
}

std::optional<UsbIdDigits> SplitDeviceId(std::string_view device_id) {
  const auto vid = IdField(device_id, "vid_");
  const auto pid = IdField(device_id, "pid_");
  if (!vid || !pid) return std::nullopt;
  return UsbIdDigits{*vid, *pid};
}

std::string DeviceDisplayName(std::string_view device_id) {
  std::string name = "the USB device";
  // Found the way detection finds devices: the id text inside the given text.
  auto holds = [&](std::string_view id) { return device_id.find(id) != std::string_view::npos; };
  for (const ModelRow& row : ModelTable) {
    if (holds(row.device_id)) name = row.display_name;
  }
  if (holds(kUpdateId5E1A) || holds(kUpdateId0C3D)) name = "the firmware update device";

  const auto ids = SplitDeviceId(device_id);
  if (!ids) return device_id.empty() ? name : name + " " + std::string(device_id);
  return name + " (USB " + std::string(ids->vid) + ":" + std::string(ids->pid) + ")";
}

std::string AccessDeniedMessage(std::string_view device_id) {
  return "No permission to open " + DeviceDisplayName(device_id) + ". Install the " +
         kPackageName + " package (or its udev rules) and replug the device.";
}

}  // namespace korvalen
