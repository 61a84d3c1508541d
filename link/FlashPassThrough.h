// The chip's serial-flash pass-through: in ISP mode the host shifts the
// flash's own command bytes through the chip and collects its answers.
// None of these opens the link or enters ISP mode; the caller does.
#pragma once

#include <array>
#include <cstdint>
#include <functional>

#include "link/Clock.h"
#include "link/NorvaneUsb.h"

namespace korvalen {

inline constexpr uint8_t kRequestFlashWrite = 0x80;
inline constexpr uint8_t kRequestFlashCommandRead = 0x81;
inline constexpr uint8_t kRequestFlashFetch = 0x82;
inline constexpr uint8_t kRequestFlashReady = 0x83;
// wIndex of a flash-write packet: 1 ends the flash transfer, 0 keeps it open.
inline constexpr uint16_t kFlashTransferEnd = 1;
inline constexpr uint16_t kFlashTransferContinue = 0;

// Serial NOR flash opcodes.
inline constexpr uint8_t kOpWriteStatus = 0x01;
inline constexpr uint8_t kOpPageProgram = 0x02;
inline constexpr uint8_t kOpRead = 0x03;
inline constexpr uint8_t kOpWriteDisable = 0x04;
inline constexpr uint8_t kOpReadStatus = 0x05;
inline constexpr uint8_t kOpWriteEnable = 0x06;
inline constexpr uint8_t kOpSectorErase = 0x20;
inline constexpr uint8_t kOpReadId = 0x9F;
inline constexpr uint8_t kOpAaiProgram = 0xAD;
inline constexpr uint8_t kOpChipErase = 0xC7;

inline constexpr uint8_t kStatusBusy = 0x01;
inline constexpr uint8_t kStatusWriteEnableLatch = 0x02;

// Manufacturer, memory type, capacity, in the order the flash sends them.
using FlashId = std::array<uint8_t, 3>;

bool FlashReady(NorvaneUsb& link);
// count is 0 to 3; more is refused without sending.
bool FlashCommandWrite(NorvaneUsb& link, uint8_t opcode, uint8_t count, const uint8_t* bytes);
bool FlashCommandRead(NorvaneUsb& link, uint8_t opcode, uint16_t answer_count);
// count is 1 to 255; 0 is refused without sending.
bool FlashReadBack(NorvaneUsb& link, uint8_t count, uint8_t* destination);

bool FlashWriteEnable(NorvaneUsb& link);
bool FlashWriteDisable(NorvaneUsb& link);
bool FlashChipErase(NorvaneUsb& link);
bool FlashSectorErase(NorvaneUsb& link, uint32_t address);
bool FlashWriteStatus(NorvaneUsb& link, uint8_t value);
// The status byte, or 0xFF (busy bit set) when the answer never became ready.
uint8_t FlashReadStatus(NorvaneUsb& link);
bool FlashReadId(NorvaneUsb& link, FlashId* id);
// count is 1 to 255; other counts are refused without sending.
bool FlashRead(NorvaneUsb& link, Clock& clock, uint32_t address, uint32_t count,
               uint8_t* destination);
// count is 1 to 256; other counts are refused without sending.
bool FlashPageProgram(NorvaneUsb& link, uint32_t address, uint32_t count, const uint8_t* data);
// count is even and at least 2; other counts are refused without sending.
// after_word, when given, runs after each word's request (the caller's
// chance to keep a window answering); it sends nothing itself.
bool FlashAaiProgram(NorvaneUsb& link, uint32_t address, uint32_t count, const uint8_t* data,
                     const std::function<void()>& after_word = {});

}  // namespace korvalen
