#include "link/NorvaneUsb.h"

#include <cstring>
#include <string>

#include "link/RequestRecord.h"

namespace korvalen {
namespace {

constexpr char kDefaultDeviceId[] = "vid_0c3d&pid_6000";

// The device-interface channel's presence test: a standard request for the
// 18-byte device descriptor.
constexpr SetupPacket kDescriptorRequest = {0x80, 6, 0x0100, 1};
constexpr uint16_t kDescriptorLength = 18;

const Guid& InterfaceClassOf(uint8_t driver_kind) {
  return driver_kind == kAudioDriverChannel ? kAudioDriverInterfaceClass
                                            : kUsbDeviceInterfaceClass;
}

}  // namespace

NorvaneUsb::NorvaneUsb(Driver& driver) : driver_(driver) {
  std::memcpy(device_id_, kDefaultDeviceId, sizeof kDefaultDeviceId);
}

NorvaneUsb::~NorvaneUsb() { Close(); }

bool NorvaneUsb::IsPresent() const { return present_; }

bool NorvaneUsb::SetDeviceId(std::string_view text) {
  if (text.size() >= kDeviceIdSize) return false;
  std::memset(device_id_, 0, sizeof device_id_);
  std::memcpy(device_id_, text.data(), text.size());
  return true;
}

template <typename OnMatch>
void NorvaneUsb::Search(OnMatch on_match) {
  const auto paths = driver_.EnumerateInterfaces(InterfaceClassOf(driver_kind_));
  if (!paths) return;
  for (const std::string& path : *paths) {
    // A path that does not fit the path buffer could not be opened by the
    // link anyway, so it counts as a non-match rather than being cut short.
    if (path.size() >= kDevicePathSize) continue;
    if (path.find(device_id_) != std::string::npos) on_match(path);
  }
}

bool NorvaneUsb::Probe() {
  bool result = false;
  access_denied_ = false;
  in_use_.clear();
  Search([&](const std::string& path) {
    std::memset(device_path_, 0, sizeof device_path_);
    std::memcpy(device_path_, path.data(), path.size());
    present_ = true;
    const DriverHandle handle = driver_.OpenPath(path);
    access_denied_ = handle == kNoHandle && driver_.LastOpenDenied();
    in_use_ = handle == kNoHandle ? driver_.LastOpenInUse() : std::string();
    if (handle == kNoHandle) {
      result = false;
      return;
    }
    result = SendTestRequest(handle);
    if (result) device_gone_ = false;
    driver_.CloseHandle(handle);
  });
  return result;
}

bool NorvaneUsb::SendTestRequest(DriverHandle handle) {
  bool carried = false;
  if (driver_kind_ == kAudioDriverChannel) {
    const auto query = BuildPresenceQuery();
    carried = driver_.IoControl(handle, kIoctlKsProperty, query, {});
  } else {
    const auto record = BuildSetupRecord(kDescriptorRequest, kDescriptorLength);
    uint8_t descriptor[kDescriptorLength] = {};
    carried = driver_.IoControl(handle, kIoctlVendorDeviceToHost, record, descriptor);
  }
  if (!carried) ++refused_requests_;
  return carried;
}

bool NorvaneUsb::Scan() {
  bool found = false;
  Search([&](const std::string&) { found = true; });
  present_ = found;
  return found;
}

bool NorvaneUsb::Open() {
  Close();
  access_denied_ = false;
  if (device_path_[0] == '\0') return false;
  handle_ = driver_.OpenPath(device_path_);
  access_denied_ = handle_ == kNoHandle && driver_.LastOpenDenied();
  in_use_ = handle_ == kNoHandle ? driver_.LastOpenInUse() : std::string();
  if (handle_ != kNoHandle) {
    device_gone_ = false;
    return true;
  }
  if (!access_denied_ && in_use_.empty() && !PathStillListed()) device_gone_ = true;
  return false;
}

bool NorvaneUsb::PathStillListed() {
  const auto paths = driver_.EnumerateInterfaces(InterfaceClassOf(driver_kind_));
  if (!paths) return true;
  for (const std::string& path : *paths) {
    if (path == device_path_) return true;
  }
  return false;
}

void NorvaneUsb::Close() {
  if (handle_ == kNoHandle) return;
  driver_.CloseHandle(handle_);
  handle_ = kNoHandle;
}

bool NorvaneUsb::ControlTransfer(uint8_t request_type, uint8_t request, uint16_t value,
                                 uint16_t index, uint8_t* data, uint32_t length) {
  if (handle_ == kNoHandle) return false;
  if (data == nullptr && length != 0) return false;
  const SetupPacket setup{request_type, request, value, index};
  std::span<uint8_t> block(data, length);
  bool accepted = false;
  if (driver_kind_ == kAudioDriverChannel) {
    const auto property = BuildPropertyBlock(setup, block);
    accepted = driver_.IoControl(handle_, kIoctlKsProperty, property, block);
  } else {
    const auto record = BuildSetupRecord(setup, 0);
    accepted = driver_.IoControl(handle_, SetupRecordIoctl(request_type), record, block);
  }
  if (!accepted) {
    ++refused_requests_;
    if (driver_.LastIoDeviceGone()) device_gone_ = true;
  }
  return accepted;
}

}  // namespace korvalen
