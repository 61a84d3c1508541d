// korvalen-usbip-sim: one simulated chip served as a USB/IP device on the
// loopback interface, so a real Linux kernel enumerates it and the link's
// libusb driver meets a real USB stack (tests only).
#include <sys/socket.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "link/Clock.h"
#include "sim/FaultSpec.h"
#include "sim/FlashModels.h"
#include "sim/SimChoice.h"
#include "sim/SimDevice.h"
#include "usbip/UsbipServer.h"

namespace {

constexpr uint16_t kDefaultPort = 3240;  // the USB/IP port
// A pause this long ends a burst of requests (one command of the host's).
constexpr int kBurstIdleMs = 150;

void Log(const std::string& line) { std::fprintf(stderr, "korvalen-usbip-sim: %s\n", line.c_str()); }

// The host half, run beside the server: import the device over the loopback
// and hand the socket to the kernel's virtual host controller.
bool AttachSelf(uint16_t port) {
  std::string error;
  const int fd = korvalen::usbip::ConnectLoopback(port);
  if (fd < 0) {
    Log("attach: cannot connect to the server");
    return false;
  }
  const auto device = korvalen::usbip::Import(fd, korvalen::usbip::kExportedBusId, &error);
  const bool ok = device && korvalen::usbip::AttachToVhci(fd, *device, &error);
  if (ok) Log("attached to the virtual host controller");
  else Log("attach: " + error);
  close(fd);  // the kernel holds its own reference once attached
  return ok;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"korvalen-usbip-sim: a simulated KORVALEN chip served as a USB/IP device on "
               "127.0.0.1, for tests against a real USB stack.",
               "korvalen-usbip-sim"};
  std::string model = "0";
  std::string flash = "page256";
  std::vector<std::string> faults;
  uint16_t port = kDefaultPort;
  uint64_t hang_from = 0;
  bool attach = false;
  app.add_option("--model", model,
                 "a ModelTable row 0-4, a model key such as KORVALEN_TIDE, or 5e1a/0c3d for a "
                 "firmware-update identity");
  app.add_option("--flash", flash, "page256, page32, aai or a flash part name");
  app.add_option("--fault", faults,
                 "a fault of the chip, repeatable: reject:N, vanish:N (the connection drops: "
                 "the host sees an unplug), stuck-busy, weak:ADDR:K, mailbox-silent, "
                 "flip:ADDR:MASK, i2c-nak:ADDR");
  app.add_option("--hang-from", hang_from,
                 "from request N on the device stops answering but stays plugged in")
      ->check(CLI::PositiveNumber);
  app.add_option("--port", port, "TCP port on 127.0.0.1 (0: any free port)");
  app.add_flag("--attach", attach,
               "attach the device to this machine's vhci_hcd, serve that one connection and "
               "exit when it ends");
  CLI11_PARSE(app, argc, argv);

  const auto identity = korvalen::sim::IdentityForModel(model);
  if (!identity) {
    Log("--model " + model + ": not a model (a row 0-4, a model key, 5e1a or 0c3d)");
    return 2;
  }
  korvalen::RealClock clock;
  auto chip = korvalen::sim::MakeSimDevice(clock, *identity, korvalen::sim::FlashPartFor(flash));
  if (!chip) {
    Log("--flash " + flash + ": not a flash (page256, page32, aai or a part name)");
    return 2;
  }
  for (const std::string& text : faults) {
    const auto parsed = korvalen::sim::ParseFaultSpec(text);
    if (!parsed.ok()) {
      Log("--fault " + text + ": " + parsed.error);
      return 2;
    }
    korvalen::sim::ApplyFaultSpecs(parsed.specs, *chip);
  }
  // The USB stack's own round trip is the request's latency now.
  chip->timing().request_latency_us = 0;
  korvalen::sim::AddBoardI2cSlaves(chip->i2c());

  std::string error;
  uint16_t bound = 0;
  const int listener = korvalen::usbip::ListenLoopback(port, &bound, &error);
  if (listener < 0) {
    Log("cannot listen: " + error);
    return 1;
  }
  Log("serving " + std::string(identity->name) + " (" + std::string(identity->id_text) +
      ") on 127.0.0.1:" + std::to_string(bound));

  korvalen::usbip::SimUsbDevice device(chip);
  korvalen::usbip::UsbipServer server(device);
  server.HangFromRequest(hang_from);
  server.SetBurstReport(
      [](const korvalen::usbip::Burst& b) {
        const double span_ms = static_cast<double>(b.last_us - b.first_us) / 1000.0;
        char line[160];
        std::snprintf(line, sizeof line,
                      "requests: %llu in %.1f ms (%.3f ms apart), %llu in all",
                      static_cast<unsigned long long>(b.requests), span_ms,
                      b.requests > 1 ? span_ms / static_cast<double>(b.requests - 1) : 0.0,
                      static_cast<unsigned long long>(b.total_requests));
        Log(line);
      },
      kBurstIdleMs);
  std::thread attacher;
  bool attached = false;
  if (attach) attacher = std::thread([&] { attached = AttachSelf(bound); });
  while (true) {
    const int fd = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    const std::string why = server.ServeConnection(fd);
    Log("connection ended: " + why + " (" + std::to_string(server.UrbsServed()) + " transfers)");
    if (attach) break;
  }
  attacher.join();
  close(listener);
  return attached ? 0 : 1;
}
