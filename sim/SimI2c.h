// The device's I2C bus: register-addressed slaves (first byte of a write sets
// the register pointer, further bytes are written from there on, reads
// continue from the pointer), repeated start, an ACK or NAK for every byte,
// and slaves that stop acknowledging. The chip's I2C master controller
// (SimDevice, bank 14) drives the bus through Start/WriteByte/ReadByte/Stop.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace korvalen::sim {

class SimI2cSlave {
 public:
  // address8 is the 8-bit address with bit 0 clear (0x20 = 7-bit 0x10).
  explicit SimI2cSlave(uint8_t address8, size_t register_count = 256);

  uint8_t address() const { return address_; }
  uint8_t Register(size_t reg) const { return registers_.at(reg); }
  void SetRegister(size_t reg, uint8_t value) { registers_.at(reg) = value; }
  std::span<const uint8_t> registers() const { return registers_; }
  uint8_t pointer() const { return pointer_; }

  // Faults: after `bytes` more acknowledged bytes (address bytes included)
  // the slave NAKs every byte, its address too; 0 = from now on.
  void StopAcknowledgingAfter(uint32_t bytes) { acks_left_ = bytes; }
  void NeverAcknowledge() { acks_left_ = 0; }
  void AcknowledgeAgain() { acks_left_.reset(); }

  // Bus side. Each returns whether the slave acknowledged.
  bool OnAddress(bool read);
  bool OnWrite(uint8_t byte);
  // The byte the slave drives for a read (0xFF when it does not take part).
  uint8_t OnRead();
  void OnStop();

 private:
  bool Ack();

  uint8_t address_;
  std::vector<uint8_t> registers_;
  std::optional<uint32_t> acks_left_;
  uint8_t pointer_ = 0;
  bool pointer_pending_ = false;  // the next written byte is the register number
};

struct I2cBusEvent {
  enum class Kind { kStart, kRepeatedStart, kStop, kWrite, kRead };
  Kind kind;
  uint8_t byte = 0;  // kWrite: the byte sent; kRead: the byte received
  bool ack = false;  // kWrite: the slave acknowledged; kRead: the master did
};

class SimI2cBus {
 public:
  // Adds (or replaces) the slave at address8 and returns it.
  std::shared_ptr<SimI2cSlave> AddSlave(uint8_t address8, size_t register_count = 256);
  void RemoveSlave(uint8_t address8);
  // The slave at address8 (bit 0 ignored), or nullptr.
  SimI2cSlave* Slave(uint8_t address8);

  // Master side. A Start while a transaction runs is a repeated start.
  void Start();
  // Returns the acknowledge: true when an addressed slave acknowledged.
  bool WriteByte(uint8_t byte);
  // master_ack: the master acknowledges (more bytes follow) or not.
  uint8_t ReadByte(bool master_ack);
  void Stop();
  bool busy() const { return in_transaction_; }

  // Everything that happened on the bus, and a compact text of it for tests:
  // "S 20+ 05+ Sr 21+ r12+ r34- P" (+ = ACK, - = NAK, r = byte read).
  const std::vector<I2cBusEvent>& events() const { return events_; }
  std::string Trace() const;
  void ClearEvents() { events_.clear(); }

  void Reset();  // power loss: ends any transaction

 private:
  std::vector<std::shared_ptr<SimI2cSlave>> slaves_;
  std::vector<I2cBusEvent> events_;
  bool in_transaction_ = false;
  bool expect_address_ = false;
  bool reading_ = false;
  SimI2cSlave* current_ = nullptr;
};

}  // namespace korvalen::sim
