// korvalen-standin: installs the stand-in driver and serves one simulated
// chip behind it, the Windows twin of korvalen-usbip-sim (tests only).
//   install INF            create the root device and install standin.sys
//   remove                 remove it again (children and interfaces go too)
//   hold SECONDS           do nothing: keeps the wine session, and so the
//                          loaded driver, alive
//   serve [options]        plug a child for the chip and answer its requests;
//                          reads commands from standard input: "unplug",
//                          "report" (the burst under way), "quit" (or the
//                          input's end)
//   malformed ID_TEXT      send malformed records to the child whose path
//                          holds ID_TEXT: each must be refused
//   counts                 the driver's request counters
#include <CLI/CLI.hpp>
#include <cstdio>
#include <string>
#include <vector>

#include "StandinChecks.h"
#include "StandinServer.h"
#include "StandinSystem.h"
#include "link/Clock.h"
#include "link/NorvaneUsb.h"
#include "sim/FaultSpec.h"
#include "sim/SimChoice.h"
#include "sim/SimI2c.h"

namespace korvalen::standin {
namespace {

// Plug and unplug reach the interface list within a few tens of ms.
constexpr DWORD kInterfaceWaitMs = 5000;
constexpr unsigned int kNoInterfaceNumber = 0xffffffffu;

void Say(const std::string& line) {
  std::printf("%s\n", line.c_str());
  std::fflush(stdout);
}
void Complain(const std::string& line) {
  std::fprintf(stderr, "korvalen-standin: %s\n", line.c_str());
  std::fflush(stderr);
}

std::string InstanceText(unsigned int serial) {
  char text[32];
  std::snprintf(text, sizeof text, "#6&%08x&0&0000#", serial);
  return text;
}

struct ServeOptions {
  std::string model = "0";
  std::string flash = "page256";
  std::vector<std::string> faults;
  unsigned int serial = 1;
};

int Serve(const ServeOptions& options) {
  const auto identity = sim::IdentityForModel(options.model);
  if (!identity) {
    Complain("--model " + options.model + ": not a model (a row 0-4, a model key, 5e1a or 0c3d)");
    return 2;
  }
  RealClock clock;
  auto chip = sim::MakeSimDevice(clock, *identity, sim::FlashPartFor(options.flash));
  if (!chip) {
    Complain("--flash " + options.flash + ": not a flash (page256, page32, aai or a part name)");
    return 2;
  }
  for (const std::string& text : options.faults) {
    const auto parsed = sim::ParseFaultSpec(text);
    if (!parsed.ok()) {
      Complain("--fault " + text + ": " + parsed.error);
      return 2;
    }
    sim::ApplyFaultSpecs(parsed.specs, *chip);
  }
  // The round trip through the driver and the pipe is the request's latency.
  chip->timing().request_latency_us = 0;
  sim::AddBoardI2cSlaves(chip->i2c());
  chip->OnAttached();

  HANDLE control = OpenControl();
  if (control == INVALID_HANDLE_VALUE) {
    Complain("the stand-in driver is not installed (korvalen-standin install standin.inf)");
    return 1;
  }
  StandinServer server(chip);
  const std::string pipe = "korvalen-standin-" + std::to_string(GetCurrentProcessId());
  if (!server.Start("\\\\.\\pipe\\" + pipe)) {
    Complain("cannot create the pipe (error " + std::to_string(GetLastError()) + ")");
    return 1;
  }
  const std::wstring kernel_name = L"\\??\\pipe\\" + std::wstring(pipe.begin(), pipe.end());
  DWORD error = 0;
  if (!Control(control, IOCTL_STANDIN_PIPE, kernel_name.data(),
               static_cast<DWORD>(kernel_name.size() * sizeof(wchar_t)), nullptr, 0, &error)) {
    Complain("the driver did not open the pipe (error " + std::to_string(error) + ")");
    return 1;
  }
  const bool audio = identity->channel == kAudioDriverChannel;
  standin_plug plug{identity->vid, identity->pid, audio ? 0u : kNoInterfaceNumber, options.serial,
                    audio ? STANDIN_CHANNEL_AUDIO : STANDIN_CHANNEL_DEVICE_INTERFACE};
  ULONG slot = 0;
  const double plugged_at = NowMs();
  if (!Control(control, IOCTL_STANDIN_PLUG, &plug, sizeof plug, &slot, sizeof slot, &error)) {
    Complain("plugging the device failed (error " + std::to_string(error) + ")");
    return 1;
  }
  server.SetSlot(slot);
  const GUID& interface_class = audio ? kAudioClass : kUsbClass;
  const std::string instance = InstanceText(options.serial);
  const auto path = WaitForInterface(interface_class, instance, true, kInterfaceWaitMs);
  if (!path) {
    Complain("the device's interface did not appear");
    return 1;
  }
  char line[160];
  std::snprintf(line, sizeof line,
                "plugged %.*s in %.0f ms: ", static_cast<int>(identity->name.size()),
                identity->name.data(), NowMs() - plugged_at);
  Say(line + *path);

  bool plugged = true;
  char command[64];
  while (std::fgets(command, sizeof command, stdin) != nullptr) {
    const std::string word =
        std::string(command).substr(0, std::string(command).find_first_of("\r\n"));
    if (word == "report") {
      server.ReportBurst();
      Say("served " + std::to_string(server.Served()) + " requests");
    } else if (word == "unplug" && plugged) {
      Say(Unplug(control, slot, *path, interface_class));
      plugged = false;
    } else if (word == "quit") {
      break;
    } else if (!word.empty()) {
      Complain("unknown command '" + word + "' (unplug, report, quit)");
    }
  }
  if (plugged && server.GoneAt() == 0)
    Control(control, IOCTL_STANDIN_UNPLUG, &slot, sizeof slot, nullptr, 0, &error);
  Control(control, IOCTL_STANDIN_PIPE, nullptr, 0, nullptr, 0, &error);  // the driver lets go
  server.Join();
  CloseHandle(control);
  Say("served " + std::to_string(server.Served()) + " requests" +
      (server.GoneAt() ? ", the device went away at request " + std::to_string(server.GoneAt())
                       : std::string()));
  return 0;
}

int Counts() {
  HANDLE control = OpenControl();
  if (control == INVALID_HANDLE_VALUE) {
    Complain("the stand-in driver is not installed");
    return 1;
  }
  standin_counts counts{};
  DWORD error = 0;
  const bool ok =
      Control(control, IOCTL_STANDIN_COUNTS, nullptr, 0, &counts, sizeof counts, &error);
  CloseHandle(control);
  if (!ok) {
    Complain("the driver did not give its counters (error " + std::to_string(error) + ")");
    return 1;
  }
  char line[160];
  std::snprintf(line, sizeof line, "requests %u malformed %u forwarded %u pipe_failures %u",
                counts.requests, counts.malformed, counts.forwarded, counts.pipe_failures);
  Say(line);
  return 0;
}

}  // namespace
}  // namespace korvalen::standin

