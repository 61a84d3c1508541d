// The demo's update file: a recognisable image written as Intel HEX.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace korvalen::demo {

// A 48 KiB image: a counting pattern with a blank (all 0xFF) stretch in the
// middle, so the demo shows blank chunks being skipped.
std::vector<uint8_t> MakeDemoImage();

// The image as Intel HEX text: extended linear address records, 16-byte
// data records, and the end-of-file record.
std::string ToIntelHex(const std::vector<uint8_t>& image);

// Writes text to path; false when the file cannot be written.
bool WriteTextFile(const std::filesystem::path& path, const std::string& text);

}  // namespace korvalen::demo
