#include "usbip/UsbipServer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <vector>

#include "usbip/UsbipProtocol.h"

namespace korvalen::usbip {
namespace {

constexpr uint32_t kBusNumber = 1;
constexpr uint32_t kDeviceNumber = 2;
constexpr std::string_view kDevicePath = "/sys/devices/korvalen-sim/usb1/1-1";
constexpr const char* kVhciAttach = "/sys/devices/platform/vhci_hcd.0/attach";
// vhci_hcd.0 has this many high-speed ports (the super-speed ones follow).
constexpr int kVhciHighSpeedPorts = 8;

bool ReadAll(int fd, std::span<uint8_t> buffer) {
  size_t done = 0;
  while (done < buffer.size()) {
    const ssize_t n = read(fd, buffer.data() + done, buffer.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

bool WriteAll(int fd, std::span<const uint8_t> buffer) {
  size_t done = 0;
  while (done < buffer.size()) {
    const ssize_t n = send(fd, buffer.data() + done, buffer.size() - done, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

void SetNoDelay(int fd) {
  // Every control transfer is a small request and a small answer: without
  // this each would wait for the previous segment's acknowledgement.
  const int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

std::array<uint8_t, kOpHeaderSize> OpHeader(uint16_t code, uint32_t status) {
  std::array<uint8_t, kOpHeaderSize> h{};
  Put16(h, kProtocolVersion);
  Put16(std::span(h).subspan(2), code);
  Put32(std::span(h).subspan(4), status);
  return h;
}

uint64_t MonotonicMicros() {
  return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(
                                   std::chrono::steady_clock::now().time_since_epoch())
                                   .count());
}

std::string Hex(uint32_t v) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%x", v);
  return text;
}

}  // namespace

void UsbipServer::FillDeviceRecord(std::span<uint8_t> record) const {
  std::fill(record.begin(), record.end(), 0);
  std::copy(kDevicePath.begin(), kDevicePath.end(), record.begin());
  std::copy(kExportedBusId.begin(), kExportedBusId.end(), record.begin() + 256);
  Put32(record.subspan(288), kBusNumber);
  Put32(record.subspan(292), kDeviceNumber);
  Put32(record.subspan(296), kSpeedHigh);
  const auto descriptor = device_.DeviceDescriptor();
  Put16(record.subspan(300), static_cast<uint16_t>(descriptor[8] | descriptor[9] << 8));
  Put16(record.subspan(302), static_cast<uint16_t>(descriptor[10] | descriptor[11] << 8));
  Put16(record.subspan(304), static_cast<uint16_t>(descriptor[12] | descriptor[13] << 8));
  record[306] = descriptor[4];  // class, subclass, protocol
  record[307] = descriptor[5];
  record[308] = descriptor[6];
  record[309] = 0;              // not configured yet
  record[310] = descriptor[17];  // configurations
  record[311] = static_cast<uint8_t>(device_.Interfaces().size());
}

std::string UsbipServer::ServeConnection(int fd) {
  SetNoDelay(fd);
  std::string why;
  std::array<uint8_t, kOpHeaderSize> op{};
  if (!ReadAll(fd, op)) {
    why = "connection closed before a request";
  } else if (Get16(op) != kProtocolVersion) {
    why = "protocol version " + Hex(Get16(op)) + " refused";
  } else if (const uint16_t code = Get16(std::span(op).subspan(2)); code == kOpReqDevlist) {
    std::vector<uint8_t> reply(kOpHeaderSize + 4 + kDeviceRecordSize +
                               kInterfaceRecordSize * device_.Interfaces().size());
    const auto header = OpHeader(kOpRepDevlist, kOpStatusOk);
    std::copy(header.begin(), header.end(), reply.begin());
    Put32(std::span(reply).subspan(kOpHeaderSize), 1);
    FillDeviceRecord(std::span(reply).subspan(kOpHeaderSize + 4, kDeviceRecordSize));
    size_t at = kOpHeaderSize + 4 + kDeviceRecordSize;
    for (const auto& i : device_.Interfaces()) {
      reply[at] = i.cls;
      reply[at + 1] = i.subclass;
      reply[at + 2] = i.protocol;
      at += kInterfaceRecordSize;
    }
    WriteAll(fd, reply);
    why = "device list sent";
  } else if (code == kOpReqImport) {
    std::array<uint8_t, kBusIdSize> bus_id{};
    if (!ReadAll(fd, bus_id)) {
      why = "connection closed in an import request";
    } else {
      bus_id.back() = 0;
      const std::string wanted(reinterpret_cast<const char*>(bus_id.data()));
      if (wanted != kExportedBusId) {
        WriteAll(fd, OpHeader(kOpRepImport, kOpStatusFailed));
        why = "import of unknown bus id '" + wanted + "' refused";
      } else {
        std::array<uint8_t, kOpHeaderSize + kDeviceRecordSize> reply{};
        const auto header = OpHeader(kOpRepImport, kOpStatusOk);
        std::copy(header.begin(), header.end(), reply.begin());
        FillDeviceRecord(std::span(reply).subspan(kOpHeaderSize));
        device_.Connect();
        why = WriteAll(fd, reply) ? ServeUrbs(fd) : "connection closed in the import reply";
      }
    }
  } else {
    why = "unknown operation " + Hex(code) + " refused";
  }
  close(fd);
  return why;
}

std::string UsbipServer::ServeUrbs(int fd) {
  std::array<uint8_t, kUrbHeaderSize> header{};
  std::vector<uint8_t> reply(kUrbHeaderSize + kMaxControlData);
  while (true) {
    if (burst_report_ && burst_.requests > 0) {
      pollfd waiting{fd, POLLIN, 0};
      if (poll(&waiting, 1, idle_ms_) == 0) EndBurst();
    }
    if (!ReadAll(fd, header)) {
      EndBurst();
      return "host closed the connection";
    }
    const UrbCommand urb = ParseUrbCommand(header);
    std::fill(reply.begin(), reply.begin() + kUrbHeaderSize, 0);
    Put32(std::span(reply).subspan(4), urb.seqnum);

    if (urb.command == kCmdUnlink) {
      // A transfer left hanging is cancelled now; any other was answered
      // before this header was read, and status 0 says it had completed.
      Put32(reply, kRetUnlink);
      if (unanswered_.erase(urb.unlink_seqnum) > 0)
        Put32(std::span(reply).subspan(20), static_cast<uint32_t>(kStatusCancelled));
      if (!WriteAll(fd, std::span(reply).first(kUrbHeaderSize))) return "host gone";
      continue;
    }
    if (urb.command != kCmdSubmit) return "unknown command " + Hex(urb.command) + " refused";
    if (urb.direction != kDirIn && urb.direction != kDirOut)
      return "direction " + Hex(urb.direction) + " refused";
    if (urb.packet_count != 0 && urb.packet_count != kNotIsochronous)
      return "isochronous transfer refused (the device has no such endpoint)";
    if (urb.buffer_length > kMaxControlData)
      return "transfer of " + std::to_string(urb.buffer_length) + " bytes refused";

    std::span<uint8_t> data = std::span(reply).subspan(kUrbHeaderSize, urb.buffer_length);
    if (urb.direction == kDirOut && !ReadAll(fd, data)) return "host closed in a data stage";
    if (hang_from_ != 0 && device_.ChipRequests() + 1 >= hang_from_ &&
        device_.IsChipRequest(std::span(urb.setup).first<8>())) {
      unanswered_.insert(urb.seqnum);
      continue;
    }
    ControlResult result{kStatusStall, 0, false};
    const uint64_t before = device_.ChipRequests();
    if (urb.endpoint == 0) result = device_.Control(std::span(urb.setup).first<8>(), data);
    ++urbs_served_;
    if (device_.ChipRequests() != before) {
      const uint64_t now = MonotonicMicros();
      if (burst_.requests++ == 0) burst_.first_us = now;
      burst_.last_us = now;
      ++burst_.total_requests;
    }
    if (result.gone) {
      EndBurst();
      return "device vanished";
    }

    Put32(reply, kRetSubmit);
    Put32(std::span(reply).subspan(20), static_cast<uint32_t>(result.status));
    Put32(std::span(reply).subspan(24), result.actual);
    const size_t answer = urb.direction == kDirIn ? result.actual : 0;
    if (!WriteAll(fd, std::span(reply).first(kUrbHeaderSize + answer))) return "host gone";
  }
}

void UsbipServer::EndBurst() {
  if (burst_report_ && burst_.requests > 0) burst_report_(burst_);
  burst_.requests = 0;
}

int ListenLoopback(uint16_t port, uint16_t* bound, std::string* error) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    *error = std::string("socket: ") + std::strerror(errno);
    return -1;
  }
  const int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof address;
  if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      listen(fd, 4) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
    *error = "127.0.0.1:" + std::to_string(port) + ": " + std::strerror(errno);
    close(fd);
    return -1;
  }
  if (bound) *bound = ntohs(address.sin_port);
  return fd;
}

int ConnectLoopback(uint16_t port) {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) return -1;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    close(fd);
    return -1;
  }
  SetNoDelay(fd);
  return fd;
}

std::optional<ImportedDevice> Import(int fd, std::string_view bus_id, std::string* error) {
  std::array<uint8_t, kOpHeaderSize + kBusIdSize> request{};
  const auto header = OpHeader(kOpReqImport, kOpStatusOk);
  std::copy(header.begin(), header.end(), request.begin());
  std::copy_n(bus_id.begin(), std::min(bus_id.size(), kBusIdSize - 1),
              request.begin() + kOpHeaderSize);
  std::array<uint8_t, kOpHeaderSize + kDeviceRecordSize> reply{};
  if (!WriteAll(fd, request) || !ReadAll(fd, std::span(reply).first(kOpHeaderSize))) {
    *error = "the server closed the connection";
    return std::nullopt;
  }
  if (Get16(std::span(reply).subspan(2)) != kOpRepImport ||
      Get32(std::span(reply).subspan(4)) != kOpStatusOk) {
    *error = "the server refused the import of " + std::string(bus_id);
    return std::nullopt;
  }
  if (!ReadAll(fd, std::span(reply).subspan(kOpHeaderSize))) {
    *error = "the server's device record is cut short";
    return std::nullopt;
  }
  const auto record = std::span<const uint8_t>(reply).subspan(kOpHeaderSize);
  ImportedDevice device;
  device.busnum = Get32(record.subspan(288));
  device.devnum = Get32(record.subspan(292));
  device.speed = Get32(record.subspan(296));
  device.vid = Get16(record.subspan(300));
  device.pid = Get16(record.subspan(302));
  return device;
}

bool AttachToVhci(int fd, const ImportedDevice& device, std::string* error) {
  const uint32_t devid = device.busnum << 16 | device.devnum;
  for (int port = 0; port < kVhciHighSpeedPorts; ++port) {
    const std::string line = std::to_string(port) + " " + std::to_string(fd) + " " +
                             std::to_string(devid) + " " + std::to_string(device.speed);
    const int sysfs = open(kVhciAttach, O_WRONLY | O_CLOEXEC);
    if (sysfs < 0) {
      *error = std::string(kVhciAttach) + ": " + std::strerror(errno);
      return false;
    }
    // A port still in use (or still being released) refuses the write.
    const ssize_t n = write(sysfs, line.data(), line.size());
    close(sysfs);
    if (n == static_cast<ssize_t>(line.size())) return true;
    *error = std::string(kVhciAttach) + ": " + std::strerror(errno);
  }
  return false;
}

}  // namespace korvalen::usbip
