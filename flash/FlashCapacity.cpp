#include "flash/FlashCapacity.h"

#include <array>

namespace korvalen {
namespace {

// Codes 0x10 (64 KiB) to 0x18 (16 MiB, the most three address bytes reach)
// stand for 2^code bytes.
constexpr uint8_t kPowerCodeFirst = 0x10;
constexpr uint8_t kPowerCodeLast = 0x18;

struct OwnCode {
  uint8_t manufacturer;
  uint8_t code;
  uint32_t bytes;
};

constexpr uint32_t kKiB = 1024;
constexpr uint32_t kMiB = 1024 * kKiB;

// Word-program parts (manufacturer 0xBF) count their sizes on their own
// scale; these codes win over the power-of-two reading for that maker.
constexpr std::array<OwnCode, 6> kOwnCodes = {{
    {0xBF, 0x8C, 256 * kKiB},
    {0xBF, 0x8D, 512 * kKiB},
    {0xBF, 0x8E, 1 * kMiB},
    {0xBF, 0x41, 2 * kMiB},
    {0xBF, 0x4A, 4 * kMiB},
    {0xBF, 0x4B, 8 * kMiB},
}};

}  // namespace

std::optional<uint32_t> FlashCapacityBytes(const FlashId& id) {
  for (const OwnCode& own : kOwnCodes) {
    if (own.manufacturer == id[0] && own.code == id[2]) return own.bytes;
  }
  if (id[2] >= kPowerCodeFirst && id[2] <= kPowerCodeLast) return uint32_t{1} << id[2];
  return std::nullopt;
}

std::optional<std::string> ImageDoesNotFitText(const FlashId& id, uint32_t start,
                                               uint32_t length) {
  const std::optional<uint32_t> capacity = FlashCapacityBytes(id);
  const uint64_t end = uint64_t{start} + length;
  if (!capacity || end <= *capacity) return std::nullopt;
  std::string text = "The update file (" + std::to_string(length) + " bytes";
  if (start != 0) text += " from " + std::to_string(start);
  return text + ") does not fit the flash (" + std::to_string(*capacity) + " bytes)";
}

}  // namespace korvalen
