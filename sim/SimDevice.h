// One simulated device: the USB audio controller chip with its registers,
// ISP mode and flash pass-through, the firmware's register mailbox, an SPI
// NOR flash and an I2C bus, presenting one identity. SimDriver puts devices
// behind the driver seam; tests reach into a device through the accessors
// below (flash contents, registers, mailbox store, faults).
//
// Request handling (what a real chip does):
//  - 0x90/0x91 write/read a register (wIndex, one data byte); register 0 of
//    every bank selects the bank. Bank 0: mailbox 144..255, status 164..166
//    and version 174/175 (firmware-owned, host writes ignored). Bank 13:
//    pin routing (reg 7 bit 4 and reg 1 bits 0-1 route the flash). Bank 14:
//    the I2C master controller, registers 16..20.
//  - 0x84/0x85 enter/leave ISP mode, only with their exact wValue/wIndex and
//    no data; otherwise rejected.
//  - 0x80..0x83 the flash pass-through, only in ISP mode (rejected outside);
//    with the routing not set the flash is not connected (answers 0xFF).
//  - Any other request is rejected (the transfer fails).
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "link/Clock.h"
#include "link/RequestRecord.h"
#include "sim/FlashModels.h"
#include "sim/SimFlash.h"
#include "sim/SimI2c.h"
#include "sim/SimIdentity.h"

namespace korvalen::sim {

// Times of the device besides the flash's own (FlashModel). Microseconds.
struct SimTiming {
  // Every I/O-control call to the device spends this much device time first
  // (a USB 2.0 control transfer takes roughly 125 us to 1 ms).
  uint32_t request_latency_us = 250;
  // The pass-through's SPI engine: a command with answer is ready this long
  // after it was received (about 1 MHz SPI: 8 us per byte plus set-up), so
  // a status byte is ready at the first poll and a 64-byte read is not.
  uint32_t spi_setup_us = 50;
  uint32_t spi_byte_us = 8;
  // The firmware answers a mailbox command (0x10) with 0xEE this much later.
  uint32_t mailbox_delay_us = 15000;
  // The firmware answers the media-key command (0x30) with 0x31 this much later.
  uint32_t media_key_delay_us = 5000;
  // The I2C master controller at 100 kHz: a byte with its acknowledge takes
  // 9 bit times; a start or stop condition takes one.
  uint32_t i2c_byte_us = 90;
  uint32_t i2c_condition_us = 10;
};

// Mailbox commands and codes of the firmware.
inline constexpr uint8_t kMailboxCommandSettings = 0x10;
inline constexpr uint8_t kMailboxCommandMediaKey = 0x30;
inline constexpr uint8_t kMailboxMediaKeyDone = 0x31;
// The firmware's answer to a command or sub-command it does not know.
inline constexpr uint8_t kMailboxRefused = 0xEF;
inline constexpr uint8_t kSubVidText = 0x08;
inline constexpr uint8_t kSubPidText = 0x0A;
inline constexpr uint8_t kSubString1 = 0x10;  // manufacturer
inline constexpr uint8_t kSubString2 = 0x14;  // model name
inline constexpr uint8_t kSubString3 = 0x18;  // serial number
inline constexpr uint8_t kSubSettingsWrite = 0x20;
inline constexpr uint8_t kSubSettingsRead = 0x21;
inline constexpr size_t kStringPacketSize = 32;  // 4 chunks of 8 bytes
inline constexpr size_t kStringChunkSize = 8;

// One settings command (0x10) as the firmware received it: its sub-command,
// its index, and the data bytes the host wrote to registers 147 onward
// before the command code (none for a fetching sub-command).
struct MailboxExchange {
  uint8_t sub = 0;
  uint8_t index = 0;
  std::vector<uint8_t> data;
};

// What the firmware keeps (its settings storage), inspectable and settable.
struct MailboxStore {
  std::array<uint8_t, 4> vid_text{};  // sub-command 0x08, the characters as sent
  std::array<uint8_t, 4> pid_text{};  // sub-command 0x0A
  // Sub-commands 0x10/0x14/0x18: the 32-byte string packets (length byte,
  // characters), assembled from their 8-byte chunks.
  std::array<std::array<uint8_t, kStringPacketSize>, 3> string_packets{};
  std::array<uint8_t, 4> settings{0xA1, 0x00, 0x00, 0x80};  // sub-commands 0x20/0x21
  std::vector<uint8_t> media_keys;                          // codes of the 0x30 commands, in order
  std::vector<MailboxExchange> received;  // every settings command answered, in order
  uint32_t commands_done = 0;  // commands answered (0xEE, 0x31 or refused)

  // String which (0, 1, 2) as its packet says: length byte (at most 31), text.
  std::string StringText(int which) const;
  std::string VidText() const;  // the four characters, up to the first zero
  std::string PidText() const;
};

// Faults of the chip and its firmware. Request numbers count I/O-control
// calls that reach the device, from 1 after it was attached.
struct SimFaults {
  std::optional<uint64_t> reject_request;       // that request fails, once
  std::set<uint64_t> reject_requests;           // each of these fails, once
  std::optional<uint64_t> vanish_from_request;  // from that request on the device is gone
  bool mailbox_silent = false;                  // the firmware never answers the mailbox
  // The next unready_reads flash data reads (0x03) at unready_read_address
  // never report their answer ready (the SPI engine hangs on them).
  uint32_t unready_read_address = 0;
  uint32_t unready_reads = 0;
};

class SimDevice {
 public:
  // The clock must outlive the device. The device starts with erased flash,
  // bank 0 selected, ISP mode off, firmware running when the identity is a
  // model (a firmware-update identity is the chip's loader: no firmware, the
  // mailbox never answers and the version reads 0.0), one 256-register
  // I2C slave at 0x20.
  SimDevice(korvalen::Clock& clock, const SimIdentity& identity, const FlashModel& flash_model);
  SimDevice(const SimDevice&) = delete;
  SimDevice& operator=(const SimDevice&) = delete;

