// The SPI NOR flash parts the simulator can carry, as data: one row per part
// with its JEDEC ID, geometry, write mode, times and status-register bits.
// SimFlash interprets a row; FlashModelsSelfCheck validates the table.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <span>
#include <string>
#include <string_view>

#include "link/FlashPassThrough.h"

namespace korvalen::sim {

enum class FlashWriteMode {
  // 0x02 page program of up to page_size bytes, wrapping inside the page.
  kPageProgram,
  // SST style: 0x02 programs one byte only (byte program); bulk writing is the
  // auto-address-increment word program 0xAD, two bytes per command.
  kAaiWord,
};

struct FlashModel {
  const char* name;      // lower-case part name, e.g. "sst25vf020b"
  FlashId jedec_id;      // manufacturer, memory type, capacity (0x9F order)
  uint32_t size;         // bytes; a power of two; addresses wrap modulo size
  uint32_t page_size;    // bytes one 0x02 command can program (1 for kAaiWord parts)
  uint32_t sector_size;  // bytes of the 0x20 sector erase (4096 on every part here)
  FlashWriteMode write_mode;
  // Busy times in microseconds (typical datasheet figures, rounded).
  uint32_t page_program_us;  // one 0x02 command (byte program on kAaiWord parts)
  uint32_t aai_word_us;      // one 0xAD word (kAaiWord parts only, else 0)
  uint32_t sector_erase_us;
  uint32_t chip_erase_us;
  uint32_t write_status_us;  // 0x01; 0 on parts whose status write is immediate
  // Status-register bits besides busy (bit 0) and write-enable latch (bit 1).
  uint8_t block_protect_mask;  // the BP bits, contiguous, lowest is BP0
  uint8_t writable_mask;       // bits that 0x01 changes (BP bits, SRWD/BPL, ...)
  uint8_t aai_mask;            // read-only "in AAI mode" bit (0x40 on SST), else 0
  bool has_ewsr;               // accepts 0x50 (enable-write-status) as well as 0x06 before 0x01
};

// Opcodes beyond those of link/FlashPassThrough.h that the models know.
inline constexpr uint8_t kOpEnableWriteStatus = 0x50;  // SST
inline constexpr uint8_t kOpChipEraseAlt = 0x60;

// Every row, in a fixed order. Names and JEDEC IDs are unique.
std::span<const FlashModel> FlashModels();
// The row with this name, or nullptr.
const FlashModel* FindFlashModel(std::string_view name);
// The row whose JEDEC ID this is, or nullptr.
const FlashModel* FindFlashModel(const FlashId& id);

// Names of a few rows, for tests and the demo.
inline constexpr std::string_view kFlashSst25vf020b = "sst25vf020b";  // BF 25 8C, AAI
inline constexpr std::string_view kFlashSst25vf040b = "sst25vf040b";  // BF 25 8D, AAI
inline constexpr std::string_view kFlashMx25l1021e = "mx25l1021e";    // C2 22 11, 32-byte page
inline constexpr std::string_view kFlashMx25l2006e = "mx25l2006e";    // C2 20 12, 256-byte page
inline constexpr std::string_view kFlashW25x20cl = "w25x20cl";        // EF 30 12, 256-byte page
inline constexpr std::string_view kDefaultFlashModel = kFlashW25x20cl;

// Prints the row's name (GoogleTest uses this for parameterized tests).
void PrintTo(const FlashModel& model, std::ostream* os);

// The first inconsistency of the table ("" when it is sound): sizes and pages
// powers of two, IDs and names unique, times present for the write mode, BP
// bits inside the writable bits, busy and latch bits never writable, ...
std::string FlashModelsSelfCheck();
std::string FlashModelsSelfCheck(std::span<const FlashModel> models);

}  // namespace korvalen::sim
