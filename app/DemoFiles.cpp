#include "app/DemoFiles.h"

#include <cstdio>
#include <fstream>

namespace korvalen::demo {
namespace {

constexpr size_t kDemoImageSize = 48 * 1024;
constexpr size_t kBlankFrom = 20 * 1024;
constexpr size_t kBlankTo = 24 * 1024;
constexpr size_t kRecordBytes = 16;

std::string Record(uint8_t type, uint16_t offset, const uint8_t* data, size_t count) {
  uint8_t sum = static_cast<uint8_t>(count + (offset >> 8) + (offset & 0xFF) + type);
  std::string line = ":";
  char field[16];
  std::snprintf(field, sizeof field, "%02X%04X%02X", static_cast<unsigned>(count), offset, type);
  line += field;
  for (size_t i = 0; i < count; ++i) {
    std::snprintf(field, sizeof field, "%02X", data[i]);
    line += field;
    sum = static_cast<uint8_t>(sum + data[i]);
  }
  std::snprintf(field, sizeof field, "%02X", static_cast<uint8_t>(-sum));
  return line + field + "\r\n";
}

}  // namespace

std::vector<uint8_t> MakeDemoImage() {
  std::vector<uint8_t> image(kDemoImageSize);
  for (size_t i = 0; i < image.size(); ++i) {
    image[i] = (i >= kBlankFrom && i < kBlankTo) ? 0xFF : static_cast<uint8_t>((i * 7 + i / 256));
  }
  return image;
}

std::string ToIntelHex(const std::vector<uint8_t>& image) {
  std::string text;
  uint32_t upper = 0xFFFFFFFF;
  for (size_t at = 0; at < image.size(); at += kRecordBytes) {
    if ((at >> 16) != upper) {
      upper = static_cast<uint32_t>(at >> 16);
      const uint8_t bytes[2] = {static_cast<uint8_t>(upper >> 8), static_cast<uint8_t>(upper)};
      text += Record(0x04, 0, bytes, 2);
    }
    const size_t count = std::min(kRecordBytes, image.size() - at);
    text += Record(0x00, static_cast<uint16_t>(at & 0xFFFF), &image[at], count);
  }
  return text + Record(0x01, 0, nullptr, 0);
}

bool WriteTextFile(const std::filesystem::path& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
  return static_cast<bool>(out.flush());
}

}  // namespace korvalen::demo
