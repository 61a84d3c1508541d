#include "sim/SimDriver.h"

#include <algorithm>

#include "link/RequestRecord.h"
#include "link/UsbInterfacePath.h"

namespace korvalen::sim {
namespace {

// Simulated devices sit on one bus, each on a root-hub port of its own.
constexpr uint8_t kSimBus = 1;

const korvalen::Guid& InterfaceClassOf(uint8_t channel) {
  return channel == kAudioDriverChannel ? korvalen::kAudioDriverInterfaceClass
                                        : korvalen::kUsbDeviceInterfaceClass;
}

}  // namespace

std::string SimDriver::PathFor(const SimIdentity& identity, int port) {
  korvalen::UsbLocation location;
  location.bus = kSimBus;
  location.ports = {static_cast<uint8_t>(port)};
  location.vendor_id = identity.vid;
  location.product_id = identity.pid;
  return korvalen::BuildInterfacePath(location, InterfaceClassOf(identity.channel));
}

void SimDriver::Attach(std::shared_ptr<SimDevice> device) {
  if (!device || FindSlot(device.get()) != nullptr) return;
  // The lowest free port, so a device plugged out and in again comes back
  // on the same path when nothing else took its socket.
  int port = 1;
  while (
      std::any_of(slots_.begin(), slots_.end(), [port](const Slot& s) { return s.port == port; })) {
    ++port;
  }
  device->OnAttached();
  slots_.push_back({std::move(device), port, next_generation_++});
}

void SimDriver::AttachAt(std::shared_ptr<SimDevice> device, int port) {
  if (!device || FindSlot(device.get()) != nullptr || port < 1 || port > 255) return;
  if (std::any_of(slots_.begin(), slots_.end(), [port](const Slot& s) { return s.port == port; }))
    return;
  device->OnAttached();
  slots_.push_back({std::move(device), port, next_generation_++});
}

void SimDriver::Detach(const std::shared_ptr<SimDevice>& device) {
  const auto it =
      std::find_if(slots_.begin(), slots_.end(), [&](const Slot& s) { return s.device == device; });
  if (it == slots_.end()) return;
  it->device->OnDetached();
  slots_.erase(it);
}

void SimDriver::DetachAll() {
  for (Slot& slot : slots_) slot.device->OnDetached();
  slots_.clear();
}

std::vector<std::shared_ptr<SimDevice>> SimDriver::Attached() const {
  std::vector<std::shared_ptr<SimDevice>> devices;
  for (const Slot& slot : slots_) devices.push_back(slot.device);
  return devices;
}

const SimDriver::Slot* SimDriver::FindSlot(const SimDevice* device) const {
  for (const Slot& slot : slots_) {
    if (slot.device.get() == device) return &slot;
  }
  return nullptr;
}

std::string SimDriver::PathOf(const SimDevice& device) const {
  const Slot* slot = FindSlot(&device);
  return slot ? PathFor(slot->device->identity(), slot->port) : std::string();
}

std::optional<std::vector<std::string>> SimDriver::EnumerateInterfaces(
    const korvalen::Guid& interface_class) {
  if (enumeration_fails_) return std::nullopt;
  std::vector<std::string> paths;
  for (const Slot& slot : slots_) {
    const SimDevice& device = *slot.device;
    if (!device.Present()) continue;
    if (InterfaceClassOf(device.identity().channel) != interface_class) continue;
    paths.push_back(PathFor(device.identity(), slot.port));
  }
  return paths;
}

korvalen::DriverHandle SimDriver::OpenPath(const std::string& path) {
  for (const Slot& slot : slots_) {
    if (!slot.device->Present() || PathFor(slot.device->identity(), slot.port) != path) continue;
    const korvalen::DriverHandle handle = next_handle_++;
    handles_[handle] = {slot.device, slot.generation};
    return handle;
  }
  return korvalen::kNoHandle;
}

void SimDriver::CloseHandle(korvalen::DriverHandle handle) {
  if (handles_.erase(handle) == 0) ++contract_violations_;
}

bool SimDriver::IoControl(korvalen::DriverHandle handle, uint32_t code, std::span<const uint8_t> in,
                          std::span<uint8_t> out) {
  ++io_control_calls_;
  last_io_gone_ = false;
  const auto it = handles_.find(handle);
  if (it == handles_.end()) {
    ++contract_violations_;
    return false;
  }
  const std::shared_ptr<SimDevice> device = it->second.device.lock();
  // The handle belongs to the device's attachment it was opened on; after an
  // unplug (even if plugged in again) it is dead, as a real handle is.
  const Slot* slot = device ? FindSlot(device.get()) : nullptr;
  if (slot == nullptr || slot->generation != it->second.generation) {
    last_io_gone_ = true;
    return false;
  }
  const uint8_t channel =
      code == korvalen::kIoctlKsProperty ? kAudioDriverChannel : kDeviceInterfaceChannel;
  const bool accepted =
      device->HandleIoControl(channel, korvalen::DecodeRequest(code, in, out.size()), out);
  last_io_gone_ = !accepted && !device->Present();
  return accepted;
}

}  // namespace korvalen::sim
