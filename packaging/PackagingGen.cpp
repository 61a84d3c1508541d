// Makes the packaging files that list the devices this tool opens, at build
// time, from the one list of identities (KnownDeviceIds), so they cannot
// drift from the detection.
//
//   korvalen-packaging-gen udev OUTPUT
//       the udev rules: one rule per vendor/product id, for the USB device
//       node only, adding the "uaccess" tag, so logind grants the user at the
//       seat access and takes it away at log-out. No mode bits, no group, no
//       other devices.
//   korvalen-packaging-gen metainfo TEMPLATE OUTPUT
//       the AppStream metainfo: the line of TEMPLATE holding %MODALIASES%
//       becomes one <modalias> per identity, so software centres can offer
//       the package when such a device is plugged in.
#include <cctype>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "link/DeviceAccess.h"

namespace {

constexpr char kModaliasMarker[] = "%MODALIASES%";

struct Identity {
  std::string vid;  // four lower-case hexadecimal digits
  std::string pid;
};

std::string Cased(std::string_view text, int (*convert)(int)) {
  std::string result(text);
  for (char& c : result) c = static_cast<char>(convert(static_cast<unsigned char>(c)));
  return result;
}

bool Identities(std::vector<Identity>& identities) {
  for (const std::string_view id : korvalen::KnownDeviceIds()) {
    const auto ids = korvalen::SplitDeviceId(id);
    if (!ids) {
      std::fprintf(stderr, "korvalen-packaging-gen: %.*s is not a vid/pid id text\n",
                   static_cast<int>(id.size()), id.data());
      return false;
    }
    identities.push_back({Cased(ids->vid, std::tolower), Cased(ids->pid, std::tolower)});
  }
  return true;
}

std::string UdevRules(const std::vector<Identity>& identities) {
  std::string rules =
      "# Generated at build time from the KORVALEN updater's list of devices; do not edit.\n"
      "# Gives the user logged in at the seat access to these USB devices, so the\n"
      "# updater runs without root. Takes effect for a device when it is plugged in.\n";
  // sysfs shows the ids in lower-case hexadecimal, and udev compares exactly.
  for (const Identity& id : identities) {
    rules += "SUBSYSTEM==\"usb\", ENV{DEVTYPE}==\"usb_device\", ATTR{idVendor}==\"" + id.vid +
             "\", ATTR{idProduct}==\"" + id.pid + "\", TAG+=\"uaccess\"\n";
  }
  return rules;
}

// The kernel writes USB modaliases with upper-case hexadecimal digits.
bool Metainfo(const std::vector<Identity>& identities, const char* template_path,
              std::string& text) {
  std::ifstream in(template_path, std::ios::binary);
  if (!in) return false;
  std::string line;
  int markers = 0;
  while (std::getline(in, line)) {
    const size_t at = line.find(kModaliasMarker);
    if (at == std::string::npos) {
      text += line + "\n";
      continue;
    }
    ++markers;
    const std::string indent = line.substr(0, at);
    for (const Identity& id : identities) {
      text += indent + "<modalias>usb:v" + Cased(id.vid, std::toupper) + "p" +
              Cased(id.pid, std::toupper) + "d*</modalias>\n";
    }
  }
  return markers == 1;
}

bool Write(const char* path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
  out.close();
  return static_cast<bool>(out);
}

}  // namespace

int main(int argc, char** argv) {
  const std::string mode = argc > 1 ? argv[1] : "";
  if (!((mode == "udev" && argc == 3) || (mode == "metainfo" && argc == 4))) {
    std::fprintf(stderr,
                 "usage: korvalen-packaging-gen udev OUTPUT\n"
                 "       korvalen-packaging-gen metainfo TEMPLATE OUTPUT\n");
    return 2;
  }
  std::vector<Identity> identities;
  if (!Identities(identities)) return 1;
  std::string text;
  const char* output = argv[argc - 1];
  if (mode == "udev") {
    text = UdevRules(identities);
  } else if (!Metainfo(identities, argv[2], text)) {
    std::fprintf(stderr, "korvalen-packaging-gen: %s must be readable and hold %s on one line\n",
                 argv[2], kModaliasMarker);
    return 1;
  }
  if (!Write(output, text)) {
    std::fprintf(stderr, "korvalen-packaging-gen: cannot write %s\n", output);
    return 1;
  }
  return 0;
}
