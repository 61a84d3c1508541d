// Test helpers: a scratch directory that removes itself, and Intel HEX
// records built with correct checksums so a test can break one field at will.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <string_view>
#include <vector>

namespace korvalen::testing {

class TempDir {
 public:
  TempDir() {
    std::random_device random;
    const auto base = std::filesystem::temp_directory_path();
    for (int attempt = 0; attempt < 100; ++attempt) {
      auto candidate = base / ("korvalen-image-" + std::to_string(random()));
      if (std::filesystem::create_directory(candidate)) {
        path_ = candidate;
        return;
      }
    }
    ADD_FAILURE() << "cannot create a scratch directory";
  }
  ~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::filesystem::path& path() const { return path_; }

  std::filesystem::path Write(std::string_view name, std::string_view content) const {
    const auto file = path_ / name;
    std::ofstream out(file, std::ios::binary);
    out.write(content.data(), static_cast<std::streamsize>(content.size()));
    EXPECT_TRUE(out.good()) << "cannot write " << file;
    return file;
  }

 private:
  std::filesystem::path path_;
};

// One record ":LLAAAATT<data>CC" with its two's-complement checksum.
inline std::string HexRecord(uint8_t type, uint16_t offset, const std::vector<uint8_t>& data) {
  std::vector<uint8_t> bytes = {static_cast<uint8_t>(data.size()),
                                static_cast<uint8_t>(offset >> 8),
                                static_cast<uint8_t>(offset & 0xFF), type};
  bytes.insert(bytes.end(), data.begin(), data.end());
  uint8_t sum = 0;
  for (uint8_t b : bytes) sum = static_cast<uint8_t>(sum + b);
  bytes.push_back(static_cast<uint8_t>(0x100 - sum));
  std::string text = ":";
  char digits[3];
  for (uint8_t b : bytes) {
    std::snprintf(digits, sizeof(digits), "%02X", b);
    text += digits;
  }
  return text;
}

inline std::string DataRecord(uint16_t offset, const std::vector<uint8_t>& data) {
  return HexRecord(0x00, offset, data);
}

inline const std::string kEndRecord = ":00000001FF";

// Joins records into a file text, each line ended by line_end.
inline std::string HexText(const std::vector<std::string>& lines,
                           std::string_view line_end = "\n") {
  std::string text;
  for (const auto& line : lines) {
    text += line;
    text += line_end;
  }
  return text;
}

}  // namespace korvalen::testing
