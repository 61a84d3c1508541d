#include "sim/SimI2c.h"

#include <algorithm>
#include <cstdio>

namespace korvalen::sim {

SimI2cSlave::SimI2cSlave(uint8_t address8, size_t register_count)
    : address_(address8 & 0xFE), registers_(std::max<size_t>(register_count, 1), 0) {}

bool SimI2cSlave::Ack() {
  if (!acks_left_) return true;
  if (*acks_left_ == 0) return false;
  --*acks_left_;
  return true;
}

bool SimI2cSlave::OnAddress(bool read) {
  if (!Ack()) return false;
  // A write transaction starts with the register number; a read goes on
  // from wherever the pointer stands.
  pointer_pending_ = !read;
  return true;
}

bool SimI2cSlave::OnWrite(uint8_t byte) {
  if (!Ack()) return false;
  if (pointer_pending_) {
    pointer_ = byte;
    pointer_pending_ = false;
  } else {
    registers_[pointer_ % registers_.size()] = byte;
    ++pointer_;
  }
  return true;
}

uint8_t SimI2cSlave::OnRead() {
  const uint8_t value = registers_[pointer_ % registers_.size()];
  ++pointer_;
  return value;
}

void SimI2cSlave::OnStop() { pointer_pending_ = false; }

std::shared_ptr<SimI2cSlave> SimI2cBus::AddSlave(uint8_t address8, size_t register_count) {
  RemoveSlave(address8);
  auto slave = std::make_shared<SimI2cSlave>(address8, register_count);
  slaves_.push_back(slave);
  return slave;
}

void SimI2cBus::RemoveSlave(uint8_t address8) {
  const uint8_t address = address8 & 0xFE;
  if (current_ && current_->address() == address) current_ = nullptr;
  std::erase_if(slaves_, [address](const auto& s) { return s->address() == address; });
}

SimI2cSlave* SimI2cBus::Slave(uint8_t address8) {
  for (const auto& slave : slaves_) {
    if (slave->address() == (address8 & 0xFE)) return slave.get();
  }
  return nullptr;
}

void SimI2cBus::Start() {
  events_.push_back(
      {in_transaction_ ? I2cBusEvent::Kind::kRepeatedStart : I2cBusEvent::Kind::kStart});
  in_transaction_ = true;
  expect_address_ = true;
  reading_ = false;
  current_ = nullptr;
}

bool SimI2cBus::WriteByte(uint8_t byte) {
  bool ack = false;
  if (!in_transaction_) {
    ack = false;  // without a start condition no slave listens
  } else if (expect_address_) {
    expect_address_ = false;
    reading_ = (byte & 1) != 0;
    SimI2cSlave* slave = Slave(byte);
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
  if (in_transaction_ && reading_ && current_ != nullptr) value = current_->OnRead();
  events_.push_back({I2cBusEvent::Kind::kRead, value, master_ack});
  return value;
}

void SimI2cBus::Stop() {
  events_.push_back({I2cBusEvent::Kind::kStop});
  if (current_ != nullptr) current_->OnStop();
  in_transaction_ = false;
  expect_address_ = false;
  reading_ = false;
  current_ = nullptr;
}

void SimI2cBus::Reset() {
  if (current_ != nullptr) current_->OnStop();
  in_transaction_ = false;
  expect_address_ = false;
  reading_ = false;
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
