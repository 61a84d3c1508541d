#include "link/LibusbDriver.h"

#include <libusb.h>

#include <array>

#include "link/UsbInterfacePath.h"

namespace korvalen {
namespace {

// The device list of one libusb call, released with its references when the
// walk is over (an opened device keeps a reference of its own).
class DeviceList {
 public:
  explicit DeviceList(libusb_context* context)
      : count_(libusb_get_device_list(context, &devices_)) {}
  ~DeviceList() {
    if (count_ >= 0) libusb_free_device_list(devices_, 1);
  }
  DeviceList(const DeviceList&) = delete;
  DeviceList& operator=(const DeviceList&) = delete;

  bool Ok() const { return count_ >= 0; }
  std::span<libusb_device*> Devices() const {
    return {devices_, count_ < 0 ? 0 : static_cast<size_t>(count_)};
  }

 private:
  libusb_device** devices_ = nullptr;
  ssize_t count_;
};

// nullopt for a device whose descriptor or port chain cannot be read; it is
// left out of the list, as an interface whose detail cannot be fetched is.
std::optional<UsbLocation> LocationOf(libusb_device* device) {
  libusb_device_descriptor descriptor{};
  if (libusb_get_device_descriptor(device, &descriptor) != LIBUSB_SUCCESS) return std::nullopt;
  std::array<uint8_t, kMaxPortDepth> ports{};
  const int depth = libusb_get_port_numbers(device, ports.data(), static_cast<int>(ports.size()));
  if (depth < 0) return std::nullopt;
  return UsbLocation{libusb_get_bus_number(device),
                     std::vector<uint8_t>(ports.begin(), ports.begin() + depth),
                     descriptor.idVendor, descriptor.idProduct};
}

// Looks at the active configuration, or at the first one of a device that is
// not configured yet; both are read from the system's cache, not the device.
bool ExposesAudio(libusb_device* device) {
  libusb_config_descriptor* config = nullptr;
  if (libusb_get_active_config_descriptor(device, &config) != LIBUSB_SUCCESS) {
    config = nullptr;
    if (libusb_get_config_descriptor(device, 0, &config) != LIBUSB_SUCCESS) return false;
  }
  const bool audio = HasAudioInterface(*config);
  libusb_free_config_descriptor(config);
  return audio;
}

bool ExposesClass(libusb_device* device, const Guid& interface_class) {
  if (interface_class == kUsbDeviceInterfaceClass) return true;
  return interface_class == kAudioDriverInterfaceClass && ExposesAudio(device);
}

}  // namespace

std::optional<PlannedTransfer> PlanTransfer(uint32_t code, std::span<const uint8_t> in,
                                            size_t out_size) {
  const auto decoded = DecodeRequest(code, in, out_size);
  if (!decoded) return std::nullopt;
  if (decoded->kind == DecodedRequest::Kind::kPresenceQuery) {
    return PlannedTransfer{kGetDeviceStatus, kDeviceStatusLength, false};
  }
  if (decoded->length > kMaxControlTransferLength) return std::nullopt;
  return PlannedTransfer{decoded->setup, static_cast<uint16_t>(decoded->length), true};
}

bool HasAudioInterface(const libusb_config_descriptor& config) {
  for (int i = 0; i < config.bNumInterfaces; ++i) {
    const libusb_interface& usb_interface = config.interface[i];
    for (int alt = 0; alt < usb_interface.num_altsetting; ++alt) {
      if (usb_interface.altsetting[alt].bInterfaceClass == LIBUSB_CLASS_AUDIO) return true;
    }
  }
  return false;
}

LibusbDriver::LibusbDriver() { Context(); }

LibusbDriver::~LibusbDriver() {
  for (const auto& [handle, device_handle] : open_handles_) libusb_close(device_handle);
  if (context_ != nullptr) libusb_exit(context_);
}

libusb_context* LibusbDriver::Context() {
  if (context_ == nullptr && libusb_init(&context_) != LIBUSB_SUCCESS) context_ = nullptr;
  return context_;
}

std::optional<std::vector<std::string>> LibusbDriver::EnumerateInterfaces(
    const Guid& interface_class) {
  if (interface_class != kUsbDeviceInterfaceClass &&
      interface_class != kAudioDriverInterfaceClass) {
    return std::vector<std::string>{};
  }
  libusb_context* context = Context();
  if (context == nullptr) return std::nullopt;
  const DeviceList list(context);
  if (!list.Ok()) return std::nullopt;

  std::vector<std::string> paths;
  for (libusb_device* device : list.Devices()) {
    const auto location = LocationOf(device);
    if (!location || !ExposesClass(device, interface_class)) continue;
    paths.push_back(BuildInterfacePath(*location, interface_class));
  }
  return paths;
}

DriverHandle LibusbDriver::OpenPath(const std::string& path) {
  last_open_denied_ = false;
  const auto parsed = ParseInterfacePath(path);
  if (!parsed) return kNoHandle;
  libusb_context* context = Context();
  if (context == nullptr) return kNoHandle;
  const DeviceList list(context);
  if (!list.Ok()) return kNoHandle;

  for (libusb_device* device : list.Devices()) {
    if (LocationOf(device) != parsed->location) continue;
    if (!ExposesClass(device, parsed->interface_class)) return kNoHandle;
    libusb_device_handle* device_handle = nullptr;
    const int opened = libusb_open(device, &device_handle);
    if (opened != LIBUSB_SUCCESS) {
      last_open_denied_ = opened == LIBUSB_ERROR_ACCESS;
      return kNoHandle;
    }
    const DriverHandle handle = next_handle_++;
    open_handles_.emplace(handle, device_handle);
    return handle;
  }
  return kNoHandle;
}

std::string LibusbDriver::SerialNumberOf(const std::string& path) {
  const auto parsed = ParseInterfacePath(path);
  if (!parsed) return {};
  libusb_context* context = Context();
  if (context == nullptr) return {};
  const DeviceList list(context);
  if (!list.Ok()) return {};
  for (libusb_device* device : list.Devices()) {
    if (LocationOf(device) != parsed->location) continue;
    libusb_device_descriptor descriptor{};
    if (libusb_get_device_descriptor(device, &descriptor) != LIBUSB_SUCCESS ||
        descriptor.iSerialNumber == 0)
      return {};
    libusb_device_handle* handle = nullptr;
    if (libusb_open(device, &handle) != LIBUSB_SUCCESS) return {};
    // The device keeps at most 31 bytes; the buffer holds any descriptor.
    std::array<unsigned char, 256> text{};
    const int length = libusb_get_string_descriptor_ascii(handle, descriptor.iSerialNumber,
                                                          text.data(), text.size());
    libusb_close(handle);
    if (length <= 0) return {};
    return std::string(reinterpret_cast<const char*>(text.data()), static_cast<size_t>(length));
  }
  return {};
}

void LibusbDriver::CloseHandle(DriverHandle handle) {
  const auto it = open_handles_.find(handle);
  if (it == open_handles_.end()) return;
  libusb_close(it->second);
  open_handles_.erase(it);
}

bool LibusbDriver::IoControl(DriverHandle handle, uint32_t code, std::span<const uint8_t> in,
                             std::span<uint8_t> out) {
  last_io_gone_ = false;
  const auto it = open_handles_.find(handle);
  if (it == open_handles_.end()) return false;
  const auto plan = PlanTransfer(code, in, out.size());
  if (!plan) return false;

  std::array<uint8_t, kDeviceStatusLength> status{};
  uint8_t* data = plan->into_caller_block ? out.data() : status.data();
  if (plan->length == 0) data = nullptr;
  const SetupPacket& setup = plan->setup;
  const int result =
      libusb_control_transfer(it->second, setup.request_type, setup.request, setup.value,
                              setup.index, data, plan->length, kControlTransferTimeoutMs);
  last_io_gone_ = result == LIBUSB_ERROR_NO_DEVICE;
  return result >= 0;
}

}  // namespace korvalen
