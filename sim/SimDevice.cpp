#include "sim/SimDevice.h"

#include <algorithm>

#include "link/FlashPassThrough.h"
#include "link/I2cEngine.h"
#include "link/Registers.h"
#include "sim/VirtualClock.h"

namespace korvalen::sim {
namespace {

constexpr uint8_t kRequestTypeMask = 0x60;
constexpr uint8_t kTypeStandard = 0x00;
constexpr uint8_t kTypeVendor = 0x40;
constexpr uint8_t kGetDescriptor = 6;
constexpr uint8_t kDescriptorDevice = 1;
constexpr size_t kDeviceDescriptorSize = 18;
constexpr uint16_t kBcdDevice = 0x0107;

// Bank 0 registers that the firmware owns: host writes leave them alone.
constexpr uint8_t kRegStatusLast = kRegStatus0 + 2;
// Bank 13: the routing that puts the flash on the chip's SPI pins.
constexpr uint8_t kRegRoutingMode = 1;
constexpr uint8_t kRegRoutingPins = 7;
constexpr uint8_t kRoutingModeBits = 0x03;
constexpr uint8_t kRoutingPinsBit = 0x10;
// Bank 14, register 17: bit 2 enables the I2C master (100 kHz).
constexpr uint8_t kI2cEnableBit = 0x04;

bool FirmwareOwned(uint8_t reg) {
  return (reg >= kRegStatus0 && reg <= kRegStatusLast) || reg == kRegFirmwareMajor ||
         reg == kRegFirmwareMinor;
}

std::string TextOf(std::span<const uint8_t> bytes) {
  std::string text;
  for (uint8_t b : bytes) {
    if (b == 0) break;
    text += static_cast<char>(b);
  }
  return text;
}

}  // namespace

std::string MailboxStore::StringText(int which) const {
  const auto& packet = string_packets.at(which);
  const size_t length = std::min<size_t>(packet[0], kStringPacketSize - 1);
  return std::string(packet.begin() + 1, packet.begin() + 1 + length);
}

std::string MailboxStore::VidText() const { return TextOf(vid_text); }
std::string MailboxStore::PidText() const { return TextOf(pid_text); }

SimDevice::SimDevice(korvalen::Clock& clock, const SimIdentity& identity,
                     const FlashModel& flash_model)
    : clock_(&clock),
      identity_(identity),
      flash_(clock, flash_model),
      banks_(256),
      firmware_running_(identity.channel == kAudioDriverChannel) {
  for (auto& bank : banks_) bank.fill(0);
  i2c_.AddSlave(0x20, 256);
  if (firmware_running_) {
    SetFirmwareVersion(1, 7);
    SetStatusRegisters(0x00, 0x00, 0x01);  // USB connected, PCM 44.1 kHz
  }
}

uint8_t SimDevice::PeekRegister(uint8_t bank, uint8_t reg) const {
  if (reg == kRegBankSelect) return current_bank_;
  return banks_[bank][reg];
}

void SimDevice::PokeRegister(uint8_t bank, uint8_t reg, uint8_t value) {
  if (reg == kRegBankSelect) {
    current_bank_ = value;
    return;
  }
  banks_[bank][reg] = value;
}

void SimDevice::SetStatusRegisters(uint8_t r164, uint8_t r165, uint8_t r166) {
  banks_[kBankMailbox][kRegStatus0] = r164;
  banks_[kBankMailbox][kRegStatus0 + 1] = r165;
  banks_[kBankMailbox][kRegStatus0 + 2] = r166;
}

void SimDevice::SetFirmwareVersion(uint8_t major, uint8_t minor) {
  banks_[kBankMailbox][kRegFirmwareMajor] = major;
  banks_[kBankMailbox][kRegFirmwareMinor] = minor;
}

bool SimDevice::FlashRouted() const {
  const auto& routing = banks_[kBankIspRouting];
  return isp_mode_ && (routing[kRegRoutingPins] & kRoutingPinsBit) &&
         (routing[kRegRoutingMode] & kRoutingModeBits) == kRoutingModeBits;
}

void SimDevice::OnAttached() {
  attached_ = true;
  vanished_ = false;
  request_count_ = 0;
  rejected_count_ = 0;
}

void SimDevice::OnDetached() {
  attached_ = false;
  // Power loss: everything volatile starts over; flash cells, the
  // firmware's store and the register contents stay.
  current_bank_ = 0;
  isp_mode_ = false;
  flash_transfer_open_ = false;
  flash_.PowerCycle();
  spi_idle_at_ = 0;
  answer_pending_ = false;
  answer_count_ = 0;
  command_pending_ = false;
  data_written_ = 0;
  i2c_.Reset();
  i2c_done_at_ = 0;
  i2c_nak_ = false;
}

bool SimDevice::HandleIoControl(uint8_t channel,
                                const std::optional<korvalen::DecodedRequest>& request,
                                std::span<uint8_t> data) {
  if (!Present()) return false;  // unplugged: the call fails at once
  const uint64_t n = ++request_count_;
  if (faults_.vanish_from_request && n >= *faults_.vanish_from_request) {
    vanished_ = true;
    return false;
  }
  SpendMicros(*clock_, timing_.request_latency_us);
  if (faults_.reject_request && n == *faults_.reject_request) return false;
  if (faults_.reject_requests.count(n) > 0) return false;
  // Each driver understands only its own envelope.
  if (!request || channel != identity_.channel) return false;
  if (request->kind == korvalen::DecodedRequest::Kind::kPresenceQuery) return true;
  return ControlTransfer(request->setup, data.first(request->length));
}

bool SimDevice::ControlTransfer(const korvalen::SetupPacket& setup, std::span<uint8_t> data) {
  RunFirmware();
  const bool ok = Dispatch(setup, data);
  if (!ok) ++rejected_count_;
  return ok;
}

bool SimDevice::Dispatch(const korvalen::SetupPacket& setup, std::span<uint8_t> data) {
  const uint8_t type = setup.request_type & kRequestTypeMask;
  if (type == kTypeStandard) return StandardRequest(setup, data);
  if (type != kTypeVendor) return false;
  const bool in = (setup.request_type & kDirectionIn) != 0;
  switch (setup.request) {
    case kRequestWriteRegister:
      if (in || data.size() != 1 || setup.index > 0xFF) return false;
      return WriteRegisterRequest(static_cast<uint8_t>(setup.index), data[0]);
    case kRequestReadRegister:
      if (!in || data.size() != 1 || setup.index > 0xFF) return false;
      data[0] = ReadRegisterRequest(static_cast<uint8_t>(setup.index));
      return true;
    case kRequestEnterIsp:
      if (in || !data.empty() || setup.value != kEnterIspValue || setup.index != kEnterIspIndex) {
        return false;
      }
      isp_mode_ = true;
      return true;
    case kRequestLeaveIsp:
      if (in || !data.empty() || setup.value != kLeaveIspValue || setup.index != kLeaveIspIndex) {
        return false;
      }
      LeaveIsp();
      return true;
    case kRequestFlashWrite:
      return !in && FlashWriteRequest(setup.index, data);
    case kRequestFlashCommandRead:
      return !in && FlashCommandRequest(setup.value, setup.index, data);
    case kRequestFlashFetch:
      return in && FlashFetchRequest(data);
    case kRequestFlashReady:
      return in && FlashReadyRequest(data);
    default:
      return false;  // a request the chip does not know stalls
  }
}

bool SimDevice::StandardRequest(const korvalen::SetupPacket& setup, std::span<uint8_t> data) {
  // Only GET_DESCRIPTOR(device): the firmware-update driver's presence probe.
  if (setup.request_type != kDirectionIn || setup.request != kGetDescriptor ||
      (setup.value >> 8) != kDescriptorDevice) {
    return false;
  }
  const uint8_t descriptor[kDeviceDescriptorSize] = {kDeviceDescriptorSize,
                                                     kDescriptorDevice,
                                                     0x00,
                                                     0x02,  // USB 2.0
                                                     0x00,
                                                     0x00,
                                                     0x00,
                                                     64,  // class in interfaces, EP0 64 bytes
                                                     static_cast<uint8_t>(identity_.vid),
                                                     static_cast<uint8_t>(identity_.vid >> 8),
                                                     static_cast<uint8_t>(identity_.pid),
                                                     static_cast<uint8_t>(identity_.pid >> 8),
                                                     static_cast<uint8_t>(kBcdDevice),
                                                     static_cast<uint8_t>(kBcdDevice >> 8),
                                                     1,
                                                     2,
                                                     3,
                                                     1};  // string indexes, one configuration
  std::copy_n(descriptor, std::min(data.size(), kDeviceDescriptorSize), data.begin());
  return true;
}

// --- Registers ---------------------------------------------------------------

bool SimDevice::WriteRegisterRequest(uint8_t reg, uint8_t value) {
  if (reg == kRegBankSelect) {
    current_bank_ = value;
    return true;
  }
  auto& bank = banks_[current_bank_];
  if (current_bank_ == kBankMailbox) {
    if (FirmwareOwned(reg)) return true;  // accepted, not stored
    bank[reg] = value;
    if (reg >= kRegMailboxData) {
      data_written_ = std::max<size_t>(data_written_, reg - kRegMailboxData + 1u);
    }
    if (reg == kRegMailboxCommand && value != 0) {
      command_data_count_ = data_written_;
      data_written_ = 0;
    }
    if (reg == kRegMailboxCommand) {
      // Writing the command register hands a command to the firmware; 0
      // takes a pending one back.
      command_pending_ = value != 0;
      const uint32_t delay =
          value == kMailboxCommandMediaKey ? timing_.media_key_delay_us : timing_.mailbox_delay_us;
      command_due_ = Now() + delay;
    }
    return true;
  }
  if (current_bank_ == kBankI2c) {
    if (reg == kRegI2cControl) {
      I2cControlWrite(value);
      return true;
    }
    bank[reg] = value;
    if (reg == kRegI2cTxData && bank[kRegI2cByteMode] == kI2cByteModeSend) I2cSend(value);
    if (reg == kRegI2cByteMode && value == kI2cByteModeReceive) I2cReceive();
    return true;
  }
  bank[reg] = value;
  if (current_bank_ == kBankIspRouting && !FlashRouted()) EndFlashTransfer();
  return true;
}

uint8_t SimDevice::ReadRegisterRequest(uint8_t reg) {
  if (reg == kRegBankSelect) return current_bank_;
  if (current_bank_ == kBankI2c) {
    const bool done = Now() >= i2c_done_at_;
    if (reg == kRegI2cControl) {
      if (!(banks_[kBankI2c][kRegI2cSetup] & kI2cEnableBit)) return 0;
      return done ? (kI2cStatusDone | (i2c_nak_ ? kI2cStatusNak : 0)) : 0;
    }
    // The receive register shows a received byte once its transfer is done.
    if (reg == kRegI2cRxData && done) banks_[kBankI2c][kRegI2cRxData] = i2c_rx_;
  }
  return banks_[current_bank_][reg];
}

// --- Firmware mailbox --------------------------------------------------------

void SimDevice::RunFirmware() {
  if (!command_pending_ || !firmware_running_ || isp_mode_ || faults_.mailbox_silent) return;
  if (Now() < command_due_) return;
  command_pending_ = false;
  ExecuteMailboxCommand(banks_[kBankMailbox][kRegMailboxCommand]);
}

void SimDevice::ExecuteMailboxCommand(uint8_t command) {
  auto& bank = banks_[kBankMailbox];
  const uint8_t sub = bank[kRegMailboxArgument1];
  const uint8_t index = bank[kRegMailboxArgument2];
  const uint8_t* payload = &bank[kRegMailboxData];
  uint8_t answer = kMailboxDone;
  if (command == kMailboxCommandSettings) {
    mailbox_.received.push_back(
        {sub, index, std::vector<uint8_t>(payload, payload + command_data_count_)});
    switch (sub) {
      case kSubVidText:
        std::copy_n(payload, 4, mailbox_.vid_text.begin());
        break;
      case kSubPidText:
        std::copy_n(payload, 4, mailbox_.pid_text.begin());
        break;
      case kSubString1:
      case kSubString2:
      case kSubString3:
        if (index * kStringChunkSize >= kStringPacketSize) {
          answer = kMailboxRefused;
          break;
        }
        std::copy_n(
            payload, kStringChunkSize,
            mailbox_.string_packets[(sub - kSubString1) / 4].begin() + index * kStringChunkSize);
        break;
      case kSubSettingsWrite:
        std::copy_n(payload, 4, mailbox_.settings.begin());
        break;
      case kSubSettingsRead:
        std::copy_n(mailbox_.settings.begin(), 4, &bank[kRegMailboxData]);
        break;
      default:
        answer = kMailboxRefused;
        break;
    }
  } else if (command == kMailboxCommandMediaKey) {
    mailbox_.media_keys.push_back(sub);
    answer = kMailboxMediaKeyDone;
  } else {
    answer = kMailboxRefused;
  }
  bank[kRegMailboxCommand] = answer;
  ++mailbox_.commands_done;
}

std::shared_ptr<SimDevice> MakeSimDevice(korvalen::Clock& clock, const SimIdentity& identity,
                                         std::string_view flash_model) {
  const FlashModel* model = FindFlashModel(flash_model);
  if (model == nullptr) return nullptr;
  return std::make_shared<SimDevice>(clock, identity, *model);
}

}  // namespace korvalen::sim
