// A USB/IP server for one simulated device, and the host side of an import
// (what attaching it to the Linux virtual host controller takes). One thread
// per connection; the device itself is not shared between connections.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <string_view>

#include "usbip/SimUsbDevice.h"

namespace korvalen::usbip {

// The bus id the device is exported under.
inline constexpr std::string_view kExportedBusId = "1-1";

// Requests that reached the chip in one busy stretch of the link.
struct Burst {
  uint64_t requests = 0;        // this stretch
  uint64_t total_requests = 0;  // since the server started
  uint64_t first_us = 0;        // when the first and last of them arrived
  uint64_t last_us = 0;
};

class UsbipServer {
 public:
  explicit UsbipServer(SimUsbDevice& device) : device_(device) {}

  // Calls report after the link has been idle for idle_ms following
  // requests to the chip: how fast the host's stack delivers them, seen
  // from the device's side.
  void SetBurstReport(std::function<void(const Burst&)> report, int idle_ms) {
    burst_report_ = std::move(report);
    idle_ms_ = idle_ms;
  }

  // Serves the connection on fd until the host drops it, sends something
  // malformed, or the device vanishes; then closes fd (which is how the
  // host sees the device unplugged). A device list request is answered and
  // the connection closed, as an import of another bus id is refused.
  // Returns why it ended, for the log.
  std::string ServeConnection(int fd);

  // From the transfer that would be the chip's request-th on, the device
  // stops answering but stays plugged in (firmware that has locked up): its
  // transfers are never completed, and the host's cancellation of one is
  // answered as a cancellation.
  void HangFromRequest(uint64_t request) { hang_from_ = request; }

  uint64_t UrbsServed() const { return urbs_served_; }

 private:
  std::string ServeUrbs(int fd);
  void FillDeviceRecord(std::span<uint8_t> record) const;

  void EndBurst();

  SimUsbDevice& device_;
  uint64_t urbs_served_ = 0;
  std::function<void(const Burst&)> burst_report_;
  int idle_ms_ = 0;
  Burst burst_;
  uint64_t hang_from_ = 0;          // 0: never
  std::set<uint32_t> unanswered_;   // seqnums of the transfers left hanging
};

// A listening TCP socket on 127.0.0.1 (port 0: any free port, reported in
// *bound). -1 with *error set when it cannot be made.
int ListenLoopback(uint16_t port, uint16_t* bound, std::string* error);
// A connected socket to 127.0.0.1:port with TCP_NODELAY set, or -1.
int ConnectLoopback(uint16_t port);

// What the server said about the device it exports.
struct ImportedDevice {
  uint32_t busnum = 0;
  uint32_t devnum = 0;
  uint32_t speed = 0;
  uint16_t vid = 0;
  uint16_t pid = 0;
};

// Imports bus_id over fd (the client half of the import). nullopt with
// *error set when the server refuses or answers something malformed.
std::optional<ImportedDevice> Import(int fd, std::string_view bus_id, std::string* error);

// Hands the imported connection to the kernel's virtual host controller on
// its first free high-speed port; the kernel keeps its own reference to the
// socket. False with *error set when no port takes it.
bool AttachToVhci(int fd, const ImportedDevice& device, std::string* error);

}  // namespace korvalen::usbip