int main(int argc, char** argv) {
  using namespace korvalen::standin;
  CLI::App app{"korvalen-standin: the stand-in for the Windows kernel drivers (tests only)"};
  app.require_subcommand(1);
  std::string inf;
  app.add_subcommand("install", "create the root device and install the driver")
      ->add_option("INF", inf, "standin.inf")
      ->required();
  auto* remove = app.add_subcommand("remove", "remove the root device");
  unsigned int seconds = 0;
  app.add_subcommand("hold", "keep the wine session alive")
      ->add_option("SECONDS", seconds)
      ->required();
  ServeOptions serve_options;
  auto* serve = app.add_subcommand("serve", "plug a simulated chip and answer its requests");
  serve->add_option(
      "--model", serve_options.model,
      "a ModelTable row 0-4, a model key, or 5e1a/0c3d for a firmware-update identity");
  serve->add_option("--flash", serve_options.flash, "page256, page32, aai or a flash part name");
  serve->add_option("--fault", serve_options.faults, "a fault of the chip (vanish:N unplugs it)");
  serve->add_option("--serial", serve_options.serial, "makes the child's instance id");
  std::string id_text;
  auto* malformed = app.add_subcommand("malformed", "check that malformed records are refused");
  malformed->add_option("ID_TEXT", id_text)->required();
  auto* counts = app.add_subcommand("counts", "the driver's request counters");
  CLI11_PARSE(app, argc, argv);

  std::string error;
  if (!inf.empty()) {
    const double start = NowMs();
    if (!InstallRootDevice(inf, &error)) {
      Complain(error);
      return 1;
    }
    Say("installed " STANDIN_INSTANCE_ID " in " +
        std::to_string(static_cast<int>(NowMs() - start)) + " ms");
    return 0;
  }
  if (remove->parsed()) {
    if (!RemoveRootDevice(&error)) {
      Complain(error);
      return 1;
    }
    Say("removed " STANDIN_INSTANCE_ID);
    return 0;
  }
  if (seconds != 0) {
    Sleep(seconds * 1000);
    return 0;
  }
  if (serve->parsed()) return Serve(serve_options);
  if (malformed->parsed()) return CheckMalformed(id_text);
  if (counts->parsed()) return Counts();
  return 2;
}
