#include "link/Driver.h"

namespace korvalen {

std::array<uint8_t, 16> Guid::Bytes() const {
  std::array<uint8_t, 16> b{};
  for (int i = 0; i < 4; ++i) b[i] = static_cast<uint8_t>(data1 >> (8 * i));
  for (int i = 0; i < 2; ++i) b[4 + i] = static_cast<uint8_t>(data2 >> (8 * i));
  for (int i = 0; i < 2; ++i) b[6 + i] = static_cast<uint8_t>(data3 >> (8 * i));
  for (int i = 0; i < 8; ++i) b[8 + i] = data4[i];
  return b;
}

Guid Guid::FromBytes(std::span<const uint8_t, 16> b) {
  Guid g{};
  for (int i = 0; i < 4; ++i) g.data1 |= static_cast<uint32_t>(b[i]) << (8 * i);
  g.data2 = static_cast<uint16_t>(b[4] | (b[5] << 8));
  g.data3 = static_cast<uint16_t>(b[6] | (b[7] << 8));
  for (int i = 0; i < 8; ++i) g.data4[i] = b[8 + i];
  return g;
}

}  // namespace korvalen
