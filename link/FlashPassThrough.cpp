#include "link/FlashPassThrough.h"

#include <algorithm>
#include <array>

#include "link/RequestRecord.h"

namespace korvalen {
namespace {

constexpr size_t kMaxCommandExtraBytes = 3;
constexpr uint32_t kMaxReadCount = 255;  // the fetch length is one byte
constexpr uint32_t kMaxPageProgramCount = 256;
constexpr uint32_t kAaiWordSize = 2;
// Addresses travel as three bytes; anything above would silently wrap to a
// different place in the flash.
constexpr uint32_t kAddressLimit = 1u << 24;
constexpr size_t kAddressCommandSize = 4;  // opcode and three address bytes

// The status answer is one byte and comes quickly: polled back to back.
constexpr int kStatusReadyPolls = 10;
// The ID answer may take a little longer but still needs no pause.
constexpr int kIdReadyPolls = 100;
// A data read gives the chip time to clock the bytes in, 1 ms per poll.
constexpr int kReadReadyPolls = 100;
constexpr uint32_t kReadPollMs = 1;

constexpr uint8_t kStatusNeverReady = 0xFF;

std::array<uint8_t, kAddressCommandSize> AddressCommand(uint8_t opcode, uint32_t address) {
  return {opcode, static_cast<uint8_t>(address >> 16), static_cast<uint8_t>(address >> 8),
          static_cast<uint8_t>(address)};
}

// One flash-write packet. The data are copied because the link takes a
// mutable buffer for both directions.
bool SendFlashWrite(NorvaneUsb& link, const uint8_t* bytes, size_t count, uint16_t end) {
  std::array<uint8_t, kMaxPageProgramCount> packet;
  std::copy_n(bytes, count, packet.begin());
  return link.ControlTransfer(kVendorOut, kRequestFlashWrite, 0, end, packet.data(),
                              static_cast<uint32_t>(count));
}

// A command whose answer the chip collects: the answer length rides in wValue.
bool SendCommandWithAnswer(NorvaneUsb& link, const uint8_t* bytes, size_t count,
                           uint16_t answer_count) {
  std::array<uint8_t, kAddressCommandSize> packet;
  std::copy_n(bytes, count, packet.begin());
  return link.ControlTransfer(kVendorOut, kRequestFlashCommandRead, answer_count, kFlashTransferEnd,
                              packet.data(), static_cast<uint32_t>(count));
}

bool PollReady(NorvaneUsb& link, int polls) {
  for (int poll = 0; poll < polls; ++poll) {
    if (FlashReady(link)) return true;
  }
  return false;
}

}  // namespace

bool FlashReady(NorvaneUsb& link) {
  uint8_t ready = 0;
  return link.ControlTransfer(kVendorIn, kRequestFlashReady, 0, 0, &ready, 1) && ready != 0;
}

bool FlashCommandWrite(NorvaneUsb& link, uint8_t opcode, uint8_t count, const uint8_t* bytes) {
  // The packet holds the opcode and at most three bytes (an address).
  if (count > kMaxCommandExtraBytes) return false;
  if (count > 0 && bytes == nullptr) return false;
  std::array<uint8_t, 1 + kMaxCommandExtraBytes> packet = {opcode};
  std::copy_n(bytes, count, packet.begin() + 1);
  return SendFlashWrite(link, packet.data(), 1 + count, kFlashTransferEnd);
}

bool FlashCommandRead(NorvaneUsb& link, uint8_t opcode, uint16_t answer_count) {
  return SendCommandWithAnswer(link, &opcode, 1, answer_count);
}

bool FlashReadBack(NorvaneUsb& link, uint8_t count, uint8_t* destination) {
  // An empty fetch would not hand over the pending answer.
  if (count == 0 || destination == nullptr) return false;
  // Fetch into scratch so a refused request leaves the destination alone.
  std::array<uint8_t, kMaxReadCount> answer{};
  if (!link.ControlTransfer(kVendorIn, kRequestFlashFetch, 0, 0, answer.data(), count)) {
    return false;
  }
  std::copy_n(answer.begin(), count, destination);
  return true;
}

bool FlashWriteEnable(NorvaneUsb& link) {
  return FlashCommandWrite(link, kOpWriteEnable, 0, nullptr);
}

bool FlashWriteDisable(NorvaneUsb& link) {
  return FlashCommandWrite(link, kOpWriteDisable, 0, nullptr);
}

bool FlashChipErase(NorvaneUsb& link) { return FlashCommandWrite(link, kOpChipErase, 0, nullptr); }

bool FlashSectorErase(NorvaneUsb& link, uint32_t address) {
  if (address >= kAddressLimit) return false;
  const auto command = AddressCommand(kOpSectorErase, address);
  return FlashCommandWrite(link, command[0], kAddressCommandSize - 1, command.data() + 1);
}

bool FlashWriteStatus(NorvaneUsb& link, uint8_t value) {
  return FlashCommandWrite(link, kOpWriteStatus, 1, &value);
}

uint8_t FlashReadStatus(NorvaneUsb& link) {
  // Never ready reads as 0xFF, busy bit set, so callers waiting for the
  // flash run into their own limits rather than going on too early.
  uint8_t status = kStatusNeverReady;
  FlashCommandRead(link, kOpReadStatus, 1);
  if (PollReady(link, kStatusReadyPolls)) FlashReadBack(link, 1, &status);
  return status;
}

bool FlashReadId(NorvaneUsb& link, FlashId* id) {
  if (id == nullptr) return false;
  FlashCommandRead(link, kOpReadId, static_cast<uint16_t>(id->size()));
  if (!PollReady(link, kIdReadyPolls)) return false;
  return FlashReadBack(link, static_cast<uint8_t>(id->size()), id->data());
}

bool FlashRead(NorvaneUsb& link, Clock& clock, uint32_t address, uint32_t count,
               uint8_t* destination) {
  // The fetch length is one byte, so one read delivers 1 to 255 bytes.
  if (count == 0 || count > kMaxReadCount || destination == nullptr) return false;
  if (address >= kAddressLimit) return false;
  const auto command = AddressCommand(kOpRead, address);
  if (!SendCommandWithAnswer(link, command.data(), command.size(), static_cast<uint16_t>(count))) {
    return false;
  }
  bool ready = false;
  for (int poll = 0; poll < kReadReadyPolls && !ready; ++poll) {
    ready = FlashReady(link);
    if (!ready) clock.Sleep(kReadPollMs);
  }
  if (!ready) return false;
  return FlashReadBack(link, static_cast<uint8_t>(count), destination);
}

bool FlashPageProgram(NorvaneUsb& link, uint32_t address, uint32_t count, const uint8_t* data) {
  // One page at most: the flash would wrap a longer run inside the page.
  if (count == 0 || count > kMaxPageProgramCount || data == nullptr) return false;
  if (address >= kAddressLimit) return false;
  const auto command = AddressCommand(kOpPageProgram, address);
  // The address packet keeps the flash transfer open for the data packet;
  // the flash starts programming when the data packet ends it.
  SendFlashWrite(link, command.data(), command.size(), kFlashTransferContinue);
  return SendFlashWrite(link, data, count, kFlashTransferEnd);
}

bool FlashAaiProgram(NorvaneUsb& link, uint32_t address, uint32_t count, const uint8_t* data,
                     const std::function<void()>& after_word) {
  // The flash takes whole words in this mode.
  if (count < kAaiWordSize || count % kAaiWordSize != 0 || data == nullptr) return false;
  if (address >= kAddressLimit) return false;
  const auto command = AddressCommand(kOpAaiProgram, address);
  const std::array<uint8_t, kAddressCommandSize + kAaiWordSize> first = {
      command[0], command[1], command[2], command[3], data[0], data[1]};
  bool accepted = SendFlashWrite(link, first.data(), first.size(), kFlashTransferEnd);
  if (after_word) after_word();
  // Each further word is its own transfer; the flash advances the address.
  for (uint32_t i = kAaiWordSize; i < count; i += kAaiWordSize) {
    // The rest of the chunk cannot reach a device that is gone.
    if (link.DeviceGone()) return false;
    const std::array<uint8_t, 1 + kAaiWordSize> word = {kOpAaiProgram, data[i], data[i + 1]};
    accepted = SendFlashWrite(link, word.data(), word.size(), kFlashTransferEnd);
    if (after_word) after_word();
  }
  return accepted;
}

}  // namespace korvalen
