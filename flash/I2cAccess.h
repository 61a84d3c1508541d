// What the I2C pages do without widgets: the one slave address the I2C
// Access page and the "Special I2C access" group share, the slave shadow
// with its Enter/Insert/Delete stepping, and their transactions. Each
// transaction opens the link before its first engine call and closes it
// after the last; none selects a register bank (Setup does, when the page
// is chosen). Results of the engine are looked at only to keep a shadow
// entry or a shown value when the slave did not acknowledge.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "link/Clock.h"
#include "link/NorvaneUsb.h"

namespace korvalen {

inline constexpr uint8_t kI2cDefaultSlaveAddress = 0x20;
inline constexpr size_t kI2cSlaveRegisters = 256;
// A raw transfer carries 1 to 5 command bytes and 1 to 5 data bytes.
inline constexpr int kI2cRawMinLength = 1;
inline constexpr int kI2cRawMaxLength = 5;
// Time the slave gets between a write and its read-back: after a key in the
// grid, and after a bit box.
inline constexpr uint32_t kI2cKeyWriteSettleMs = 1;
inline constexpr uint32_t kI2cBitWriteSettleMs = 30;

// The address byte typed into an address edit: the low 8 bits of the typed
// hexadecimal value; nullopt when the text does not convert.
std::optional<uint8_t> SlaveAddressFromText(std::string_view typed);

// The keys of the grid that write a register.
enum class I2cGridKey { kEnter, kInsert, kDelete };

// The value a key sends for a register whose typed value is `value`:
// Enter sends it as it is, Insert one more, Delete one less; nullopt when
// Insert meets 0xFF or Delete 0x00 (nothing is sent).
std::optional<uint8_t> SteppedValue(I2cGridKey key, uint8_t value);

// One raw transfer of the "Special I2C access" group.
struct I2cRawTransfer {
  std::array<uint8_t, kI2cRawMaxLength> command{};
  std::array<uint8_t, kI2cRawMaxLength> data{};
  uint8_t command_length = 1;
  uint8_t data_length = 1;
};

// Packs the group's fields: the first command_length command texts and the
// first data_length data texts, each read as two hexadecimal digits (a
// character that is no digit, or a missing one, counts as 0: "1" is 0x10,
// "G5" is 0x05). Lengths outside 1..5 are brought into that range; a
// missing text reads as empty.
I2cRawTransfer PackRawTransfer(std::span<const std::string> command_texts, int command_length,
                               std::span<const std::string> data_texts, int data_length);

class I2cSlaveAccess {
 public:
  // Both must outlive the object.
  I2cSlaveAccess(NorvaneUsb& link, Clock& clock) : link_(link), clock_(clock) {}

  uint8_t slave_address() const { return slave_address_; }
  void set_slave_address(uint8_t address) { slave_address_ = address; }
  uint8_t Shadow(uint8_t reg) const { return shadow_[reg]; }
  const std::array<uint8_t, kI2cSlaveRegisters>& shadow() const { return shadow_; }

  // The engine's set-up (bank 14, controller on) in a bracket of its own.
  void Setup();

  // Reads register reg into its shadow entry; false when the slave did not
  // acknowledge, and the entry keeps its value.
  bool ReadRegister(uint8_t reg);

  // The Read pass: one transaction per register, 0x00 to 0xFF, in one
  // bracket. after_each(reg) runs after each register (to show it and let
  // the window handle input) and returns whether the pass goes on.
  void ReadAll(const std::function<bool(uint8_t reg)>& after_each);

  // A key in the grid on register reg whose cell holds cell_text. The text
  // converts into the shadow entry first; the stepped value, if any, is
  // written and read back. Returns false, changing nothing, when the text
  // does not convert; true otherwise, whether or not a value was sent.
  bool GridKey(I2cGridKey key, uint8_t reg, std::string_view cell_text);

  // The bit boxes: value becomes the shadow entry of reg, is written and,
  // 30 ms later, read back.
  void WriteBits(uint8_t reg, uint8_t value);

  // The group's raw transfers to the shared address. ReadRaw gives the
  // data_length bytes received, or nullopt when the slave did not
  // acknowledge an address phase.
  void WriteRaw(const I2cRawTransfer& transfer);
  std::optional<std::vector<uint8_t>> ReadRaw(const I2cRawTransfer& transfer);

 private:
  void WriteAndReadBack(uint8_t reg, uint32_t settle_ms);

  NorvaneUsb& link_;
  Clock& clock_;
  uint8_t slave_address_ = kI2cDefaultSlaveAddress;
  std::array<uint8_t, kI2cSlaveRegisters> shadow_{};
};

}  // namespace korvalen
