#include "link/I2cEngine.h"

#include "link/Registers.h"

namespace korvalen {
namespace {

constexpr uint8_t kI2cReadBit = 0x01;
// A status read that never arrives must not pass for an acknowledge.
constexpr uint8_t kStatusUnread = 0xFF;

// Bounded wait for the controller's byte-finished bit. A byte that never
// finishes is treated as finished: the next read shows what happened.
void WaitByteDone(NorvaneUsb& link) {
  for (int poll = 0; poll < kI2cDonePolls; ++poll) {
    uint8_t status = 0;
    ReadRegister(link, kRegI2cControl, &status);
    if ((status & kI2cStatusDone) != 0) return;
  }
}

// Start condition and address byte, up to ten times; the slave may be busy
// for a moment (an EEPROM finishing a write, for one). A slave that never
// answers gets a stop so the bus is released.
bool Address(NorvaneUsb& link, uint8_t address_byte) {
  for (int attempt = 0; attempt < kI2cAddressAttempts; ++attempt) {
    I2cStart(link);
    if (I2cWriteByte(link, address_byte)) return true;
  }
  I2cStop(link);
  return false;
}

void WriteBytes(NorvaneUsb& link, uint8_t count, const uint8_t* bytes) {
  // The slave's acknowledge of these bytes does not stop the transfer.
  for (uint8_t k = 0; k < count; ++k) I2cWriteByte(link, bytes[k]);
}

void ReadBytes(NorvaneUsb& link, uint8_t count, uint8_t* buffer) {
  // Every byte but the last is acknowledged, so the slave knows when to stop.
  for (uint8_t k = 0; k < count; ++k) I2cReadByte(link, k + 1 == count, &buffer[k]);
}

bool Refused(uint8_t count, const void* bytes) { return count > 0 && bytes == nullptr; }

}  // namespace

void I2cSetup(NorvaneUsb& link) {
  SelectBank(link, kBankI2c);
  WriteRegister(link, kRegI2cSetup, kI2cSetupValue);
}

void I2cStart(NorvaneUsb& link) { WriteRegister(link, kRegI2cControl, kI2cControlStart); }

void I2cStop(NorvaneUsb& link) { WriteRegister(link, kRegI2cControl, kI2cControlStop); }

bool I2cWriteByte(NorvaneUsb& link, uint8_t byte) {
  WriteRegister(link, kRegI2cByteMode, kI2cByteModeSend);
  WriteRegister(link, kRegI2cTxData, byte);
  WaitByteDone(link);
  uint8_t status = kStatusUnread;
  ReadRegister(link, kRegI2cControl, &status);
  return (status & kI2cStatusNak) == 0;
}

bool I2cReadByte(NorvaneUsb& link, bool last, uint8_t* out) {
  WriteRegister(link, kRegI2cControl, last ? kI2cControlReceiveNak : kI2cControlReceiveAck);
  WriteRegister(link, kRegI2cByteMode, kI2cByteModeReceive);
  WaitByteDone(link);
  uint8_t received = 0;
  if (ReadRegister(link, kRegI2cRxData, &received) && out != nullptr) *out = received;
  return true;
}

bool I2cWriteRegs(NorvaneUsb& link, uint8_t address, uint8_t reg, uint8_t count,
                  const uint8_t* data) {
  if (Refused(count, data)) return false;
  if (!Address(link, address)) return false;
  I2cWriteByte(link, reg);
  WriteBytes(link, count, data);
  I2cStop(link);
  return true;
}

bool I2cReadRegs(NorvaneUsb& link, uint8_t address, uint8_t reg, uint8_t count, uint8_t* buffer) {
  if (Refused(count, buffer)) return false;
  if (!Address(link, address)) return false;
  I2cWriteByte(link, reg);
  // Repeated start into the read direction.
  if (!Address(link, static_cast<uint8_t>(address | kI2cReadBit))) return false;
  ReadBytes(link, count, buffer);
  I2cStop(link);
  return true;
}

bool I2cWriteRaw(NorvaneUsb& link, uint8_t address, uint8_t command_length, const uint8_t* command,
                 uint8_t data_length, const uint8_t* data) {
  if (Refused(command_length, command) || Refused(data_length, data)) return false;
  if (!Address(link, address)) return false;
  // Command and data make one write on the bus.
  WriteBytes(link, command_length, command);
  WriteBytes(link, data_length, data);
  I2cStop(link);
  return true;
}

bool I2cReadRaw(NorvaneUsb& link, uint8_t address, uint8_t command_length, const uint8_t* command,
                uint8_t data_length, uint8_t* buffer) {
  if (Refused(command_length, command) || Refused(data_length, buffer)) return false;
  if (!Address(link, address)) return false;
  WriteBytes(link, command_length, command);
  if (!Address(link, static_cast<uint8_t>(address | kI2cReadBit))) return false;
  ReadBytes(link, data_length, buffer);
  I2cStop(link);
  return true;
}

}  // namespace korvalen
