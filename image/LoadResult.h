// What a load of a firmware file reports to the window.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>

namespace korvalen {

enum class LoadError {
  kNone,
  kNotFound,     // no update file for the model key in the directory
  kUnknownType,  // the name selects no loader; nothing was loaded
  kCannotOpen,   // missing, unreadable, or a directory
  kNotRegular,   // a FIFO, socket or device: reading it could block or never end
  kReadFailed,   // opened, but reading stopped with an error
  kEmpty,        // the file holds no image bytes
  kTooLarge,     // more than the 256 KiB image (or an absurdly large HEX text)
  kMalformed,    // HEX text that is not a well-formed record stream
  kOutOfRange,   // HEX data that lies beyond the 256 KiB image
};

// ok is true only when the image now holds the file and may be programmed.
// After a failed load by either loader the image is all 0xFF with length 0,
// so nothing half-loaded can be programmed; kNotFound and kUnknownType fail
// before any loader runs and leave the image as it was.
struct LoadResult {
  bool ok = false;
  LoadError error = LoadError::kNone;
  // Empty when ok; otherwise says what is wrong and where, starting with
  // the file name: "ORBIT.hex line 7 (record 6): record checksum is 0x3C,
  // expected 0x3D".
  std::string message;
  std::filesystem::path path;  // the file loaded or tried
  uint32_t length = 0;         // the image length after the load
  uint16_t checksum = 0;       // 16-bit sum of [0, length); 0 on failure
  size_t line = 0;             // 1-based text line of a HEX fault, 0 when none
  size_t record = 0;           // 1-based HEX record of a fault, 0 when none
};

// The file's name for messages, as UTF-8 whatever the platform's path type.
std::string DisplayName(const std::filesystem::path& path);  // bytes not UTF-8 escaped

}  // namespace korvalen
