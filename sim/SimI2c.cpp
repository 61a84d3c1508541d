#include "sim/SimI2c.h"

#include <algorithm>
#include <cstdio>
#include <utility>

namespace korvalen::sim {

bool SimI2cDevice::Ack() {
  if (!acks_left_) return true;
  if (*acks_left_ == 0) return false;
  --*acks_left_;
  return true;
}

bool SimI2cDevice::OnAddress(bool read) {
  if (!Ack()) return false;
  Addressed(read);
  return true;
}

bool SimI2cDevice::OnWrite(uint8_t byte) { return Ack() && Received(byte); }

SimI2cSlave::SimI2cSlave(uint8_t address8, size_t register_count)
    : SimI2cDevice(address8),
      registers_(std::max<size_t>(register_count, 1), 0),
      writable_(registers_.size(), 0xFF) {}

void SimI2cSlave::Addressed(bool read) {
  // A write transaction starts with the register number; a read goes on
  // from wherever the pointer stands.
  pointer_pending_ = !read;
}

bool SimI2cSlave::Received(uint8_t byte) {
  if (pointer_pending_) {
    pointer_ = byte;
    pointer_pending_ = false;
    return true;
  }
  const size_t reg = pointer_ % registers_.size();
  registers_[reg] = static_cast<uint8_t>((registers_[reg] & ~writable_[reg]) |
                                         (byte & writable_[reg]));
  ++pointer_;
  return true;  // like most parts, a read-only register still acknowledges
}

uint8_t SimI2cSlave::Transmit() {
  const uint8_t value = registers_[pointer_ % registers_.size()];
  ++pointer_;
  return value;
}

SimI2cCommandSlave::SimI2cCommandSlave(uint8_t address8) : SimI2cDevice(address8) {
  for (auto& data : data_) data.fill(0xFF);
}

void SimI2cCommandSlave::SetData(uint8_t code, std::span<const uint8_t> bytes) {
  CommandData& data = data_[code];
  data.fill(0xFF);
  std::copy_n(bytes.begin(), std::min(bytes.size(), data.size()), data.begin());
}

void SimI2cCommandSlave::Addressed(bool read) {
  offset_ = 0;
  command_pending_ = !read;
  if (!read) writes_.emplace_back();
}

bool SimI2cCommandSlave::Received(uint8_t byte) {
  if (!writes_.empty()) writes_.back().push_back(byte);
  if (command_pending_) {
    command_ = byte;
    command_pending_ = false;
    return true;
  }
  if (read_only_[command_] || offset_ >= kCommandDataSize) return false;
  data_[command_][offset_++] = byte;
  return true;
}

uint8_t SimI2cCommandSlave::Transmit() {
  if (offset_ >= kCommandDataSize) return 0xFF;
  return data_[command_][offset_++];
}

std::shared_ptr<SimI2cSlave> SimI2cBus::AddSlave(uint8_t address8, size_t register_count) {
  auto slave = std::make_shared<SimI2cSlave>(address8, register_count);
  Attach(slave);
  return slave;
}

void SimI2cBus::Attach(std::shared_ptr<SimI2cDevice> slave) {
  RemoveSlave(slave->address());
  slaves_.push_back(std::move(slave));
}

void SimI2cBus::RemoveSlave(uint8_t address8) {
  const uint8_t address = address8 & 0xFE;
  if (current_ && current_->address() == address) current_ = nullptr;
  std::erase_if(slaves_, [address](const auto& s) { return s->address() == address; });
}

SimI2cDevice* SimI2cBus::Device(uint8_t address8) {
  for (const auto& slave : slaves_) {
    if (slave->address() == (address8 & 0xFE)) return slave.get();
  }
  return nullptr;
}

SimI2cSlave* SimI2cBus::Slave(uint8_t address8) {
  return dynamic_cast<SimI2cSlave*>(Device(address8));
}

void SimI2cBus::Start() {
  events_.push_back(
      {in_transaction_ ? I2cBusEvent::Kind::kRepeatedStart : I2cBusEvent::Kind::kStart});
  in_transaction_ = true;
  expect_address_ = true;
  reading_ = false;
  released_ = false;
  current_ = nullptr;
}

bool SimI2cBus::WriteByte(uint8_t byte) {
  bool ack = false;
  if (!in_transaction_) {
    ack = false;  // without a start condition no slave listens
  } else if (expect_address_) {
    expect_address_ = false;
    reading_ = (byte & 1) != 0;
    SimI2cDevice* slave = Device(byte);
    ack = slave != nullptr && slave->OnAddress(reading_);
    current_ = ack ? slave : nullptr;
  } else if (!reading_ && current_ != nullptr) {
    ack = current_->OnWrite(byte);
  }
  events_.push_back({I2cBusEvent::Kind::kWrite, byte, ack});
  return ack;
}

uint8_t SimI2cBus::ReadByte(bool master_ack) {
  // With no slave driving the bus the pull-ups read as 0xFF.
  uint8_t value = 0xFF;
  if (in_transaction_ && reading_ && current_ != nullptr && !released_) value = current_->OnRead();
  // Without the master's acknowledge the slave stops driving the bus.
  if (!master_ack) released_ = true;
  events_.push_back({I2cBusEvent::Kind::kRead, value, master_ack});
  return value;
}

void SimI2cBus::Stop() {
  events_.push_back({I2cBusEvent::Kind::kStop});
  if (current_ != nullptr) current_->OnStop();
  in_transaction_ = false;
  expect_address_ = false;
  reading_ = false;
  released_ = false;
  current_ = nullptr;
}

void SimI2cBus::Reset() {
  if (current_ != nullptr) current_->OnStop();
  in_transaction_ = false;
  expect_address_ = false;
  reading_ = false;
  released_ = false;
  current_ = nullptr;
}

std::string SimI2cBus::Trace() const {
  std::string text;
  char item[8];
  for (const I2cBusEvent& e : events_) {
    if (!text.empty()) text += ' ';
    switch (e.kind) {
      case I2cBusEvent::Kind::kStart:
        text += "S";
        break;
      case I2cBusEvent::Kind::kRepeatedStart:
        text += "Sr";
        break;
      case I2cBusEvent::Kind::kStop:
        text += "P";
        break;
      case I2cBusEvent::Kind::kWrite:
        std::snprintf(item, sizeof item, "%02X%c", e.byte, e.ack ? '+' : '-');
        text += item;
        break;
      case I2cBusEvent::Kind::kRead:
        std::snprintf(item, sizeof item, "r%02X%c", e.byte, e.ack ? '+' : '-');
        text += item;
        break;
    }
  }
  return text;
}

}  // namespace korvalen::sim
