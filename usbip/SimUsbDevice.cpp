#include "usbip/SimUsbDevice.h"

#include <algorithm>

#include "link/NorvaneUsb.h"
#include "link/RequestRecord.h"
#include "usbip/UsbipProtocol.h"

namespace korvalen::usbip {
namespace {

constexpr uint8_t kTypeMask = 0x60;
constexpr uint8_t kTypeStandard = 0x00;
constexpr uint8_t kTypeVendor = 0x40;
constexpr uint8_t kRecipientMask = 0x1F;
constexpr uint8_t kRecipientDevice = 0x00;

constexpr uint8_t kGetStatus = 0x00;
constexpr uint8_t kClearFeature = 0x01;
constexpr uint8_t kSetFeature = 0x03;
constexpr uint8_t kGetDescriptor = 0x06;
constexpr uint8_t kGetConfiguration = 0x08;
constexpr uint8_t kSetConfiguration = 0x09;
constexpr uint8_t kGetInterface = 0x0A;
constexpr uint8_t kSetInterface = 0x0B;

constexpr uint8_t kDescriptorDevice = 1;
constexpr uint8_t kDescriptorConfiguration = 2;
constexpr uint8_t kDescriptorString = 3;
constexpr uint8_t kDescriptorInterface = 4;
constexpr uint8_t kDescriptorClassInterface = 0x24;

constexpr uint8_t kClassAudio = 0x01;
constexpr uint8_t kSubclassAudioControl = 0x01;
constexpr uint8_t kClassVendor = 0xFF;
constexpr uint8_t kAudioControlHeader = 0x01;
constexpr uint8_t kAudioHeaderLength = 8;  // with no streaming interface listed
constexpr uint16_t kAudioClass10 = 0x0100;

constexpr uint8_t kConfigurationValue = 1;
constexpr uint8_t kBusPowered = 0x80;
constexpr uint8_t kMaxPower100mA = 50;  // in 2 mA units
constexpr uint8_t kEp0MaxPacket = 64;   // high speed
constexpr uint16_t kUsb20 = 0x0200;
constexpr uint16_t kDeviceRelease = 0x0100;
constexpr uint16_t kLanguageEnUs = 0x0409;

constexpr uint8_t kStringManufacturer = 1;
constexpr uint8_t kStringProduct = 2;
constexpr uint8_t kStringSerial = 3;
constexpr std::string_view kManufacturer = "KORVALEN";
constexpr std::string_view kSerial = "SIM0001";

void Append16(std::vector<uint8_t>& out, uint16_t v) {
  out.push_back(static_cast<uint8_t>(v));
  out.push_back(static_cast<uint8_t>(v >> 8));
}

void AppendInterface(std::vector<uint8_t>& out, uint8_t number, uint8_t cls, uint8_t subclass) {
  out.insert(out.end(), {9, kDescriptorInterface, number, 0, 0, cls, subclass, 0, 0});
}

}  // namespace

SimUsbDevice::SimUsbDevice(std::shared_ptr<sim::SimDevice> chip) : chip_(std::move(chip)) {
  const sim::SimIdentity& id = chip_->identity();
  device_descriptor_ = {18, kDescriptorDevice};
  Append16(device_descriptor_, kUsb20);
  // Class per interface; ep0 takes 64-byte packets.
  device_descriptor_.insert(device_descriptor_.end(), {0, 0, 0, kEp0MaxPacket});
  Append16(device_descriptor_, id.vid);
  Append16(device_descriptor_, id.pid);
  Append16(device_descriptor_, kDeviceRelease);
  device_descriptor_.insert(device_descriptor_.end(),
                            {kStringManufacturer, kStringProduct, kStringSerial, 1});

  // A model runs its audio firmware: the audio driver binds its audio
  // control interface. Both identities carry the chip's vendor interface.
  std::vector<uint8_t> body;
  uint8_t number = 0;
  if (id.channel == kAudioDriverChannel) {
    AppendInterface(body, number++, kClassAudio, kSubclassAudioControl);
    interfaces_.push_back({kClassAudio, kSubclassAudioControl, 0});
    // Class-specific header: audio class 1.0, no streaming interfaces.
    body.insert(body.end(), {kAudioHeaderLength, kDescriptorClassInterface, kAudioControlHeader});
    Append16(body, kAudioClass10);
    Append16(body, kAudioHeaderLength);  // the class-specific descriptors' total
    body.push_back(0);                   // bInCollection
  }
  AppendInterface(body, number++, kClassVendor, 0);
  interfaces_.push_back({kClassVendor, 0, 0});

  configuration_ = {9, kDescriptorConfiguration};
  Append16(configuration_, static_cast<uint16_t>(9 + body.size()));
  configuration_.insert(configuration_.end(),
                        {number, kConfigurationValue, 0, kBusPowered, kMaxPower100mA});
  configuration_.insert(configuration_.end(), body.begin(), body.end());
}

std::vector<uint8_t> SimUsbDevice::StringDescriptor(uint8_t index) const {
  std::string_view text;
  switch (index) {
    case 0:
      return {4, kDescriptorString, static_cast<uint8_t>(kLanguageEnUs),
              static_cast<uint8_t>(kLanguageEnUs >> 8)};
    case kStringManufacturer:
      text = kManufacturer;
      break;
    case kStringProduct:
      text = chip_->identity().name;
      break;
    case kStringSerial:
      text = kSerial;
      break;
    default:
      return {};
  }
  std::vector<uint8_t> out = {static_cast<uint8_t>(2 + 2 * text.size()), kDescriptorString};
  for (char c : text) Append16(out, static_cast<uint8_t>(c));
  return out;
}

void SimUsbDevice::Connect() {
  if (!chip_->Present()) {
    chip_->OnDetached();
    chip_->OnAttached();
  }
  configuration_value_ = 0;
}

bool SimUsbDevice::IsChipRequest(std::span<const uint8_t, 8> setup) {
  if ((setup[0] & kTypeMask) == kTypeVendor) return true;
  return setup[0] == (korvalen::kDirectionIn | kTypeStandard | kRecipientDevice) &&
         setup[1] == kGetStatus;
}

ControlResult SimUsbDevice::Control(std::span<const uint8_t, 8> setup, std::span<uint8_t> data) {
  const uint8_t type = setup[0];
  const uint8_t request = setup[1];
  const uint16_t value = static_cast<uint16_t>(setup[2] | setup[3] << 8);
  const uint16_t index = static_cast<uint16_t>(setup[4] | setup[5] << 8);
  const uint16_t length = static_cast<uint16_t>(setup[6] | setup[7] << 8);
  // The data stage is the shorter of what the request asks and the buffer.
  data = data.first(std::min<size_t>(data.size(), length));

  if ((type & kTypeMask) == kTypeVendor) {
    korvalen::DecodedRequest decoded;
    decoded.setup = {type, request, value, index};
    decoded.length = static_cast<uint32_t>(data.size());
    return ToChip(decoded, data);
  }
  if ((type & kTypeMask) == kTypeStandard) return Standard(type, request, value, index, data);
  return {kStatusStall, 0, false};  // class requests: the chip has none on ep0
}

ControlResult SimUsbDevice::ToChip(const korvalen::DecodedRequest& request,
                                   std::span<uint8_t> data) {
  ++chip_requests_;
  const bool ok = chip_->HandleIoControl(identity().channel, request, data);
  if (!chip_->Present()) return {kStatusStall, 0, true};
  if (!ok) return {kStatusStall, 0, false};
  return {kStatusOk, static_cast<uint32_t>(data.size()), false};
}

ControlResult SimUsbDevice::Standard(uint8_t type, uint8_t request, uint16_t value,
                                     uint16_t index, std::span<uint8_t> data) {
  const bool in = (type & korvalen::kDirectionIn) != 0;
  std::vector<uint8_t> answer;
  switch (request) {
    case kGetStatus:
      if (!in) return {kStatusStall, 0, false};
      // The link's presence test is this request to the device: it reaches
      // the chip as the presence query, so it counts and meets the faults.
      if ((type & kRecipientMask) == kRecipientDevice) {
        korvalen::DecodedRequest presence;
        presence.kind = korvalen::DecodedRequest::Kind::kPresenceQuery;
        const ControlResult r = ToChip(presence, {});
        if (r.status != kStatusOk) return r;
      }
      answer = {0, 0};
      break;
    case kGetDescriptor: {
      if (!in) return {kStatusStall, 0, false};
      const uint8_t kind = static_cast<uint8_t>(value >> 8);
      if (kind == kDescriptorDevice) {
        answer.assign(device_descriptor_.begin(), device_descriptor_.end());
      } else if (kind == kDescriptorConfiguration && (value & 0xFF) == 0) {
        answer.assign(configuration_.begin(), configuration_.end());
      } else if (kind == kDescriptorString) {
        answer = StringDescriptor(static_cast<uint8_t>(value));
      }
      // Qualifier, BOS and the rest: a USB 2.0 device without them stalls.
      if (answer.empty()) return {kStatusStall, 0, false};
      break;
    }
    case kGetConfiguration:
      if (!in) return {kStatusStall, 0, false};
      answer = {configuration_value_};
      break;
    case kSetConfiguration:
      if (in || (value != 0 && value != kConfigurationValue)) return {kStatusStall, 0, false};
      configuration_value_ = static_cast<uint8_t>(value);
      return {kStatusOk, 0, false};
    case kGetInterface:
      if (!in || index >= interfaces_.size()) return {kStatusStall, 0, false};
      answer = {0};
      break;
    case kSetInterface:
      // Each interface has its one alternate setting only.
      if (in || value != 0 || index >= interfaces_.size()) return {kStatusStall, 0, false};
      return {kStatusOk, 0, false};
    case kClearFeature:
    case kSetFeature:
      return in ? ControlResult{kStatusStall, 0, false} : ControlResult{kStatusOk, 0, false};
    default:
      return {kStatusStall, 0, false};
  }
  const size_t n = std::min(answer.size(), data.size());
  std::copy_n(answer.begin(), n, data.begin());
  return {kStatusOk, static_cast<uint32_t>(n), false};
}

}  // namespace korvalen::usbip
