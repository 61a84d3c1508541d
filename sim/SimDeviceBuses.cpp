// The chip's two buses as the host drives them: the I2C master controller
// of bank 14 and the serial-flash pass-through (requests 0x80 to 0x83).
#include <algorithm>

#include "link/FlashPassThrough.h"
#include "link/I2cEngine.h"
#include "link/Registers.h"
#include "sim/SimDevice.h"
#include "sim/VirtualClock.h"

namespace korvalen::sim {
namespace {

// Bank 14, register 17: bit 2 enables the I2C master (100 kHz).
constexpr uint8_t kI2cEnableBit = 0x04;
// MOSI while the pass-through clocks an answer in.
constexpr uint8_t kSpiIdleByte = 0xFF;

}  // namespace

// --- I2C master controller ---------------------------------------------------

void SimDevice::I2cControlWrite(uint8_t value) {
  if (!(banks_[kBankI2c][kRegI2cSetup] & kI2cEnableBit)) return;
  switch (value) {
    case kI2cControlStart:
      i2c_.Start();
      i2c_nak_ = false;
      i2c_done_at_ = Now() + timing_.i2c_condition_us;
      break;
    case kI2cControlStop:
      i2c_.Stop();
      i2c_nak_ = false;
      i2c_done_at_ = Now() + timing_.i2c_condition_us;
      break;
    case kI2cControlReceiveAck:
    case kI2cControlReceiveNak:
      // Arms the next receive; it starts when the byte mode is set to 3.
      i2c_receive_ack_ = value == kI2cControlReceiveAck;
      break;
    default:
      break;
  }
}

void SimDevice::I2cSend(uint8_t byte) {
  if (!(banks_[kBankI2c][kRegI2cSetup] & kI2cEnableBit)) return;
  i2c_nak_ = !i2c_.WriteByte(byte);
  i2c_done_at_ = Now() + timing_.i2c_byte_us;
}

void SimDevice::I2cReceive() {
  if (!(banks_[kBankI2c][kRegI2cSetup] & kI2cEnableBit)) return;
  i2c_rx_ = i2c_.ReadByte(i2c_receive_ack_);
  i2c_nak_ = false;
  i2c_done_at_ = Now() + timing_.i2c_byte_us;
}

// --- Flash pass-through ------------------------------------------------------

void SimDevice::LeaveIsp() {
  EndFlashTransfer();
  isp_mode_ = false;
  answer_pending_ = false;
}

void SimDevice::EndFlashTransfer() {
  if (flash_transfer_open_) flash_.Deselect();  // chip select high: the flash executes
  flash_transfer_open_ = false;
}

void SimDevice::WaitSpiEngine() {
  // The chip holds a pass-through request off (NAKs it) until its SPI engine
  // has shifted the previous one.
  const uint64_t now = Now();
  if (now < spi_idle_at_) SpendMicros(*clock_, spi_idle_at_ - now);
}

bool SimDevice::FlashWriteRequest(uint16_t index, std::span<const uint8_t> data) {
  if (!isp_mode_) return false;
  if (index != kFlashTransferEnd && index != kFlashTransferContinue) return false;
  WaitSpiEngine();
  if (FlashRouted()) {
    if (!flash_transfer_open_) {
      flash_.Select();
      flash_transfer_open_ = true;
    }
    for (uint8_t b : data) flash_.Exchange(b);
    if (index == kFlashTransferEnd) EndFlashTransfer();
  }
  spi_idle_at_ = Now() + timing_.spi_setup_us + uint64_t{timing_.spi_byte_us} * data.size();
  return true;
}

bool SimDevice::FlashCommandRequest(uint16_t value, uint16_t index, std::span<const uint8_t> data) {
  if (!isp_mode_ || index != kFlashTransferEnd || value > answer_.size()) return false;
  WaitSpiEngine();
  if (FlashRouted()) {
    if (!flash_transfer_open_) {
      flash_.Select();
      flash_transfer_open_ = true;
    }
    for (uint8_t b : data) flash_.Exchange(b);
    for (uint16_t k = 0; k < value; ++k) answer_[k] = flash_.Exchange(kSpiIdleByte);
    EndFlashTransfer();
  } else {
    std::fill_n(answer_.begin(), value, 0xFF);  // nothing drives MISO: pulled high
  }
  answer_hung_ = false;
  if (faults_.unready_reads > 0 && data.size() >= 4 && data[0] == kOpRead &&
      ((uint32_t{data[1]} << 16) | (uint32_t{data[2]} << 8) | data[3]) ==
          faults_.unready_read_address) {
    --faults_.unready_reads;
    answer_hung_ = true;
  }
  answer_count_ = value;
  answer_start_ = Now() + timing_.spi_setup_us + uint64_t{timing_.spi_byte_us} * data.size();
  answer_pending_ = true;
  spi_idle_at_ = answer_start_ + uint64_t{timing_.spi_byte_us} * value;
  return true;
}

bool SimDevice::FlashReadyRequest(std::span<uint8_t> data) {
  if (!isp_mode_ || data.empty()) return false;
  std::fill(data.begin(), data.end(), 0);
  data[0] = !answer_hung_ && Now() >= spi_idle_at_ ? 1 : 0;
  return true;
}

bool SimDevice::FlashFetchRequest(std::span<uint8_t> data) {
  if (!isp_mode_ || data.size() > answer_buffer_.size()) return false;
  if (answer_pending_) {
    // The answer bytes arrive one by one; a fetch before the end hands over
    // the bytes that are in and, past them, what the buffer held before.
    const uint64_t now = Now();
    uint64_t arrived = 0;
    if (now >= answer_start_) {
      arrived =
          timing_.spi_byte_us == 0 ? answer_count_ : (now - answer_start_) / timing_.spi_byte_us;
    }
    arrived = std::min<uint64_t>(arrived, answer_count_);
    std::copy_n(answer_.begin(), arrived, answer_buffer_.begin());
    if (arrived == answer_count_) answer_pending_ = false;
  }
  std::copy_n(answer_buffer_.begin(), data.size(), data.begin());
  return true;
}

}  // namespace korvalen::sim
