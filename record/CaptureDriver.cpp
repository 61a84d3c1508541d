#include "record/CaptureDriver.h"

#include <chrono>

#include "link/LibusbDriver.h"
#include "link/RequestRecord.h"
#include "link/UsbInterfacePath.h"

namespace korvalen::record {
namespace {

// The interface class a path names at its end ("...#{guid}"), for a path
// opened without being listed first.
Guid ClassFromPath(const std::string& path) {
  const auto parsed = ParseInterfacePath(path);
  if (parsed) return parsed->interface_class;
  return path.find(GuidText(kAudioDriverInterfaceClass)) != std::string::npos
             ? kAudioDriverInterfaceClass
             : kUsbDeviceInterfaceClass;
}

}  // namespace

uint64_t WallClockMicros() {
  return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(
                                   std::chrono::system_clock::now().time_since_epoch())
                                   .count());
}

CaptureDriver::CaptureDriver(Driver& inner, CaptureFile& file, Clock& clock, uint64_t epoch_micros)
    : inner_(inner),
      file_(file),
      clock_(clock),
      epoch_micros_(epoch_micros),
      clock_start_(clock.NowMicros()) {}

uint64_t CaptureDriver::NowMicros() { return epoch_micros_ + (clock_.NowMicros() - clock_start_); }

std::optional<std::vector<std::string>> CaptureDriver::EnumerateInterfaces(
    const Guid& interface_class) {
  auto paths = inner_.EnumerateInterfaces(interface_class);
  if (!paths) return paths;
  // Only devices the tool opens are noted: the system lists every USB
  // device under its device interface class, and the others are no one's
  // business.
  for (const std::string& path : *paths) classes_.insert_or_assign(path, interface_class);
  return paths;
}

CaptureAddress CaptureDriver::AddressOf(const std::string& path) {
  const auto known = classes_.find(path);
  const Guid interface_class = known != classes_.end() ? known->second : ClassFromPath(path);
  return file_.NoteInterface(path, interface_class, NowMicros());
}

DriverHandle CaptureDriver::OpenPath(const std::string& path) {
  const DriverHandle handle = inner_.OpenPath(path);
  if (handle != kNoHandle) open_[handle] = AddressOf(path);
  return handle;
}

void CaptureDriver::CloseHandle(DriverHandle handle) {
  open_.erase(handle);
  inner_.CloseHandle(handle);
}

bool CaptureDriver::IoControl(DriverHandle handle, uint32_t code, std::span<const uint8_t> in,
                              std::span<uint8_t> out) {
  const auto device = open_.find(handle);
  const auto decoded = DecodeRequest(code, in, out.size());
  if (device == open_.end() || !decoded || decoded->length > kMaxControlTransferLength)
    return inner_.IoControl(handle, code, in, out);

  CapturedTransfer transfer;
  transfer.address = device->second;
  if (decoded->kind == DecodedRequest::Kind::kPresenceQuery) {
    // Carried as a GET_STATUS of the device whose answer the caller never
    // sees: recorded as asked for, its two bytes not captured.
    transfer.setup = kGetDeviceStatus;
    transfer.length = kDeviceStatusLength;
  } else {
    transfer.setup = decoded->setup;
    transfer.length = static_cast<uint16_t>(decoded->length);
  }
  const bool device_to_host = (transfer.setup.request_type & kDirectionIn) != 0;
  const bool caller_block = decoded->kind != DecodedRequest::Kind::kPresenceQuery;
  const auto data = out.first(caller_block ? decoded->length : 0);
  if (!device_to_host) transfer.data_out.assign(data.begin(), data.end());
  transfer.submit_micros = NowMicros();

  transfer.ok = inner_.IoControl(handle, code, in, out);

  transfer.complete_micros = NowMicros();
  if (device_to_host) {
    // The caller's block as the driver left it, also after a failure: that
    // is what the caller goes on to read.
    transfer.data_in.assign(data.begin(), data.end());
    transfer.in_transferred =
        caller_block ? static_cast<uint32_t>(data.size()) : (transfer.ok ? kDeviceStatusLength : 0);
  }
  file_.WriteTransfer(transfer);
  return transfer.ok;
}

}  // namespace korvalen::record
