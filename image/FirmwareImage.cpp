#include "image/FirmwareImage.h"

#include <algorithm>
#include <cstdio>

namespace korvalen {

namespace {

constexpr std::array<uint8_t, kDefaultImageSize> MakeDefaultImage() {
  std::array<uint8_t, kDefaultImageSize> block{};
  block.fill(kErasedByte);
  return block;
}

constexpr std::array<uint8_t, kDefaultImageSize> kDefaultImage = MakeDefaultImage();

}  // namespace

void FillImage(FirmwareImage& image, uint8_t value) { image.bytes.fill(value); }

uint16_t ImageChecksum(const FirmwareImage& image) {
  const uint32_t end = std::min(image.length, kFirmwareImageSize);
  uint16_t sum = 0;
  for (uint32_t i = 0; i < end; ++i) sum = static_cast<uint16_t>(sum + image.bytes[i]);
  return sum;
}

std::string ChecksumText(uint16_t checksum) {
  char text[32];
  std::snprintf(text, sizeof(text), "Checksum : 0x%04X", static_cast<unsigned>(checksum));
  return text;
}

std::span<const uint8_t, kDefaultImageSize> DefaultImage() { return kDefaultImage; }

void CopyDefaultImage(FirmwareImage& image) {
  std::copy(kDefaultImage.begin(), kDefaultImage.end(), image.bytes.begin());
}

}  // namespace korvalen