  const SimIdentity& identity() const { return identity_; }
  // Takes effect at the next enumeration; detach and attach around it to
  // model a re-enumeration.
  void SetIdentity(const SimIdentity& identity) { identity_ = identity; }
  korvalen::Clock& clock() { return *clock_; }

  SimTiming& timing() { return timing_; }
  SimFaults& faults() { return faults_; }
  SimFlash& flash() { return flash_; }
  SimI2cBus& i2c() { return i2c_; }
  MailboxStore& mailbox() { return mailbox_; }

  // Registers, bypassing request handling and side effects.
  uint8_t PeekRegister(uint8_t bank, uint8_t reg) const;
  void PokeRegister(uint8_t bank, uint8_t reg, uint8_t value);
  uint8_t CurrentBank() const { return current_bank_; }
  void SetStatusRegisters(uint8_t r164, uint8_t r165, uint8_t r166);
  void SetFirmwareVersion(uint8_t major, uint8_t minor);
  bool FirmwareRunning() const { return firmware_running_; }
  void SetFirmwareRunning(bool running) { firmware_running_ = running; }

  bool IspMode() const { return isp_mode_; }
  // ISP mode and the bank 13 routing both set: the flash is on the pins.
  bool FlashRouted() const;

  // --- Request entry (SimDriver). channel is the envelope the request came
  // in (kAudioDriverChannel for IOCTL_KS_PROPERTY); request is nullopt when
  // the shared decoder refused it. data is the caller's data block. Counts
  // the request, applies the latency and the faults. False = rejected.
  bool HandleIoControl(uint8_t channel, const std::optional<korvalen::DecodedRequest>& request,
                       std::span<uint8_t> data);
  // One control transfer straight to the chip: no envelope, no counting, no
  // latency, no request faults (for unit tests of the chip itself).
  bool ControlTransfer(const korvalen::SetupPacket& setup, std::span<uint8_t> data);

  // Presence as the driver sees it: attached and not vanished.
  bool Present() const { return attached_ && !vanished_; }
  uint64_t RequestCount() const { return request_count_; }
  // Requests rejected by the chip since attach (not those failed by faults).
  uint64_t RejectedCount() const { return rejected_count_; }

  // Called by SimDriver. Attach restarts the request count and brings a
  // vanished device back; Detach is a power loss (volatile state reset,
  // flash contents, mailbox store and registers that tests set are kept).
  void OnAttached();
  void OnDetached();

 private:
  bool Dispatch(const korvalen::SetupPacket& setup, std::span<uint8_t> data);
  bool StandardRequest(const korvalen::SetupPacket& setup, std::span<uint8_t> data);
  bool WriteRegisterRequest(uint8_t reg, uint8_t value);
  uint8_t ReadRegisterRequest(uint8_t reg);
  bool FlashWriteRequest(uint16_t index, std::span<const uint8_t> data);
  bool FlashCommandRequest(uint16_t value, uint16_t index, std::span<const uint8_t> data);
  bool FlashReadyRequest(std::span<uint8_t> data);
  bool FlashFetchRequest(std::span<uint8_t> data);
  void WaitSpiEngine();
  void EndFlashTransfer();
  void LeaveIsp();
  void RunFirmware();
  void ExecuteMailboxCommand(uint8_t command);
  void I2cControlWrite(uint8_t value);
  void I2cSend(uint8_t byte);
  void I2cReceive();
  uint64_t Now() { return clock_->NowMicros(); }

  korvalen::Clock* clock_;
  SimIdentity identity_;
  SimTiming timing_;
  SimFaults faults_;
  SimFlash flash_;
  SimI2cBus i2c_;
  MailboxStore mailbox_;

  std::vector<std::array<uint8_t, 256>> banks_;
  uint8_t current_bank_ = 0;
  bool firmware_running_ = true;
  bool isp_mode_ = false;

  // Pass-through: the open flash transfer and the one pending answer.
  bool flash_transfer_open_ = false;
  uint64_t spi_idle_at_ = 0;  // the SPI engine has shifted everything by then
  std::array<uint8_t, 256> answer_{};
  uint32_t answer_count_ = 0;
  uint64_t answer_start_ = 0;  // when the first answer byte starts shifting in
  bool answer_pending_ = false;
  bool answer_hung_ = false;  // the pending answer never becomes ready (a fault)
  std::array<uint8_t, 256> answer_buffer_{};  // what a fetch returns

  // Firmware: the command in register 144 and when it is answered.
  bool command_pending_ = false;
  // Data registers the host wrote since the last command: the count runs to
  // the highest one written, as the firmware sees the data a command carries.
  size_t data_written_ = 0;
  size_t command_data_count_ = 0;
  uint64_t command_due_ = 0;

  // I2C master controller (bank 14).
  uint64_t i2c_done_at_ = 0;
  bool i2c_nak_ = false;
  uint8_t i2c_rx_ = 0xFF;
  bool i2c_receive_ack_ = true;

  bool attached_ = false;
  bool vanished_ = false;
  uint64_t request_count_ = 0;
  uint64_t rejected_count_ = 0;
};

// A device with this identity and the flash row of this name; nullptr when
// no row has that name. Use FlashModels() / kFlash... for the names.
std::shared_ptr<SimDevice> MakeSimDevice(korvalen::Clock& clock, const SimIdentity& identity,
                                         std::string_view flash_model = kDefaultFlashModel);

}  // namespace korvalen::sim
