// The in-memory firmware image that the flash operations program and verify,
// its checksum, and the built-in default block.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>

namespace korvalen {

// 256 KiB: the largest flash image the updater writes.
inline constexpr uint32_t kFirmwareImageSize = 0x40000;
// What erased flash reads; every load starts from an image full of it, so
// bytes a file does not cover program as erased flash.
inline constexpr uint8_t kErasedByte = 0xFF;
inline constexpr uint32_t kDefaultImageSize = 0x8000;

// The image buffer and its count of valid bytes. `length` is the exclusive
// end offset that the flash operations program and verify up to (the
// window's FirmwareImageLength). A value-initialised image is all zero with
// length 0, as the window holds it before start-up copies the default block.
// 256 KiB is too large for a stack frame: keep it as a member or on the heap.
struct FirmwareImage {
  std::array<uint8_t, kFirmwareImageSize> bytes{};
  uint32_t length = 0;
};

// Sets all 0x40000 bytes to value; the length is left alone.
void FillImage(FirmwareImage& image, uint8_t value);

// The 16-bit sum (modulo 65536) of bytes [0, length), gap filler included.
uint16_t ImageChecksum(const FirmwareImage& image);

// The ISP page's checksum caption: "Checksum : 0x0A3F".
std::string ChecksumText(uint16_t checksum);

// The built-in block placed over the first 0x8000 bytes of the image at
// start-up and by the Save actions. It is all 0xFF, i.e. erased flash: the
// updater carries no firmware of its own, and an erased block can never be
// taken for a real image (it holds no descriptor table marker and a blank
// check passes over it).
std::span<const uint8_t, kDefaultImageSize> DefaultImage();

// Copies DefaultImage() into bytes [0, 0x8000) of image; the length and the
// bytes above are left alone.
void CopyDefaultImage(FirmwareImage& image);

}  // namespace korvalen
