// The device's I2C bus and the slaves on it. The chip's I2C master
// controller (SimDevice, bank 14) drives the bus through
// Start/WriteByte/ReadByte/Stop; the bus hands each byte to the addressed
// slave the way the wires would: the address byte with its read/write bit,
// an ACK or NAK for every byte written, repeated starts, and a slave that
// lets go of the bus once the master does not acknowledge a byte it read.
//
// Two kinds of slave:
//  - SimI2cSlave, register-addressed: the first byte of a write sets the
//    register pointer, further bytes are written from there on, reads
//    continue from the pointer. Registers can be read-only or have bits
//    that ignore writes.
//  - SimI2cCommandSlave, command-coded: the first byte of a write is a
//    command code, the bytes after it are that command's data; a read
//    answers the data of the last command code written.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace korvalen::sim {

// What every slave shares: its address and its acknowledge faults.
class SimI2cDevice {
 public:
  // address8 is the 8-bit address with bit 0 clear (0x20 = 7-bit 0x10).
  explicit SimI2cDevice(uint8_t address8) : address_(address8 & 0xFE) {}
  virtual ~SimI2cDevice() = default;
  SimI2cDevice(const SimI2cDevice&) = delete;
  SimI2cDevice& operator=(const SimI2cDevice&) = delete;

  uint8_t address() const { return address_; }

  // Faults: after `bytes` more acknowledged bytes (address bytes included)
  // the slave NAKs every byte, its address too; 0 = from now on.
  void StopAcknowledgingAfter(uint32_t bytes) { acks_left_ = bytes; }
  void NeverAcknowledge() { acks_left_ = 0; }
  void AcknowledgeAgain() { acks_left_.reset(); }

  // Bus side. Each returns whether the slave acknowledged; a slave that
  // does not acknowledge its address takes no part in the transfer.
  bool OnAddress(bool read);
  bool OnWrite(uint8_t byte);
  // The byte the slave drives for a read.
  uint8_t OnRead() { return Transmit(); }
  void OnStop() { Stopped(); }

 protected:
  // Addressed for writing (read false) or reading, after a start or a
  // repeated start.
  virtual void Addressed(bool read) = 0;
  // A data byte written to the slave; false = the slave refuses it (NAK).
  virtual bool Received(uint8_t byte) = 0;
  virtual uint8_t Transmit() = 0;
  virtual void Stopped() {}

 private:
  bool Ack();

  uint8_t address_;
  std::optional<uint32_t> acks_left_;
};

// A register-addressed slave such as a DAC's control port.
class SimI2cSlave : public SimI2cDevice {
 public:
  explicit SimI2cSlave(uint8_t address8, size_t register_count = 256);

  uint8_t Register(size_t reg) const { return registers_.at(reg); }
  // Sets the content directly, whatever the register's write mask.
  void SetRegister(size_t reg, uint8_t value) { registers_.at(reg) = value; }
  std::span<const uint8_t> registers() const { return registers_; }
  uint8_t pointer() const { return pointer_; }

  // Bits of `reg` that a write over the bus changes; the other bits keep
  // their content. 0xFF (the default) = fully writable, 0x00 = read-only.
  void SetWritableBits(size_t reg, uint8_t mask) { writable_.at(reg) = mask; }
  uint8_t WritableBits(size_t reg) const { return writable_.at(reg); }

 protected:
  void Addressed(bool read) override;
  bool Received(uint8_t byte) override;
  uint8_t Transmit() override;
  void Stopped() override { pointer_pending_ = false; }

 private:
  std::vector<uint8_t> registers_;
  std::vector<uint8_t> writable_;
  uint8_t pointer_ = 0;
  bool pointer_pending_ = false;  // the next written byte is the register number
};

// A command-coded slave such as a power or clock controller: each command
// code holds up to kCommandDataSize bytes of data. A write of a code and
// data stores the data from its first byte on (bytes past the command's size
// are refused); a read returns the data of the code written last, and 0xFF
// once the command's data is used up.
class SimI2cCommandSlave : public SimI2cDevice {
 public:
  static constexpr size_t kCommandDataSize = 8;
  using CommandData = std::array<uint8_t, kCommandDataSize>;

  explicit SimI2cCommandSlave(uint8_t address8);

  const CommandData& Data(uint8_t code) const { return data_[code]; }
  void SetData(uint8_t code, std::span<const uint8_t> bytes);
  // A read-only code refuses data written to it (identification codes).
  void SetReadOnly(uint8_t code, bool read_only = true) { read_only_[code] = read_only; }
  uint8_t command() const { return command_; }

  // Every write transaction the slave took part in, command code first,
  // bytes it refused included, in order.
  const std::vector<std::vector<uint8_t>>& writes() const { return writes_; }
  void ClearWrites() { writes_.clear(); }

 protected:
  void Addressed(bool read) override;
  bool Received(uint8_t byte) override;
  uint8_t Transmit() override;

 private:
  std::array<CommandData, 256> data_{};
  std::array<bool, 256> read_only_{};
  std::vector<std::vector<uint8_t>> writes_;
  uint8_t command_ = 0;
  bool command_pending_ = false;  // the next written byte is a command code
  size_t offset_ = 0;             // next data byte of the command, written or read
};

struct I2cBusEvent {
  enum class Kind { kStart, kRepeatedStart, kStop, kWrite, kRead };
  Kind kind;
  uint8_t byte = 0;  // kWrite: the byte sent; kRead: the byte received
  bool ack = false;  // kWrite: the slave acknowledged; kRead: the master did
};

class SimI2cBus {
 public:
  // Adds (or replaces) a register-addressed slave at address8 and returns it.
  std::shared_ptr<SimI2cSlave> AddSlave(uint8_t address8, size_t register_count = 256);
  // Adds (or replaces) any slave at its address.
  void Attach(std::shared_ptr<SimI2cDevice> slave);
  void RemoveSlave(uint8_t address8);
  // The slave at address8 (bit 0 ignored), or nullptr. Slave() finds only
  // register-addressed slaves, Device() any kind.
  SimI2cSlave* Slave(uint8_t address8);
  SimI2cDevice* Device(uint8_t address8);

  // Master side. A Start while a transaction runs is a repeated start.
  void Start();
  // Returns the acknowledge: true when an addressed slave acknowledged.
  bool WriteByte(uint8_t byte);
  // master_ack: the master acknowledges (more bytes follow) or not; after a
  // byte it did not acknowledge the slave lets go of the bus until the next
  // start, and further reads see the pull-ups (0xFF).
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
  std::vector<std::shared_ptr<SimI2cDevice>> slaves_;
  std::vector<I2cBusEvent> events_;
  bool in_transaction_ = false;
  bool expect_address_ = false;
  bool reading_ = false;
  bool released_ = false;  // the master did not acknowledge the last byte read
  SimI2cDevice* current_ = nullptr;
};

// The slaves of the devices' board: the DAC's register port at 0x20 (256
// registers; 0x00 and 0x01 identify the chip and 0x0F reports its status,
// all read-only; bit 7 of 0x02 is the clock-lock flag, which writes leave
// alone) and a command-coded controller at 0x60 (code 0x99 answers its
// identification, read-only). Replaces whatever sits at those addresses.
inline constexpr uint8_t kBoardDacAddress = 0x20;
inline constexpr uint8_t kBoardControllerAddress = 0x60;
void AddBoardI2cSlaves(SimI2cBus& bus);

}  // namespace korvalen::sim
