// One simulated chip dressed as a USB device: the descriptors of its identity
// and its endpoint 0. The standard requests a host sends while it enumerates
// and configures the device are answered here; every vendor request goes to
// the chip through its request entry, in the envelope of the identity's
// channel, as the link's drivers deliver it, so fault request numbers count
// the same requests as behind the driver seam.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "sim/SimDevice.h"

namespace korvalen::usbip {

// The answer to one control transfer.
struct ControlResult {
  int32_t status = 0;   // 0, or the negated errno the host's URB gets
  uint32_t actual = 0;  // bytes of the data stage transferred
  bool gone = false;    // the device has vanished: the link must drop
};

class SimUsbDevice {
 public:
  explicit SimUsbDevice(std::shared_ptr<sim::SimDevice> chip);

  const sim::SimIdentity& identity() const { return chip_->identity(); }
  sim::SimDevice& chip() { return *chip_; }

  std::span<const uint8_t> DeviceDescriptor() const { return device_descriptor_; }
  // The whole configuration: configuration, interface and class descriptors.
  std::span<const uint8_t> ConfigurationDescriptor() const { return configuration_; }
  // (class, subclass, protocol) of each interface, in interface order.
  struct InterfaceClass {
    uint8_t cls, subclass, protocol;
  };
  const std::vector<InterfaceClass>& Interfaces() const { return interfaces_; }

  // A host imports the device: the chip is plugged in, or plugged in again
  // after it vanished (a power cycle, as an unplug is). Unconfigured.
  void Connect();

  // One control transfer on endpoint 0. data is the data stage: what the host
  // sent (host to device) or room for the answer (device to host); its size
  // is the URB's buffer length.
  ControlResult Control(std::span<const uint8_t, 8> setup, std::span<uint8_t> data);

  // True when this transfer goes to the chip rather than being answered
  // by the device's standard request handling.
  static bool IsChipRequest(std::span<const uint8_t, 8> setup);

  // Transfers handed to the chip (vendor requests and presence tests).
  uint64_t ChipRequests() const { return chip_requests_; }

 private:
  ControlResult Standard(uint8_t type, uint8_t request, uint16_t value, uint16_t index,
                         std::span<uint8_t> data);
  ControlResult ToChip(const korvalen::DecodedRequest& request, std::span<uint8_t> data);
  std::vector<uint8_t> StringDescriptor(uint8_t index) const;

  std::shared_ptr<sim::SimDevice> chip_;
  std::vector<uint8_t> device_descriptor_;
  std::vector<uint8_t> configuration_;
  std::vector<InterfaceClass> interfaces_;
  uint8_t configuration_value_ = 0;
  uint64_t chip_requests_ = 0;
};

}  // namespace korvalen::usbip
