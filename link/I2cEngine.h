// The chip's I2C master controller, driven register by register from the
// host. The engine neither opens the link nor selects a bank except in
// I2cSetup: callers run I2cSetup inside their own Open ... Close bracket.
#pragma once

#include <cstdint>

#include "link/NorvaneUsb.h"

namespace korvalen {

inline constexpr uint8_t kRegI2cControl = 16;  // write: control, read: status
inline constexpr uint8_t kRegI2cSetup = 17;
inline constexpr uint8_t kRegI2cTxData = 18;
inline constexpr uint8_t kRegI2cRxData = 19;
inline constexpr uint8_t kRegI2cByteMode = 20;
inline constexpr uint8_t kI2cControlStart = 0xC0;
inline constexpr uint8_t kI2cControlStop = 0xA0;
inline constexpr uint8_t kI2cControlReceiveAck = 0x80;
inline constexpr uint8_t kI2cControlReceiveNak = 0x90;
inline constexpr uint8_t kI2cSetupValue = 4;
inline constexpr uint8_t kI2cByteModeSend = 1;
inline constexpr uint8_t kI2cByteModeReceive = 3;
inline constexpr uint8_t kI2cStatusDone = 0x01;
inline constexpr uint8_t kI2cStatusNak = 0x08;
inline constexpr int kI2cDonePolls = 20;
inline constexpr int kI2cAddressAttempts = 10;

void I2cSetup(NorvaneUsb& link);
void I2cStart(NorvaneUsb& link);
void I2cStop(NorvaneUsb& link);
// True when the slave acknowledged the byte.
bool I2cWriteByte(NorvaneUsb& link, uint8_t byte);
// Always true; stores what the controller received.
bool I2cReadByte(NorvaneUsb& link, bool last, uint8_t* out);

// The address byte carries the 7-bit address in bits 7..1. Each sequence
// returns false only when an address phase ran out of attempts.
bool I2cWriteRegs(NorvaneUsb& link, uint8_t address, uint8_t reg, uint8_t count,
                  const uint8_t* data);
bool I2cReadRegs(NorvaneUsb& link, uint8_t address, uint8_t reg, uint8_t count, uint8_t* buffer);
bool I2cWriteRaw(NorvaneUsb& link, uint8_t address, uint8_t command_length,
                 const uint8_t* command, uint8_t data_length, const uint8_t* data);
bool I2cReadRaw(NorvaneUsb& link, uint8_t address, uint8_t command_length,
                const uint8_t* command, uint8_t data_length, uint8_t* buffer);

}  // namespace korvalen
