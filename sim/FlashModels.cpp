#include "sim/FlashModels.h"

#include <array>
#include <bit>
#include <cctype>
#include <cstdio>
#include <ostream>

namespace korvalen::sim {
namespace {

constexpr uint32_t kKiB = 1024;
constexpr uint32_t kSector = 4 * kKiB;

// Typical datasheet figures, rounded. Erase and program times are the
// "typical" column: a tool that keeps to the maximum column passes these.
constexpr std::array<FlashModel, 5> kModels = {
    {// SST25VF020B: 2 Mbit, byte program (0x02 takes one byte) and AAI word
     // program, 10 us each; 25 ms sector erase, 50 ms chip erase; status
     // write needs 0x06 or 0x50 first and is immediate. BP0-BP1, BPL, AAI bit.
     {.name = "sst25vf020b",
      .jedec_id = {0xBF, 0x25, 0x8C},
      .size = 256 * kKiB,
      .page_size = 1,
      .sector_size = kSector,
      .write_mode = FlashWriteMode::kAaiWord,
      .page_program_us = 10,
      .aai_word_us = 10,
      .sector_erase_us = 25000,
      .chip_erase_us = 50000,
      .write_status_us = 0,
      .block_protect_mask = 0x0C,
      .writable_mask = 0x8C,
      .aai_mask = 0x40,
      .has_ewsr = true},
     // SST25VF040B: 4 Mbit, as above with BP0-BP2.
     {.name = "sst25vf040b",
      .jedec_id = {0xBF, 0x25, 0x8D},
      .size = 512 * kKiB,
      .page_size = 1,
      .sector_size = kSector,
      .write_mode = FlashWriteMode::kAaiWord,
      .page_program_us = 10,
      .aai_word_us = 10,
      .sector_erase_us = 25000,
      .chip_erase_us = 50000,
      .write_status_us = 0,
      .block_protect_mask = 0x1C,
      .writable_mask = 0x9C,
      .aai_mask = 0x40,
      .has_ewsr = true},
     // MX25L1021E: 1 Mbit with a 32-byte program page. BP0-BP1, SRWD.
     {.name = "mx25l1021e",
      .jedec_id = {0xC2, 0x22, 0x11},
      .size = 128 * kKiB,
      .page_size = 32,
      .sector_size = kSector,
      .write_mode = FlashWriteMode::kPageProgram,
      .page_program_us = 600,
      .aai_word_us = 0,
      .sector_erase_us = 40000,
      .chip_erase_us = 700000,
      .write_status_us = 10000,
      .block_protect_mask = 0x0C,
      .writable_mask = 0x8C,
      .aai_mask = 0x00,
      .has_ewsr = false},
     // MX25L2006E: 2 Mbit, 256-byte page, 1.4 ms page program, 1.8 s chip erase,
     // 40 ms status write. BP0-BP2 (BP2 reserved on some revisions), SRWD.
     {.name = "mx25l2006e",
      .jedec_id = {0xC2, 0x20, 0x12},
      .size = 256 * kKiB,
      .page_size = 256,
      .sector_size = kSector,
      .write_mode = FlashWriteMode::kPageProgram,
      .page_program_us = 1400,
      .aai_word_us = 0,
      .sector_erase_us = 60000,
      .chip_erase_us = 1800000,
      .write_status_us = 40000,
      .block_protect_mask = 0x1C,
      .writable_mask = 0x9C,
      .aai_mask = 0x00,
      .has_ewsr = false},
     // W25X20CL: 2 Mbit, 256-byte page, 0.8 ms page program, 0.6 s chip erase,
     // 10 ms status write. BP0-BP2, TB, SRP.
     {.name = "w25x20cl",
      .jedec_id = {0xEF, 0x30, 0x12},
      .size = 256 * kKiB,
      .page_size = 256,
      .sector_size = kSector,
      .write_mode = FlashWriteMode::kPageProgram,
      .page_program_us = 800,
      .aai_word_us = 0,
      .sector_erase_us = 45000,
      .chip_erase_us = 600000,
      .write_status_us = 10000,
      .block_protect_mask = 0x1C,
      .writable_mask = 0xBC,
      .aai_mask = 0x00,
      .has_ewsr = false}}};

// The program chunk that the update tool chooses from the ID (its
// SelectProgramMode): the table must agree with it, or the tool that follows
// the tool's rule would fail on a part that a real device carries.
bool ToolUsesAai(const FlashId& id) { return id[0] == 0xBF; }
uint32_t ToolChunk(const FlashId& id) { return (id[0] == 0xC2 && id[1] == 0x22) ? 32 : 256; }

std::string Problem(const FlashModel& m, const char* what) {
  return std::string(m.name ? m.name : "(unnamed)") + ": " + what;
}

bool Contiguous(uint8_t mask) {
  if (mask == 0) return false;
  const unsigned shifted = mask >> std::countr_zero(mask);
  return (shifted & (shifted + 1)) == 0;
}

std::string CheckRow(const FlashModel& m) {
  if (m.name == nullptr || m.name[0] == '\0') return Problem(m, "no name");
  for (const char* c = m.name; *c; ++c) {
    if (std::isupper(static_cast<unsigned char>(*c))) return Problem(m, "name not lower case");
  }
  if (m.jedec_id[0] == 0x00 || m.jedec_id[0] == 0xFF) return Problem(m, "no manufacturer ID");
  if (!std::has_single_bit(m.size)) return Problem(m, "size not a power of two");
  if (m.size > 16 * 1024 * kKiB) return Problem(m, "size beyond 3-byte addressing");
  if (m.jedec_id[2] >= 0x10 && m.jedec_id[2] <= 0x18 && m.size != (1u << m.jedec_id[2])) {
    return Problem(m, "size does not match the JEDEC capacity code");
  }
  if (m.sector_size != kSector) return Problem(m, "sector erase is not 4 KB");
  if (m.size < m.sector_size) return Problem(m, "smaller than a sector");
  if (!std::has_single_bit(m.page_size) || m.sector_size % m.page_size != 0) {
    return Problem(m, "page size not a power of two dividing the sector");
  }
  if (m.page_program_us == 0 || m.sector_erase_us == 0 || m.chip_erase_us == 0) {
    return Problem(m, "missing program or erase time");
  }
  if (m.chip_erase_us <= m.sector_erase_us) return Problem(m, "chip erase not slower than sector");
  if (m.page_program_us > 10000) return Problem(m, "page program slower than 10 ms");
  if (m.chip_erase_us > 100000000) return Problem(m, "chip erase slower than 100 s");
  if (m.write_mode == FlashWriteMode::kAaiWord) {
    if (m.page_size != 1) return Problem(m, "AAI part whose 0x02 takes more than one byte");
    if (m.aai_word_us == 0) return Problem(m, "AAI part without word time");
    if (m.aai_mask == 0) return Problem(m, "AAI part without AAI status bit");
    if (!ToolUsesAai(m.jedec_id)) return Problem(m, "AAI part the tool would page-program");
  } else {
    if (m.aai_word_us != 0 || m.aai_mask != 0) return Problem(m, "page part with AAI figures");
    if (ToolUsesAai(m.jedec_id)) return Problem(m, "page part the tool would AAI-program");
    if (ToolChunk(m.jedec_id) != m.page_size) return Problem(m, "page differs from tool's chunk");
  }
  const uint8_t fixed = kStatusBusy | kStatusWriteEnableLatch;
  if (m.writable_mask & fixed) return Problem(m, "busy or latch bit writable");
  if (!Contiguous(m.block_protect_mask)) return Problem(m, "BP bits missing or not contiguous");
  if ((m.block_protect_mask & m.writable_mask) != m.block_protect_mask) {
    return Problem(m, "BP bits not writable");
  }
  if (m.block_protect_mask & fixed) return Problem(m, "BP bits overlap busy or latch");
  if (m.aai_mask & (m.writable_mask | fixed)) return Problem(m, "AAI bit writable or overlapping");
  return "";
}

}  // namespace

std::span<const FlashModel> FlashModels() { return kModels; }

const FlashModel* FindFlashModel(std::string_view name) {
  for (const FlashModel& m : kModels) {
    if (name == m.name) return &m;
  }
  return nullptr;
}

const FlashModel* FindFlashModel(const FlashId& id) {
  for (const FlashModel& m : kModels) {
    if (m.jedec_id == id) return &m;
  }
  return nullptr;
}

void PrintTo(const FlashModel& model, std::ostream* os) { *os << model.name; }

std::string FlashModelsSelfCheck(std::span<const FlashModel> models) {
  if (models.empty()) return "the table is empty";
  bool has_sst = false, has_c222 = false, has_page256 = false;
  for (size_t i = 0; i < models.size(); ++i) {
    const FlashModel& m = models[i];
    if (std::string problem = CheckRow(m); !problem.empty()) return problem;
    for (size_t j = 0; j < i; ++j) {
      if (std::string_view(models[j].name) == m.name) return Problem(m, "name repeated");
      if (models[j].jedec_id == m.jedec_id) return Problem(m, "JEDEC ID repeated");
    }
    has_sst |= m.jedec_id[0] == 0xBF && m.write_mode == FlashWriteMode::kAaiWord;
    has_c222 |= m.jedec_id[0] == 0xC2 && m.jedec_id[1] == 0x22;
    has_page256 |= m.write_mode == FlashWriteMode::kPageProgram && m.page_size == 256;
  }
  if (!has_sst) return "no SST (0xBF) AAI part";
  if (!has_c222) return "no part with manufacturer 0xC2 and memory type 0x22";
  if (!has_page256) return "no 256-byte-page part";
  return "";
}

std::string FlashModelsSelfCheck() {
  if (FindFlashModel(kDefaultFlashModel) == nullptr) return "the default model is not in the table";
  for (std::string_view name :
       {kFlashSst25vf020b, kFlashSst25vf040b, kFlashMx25l1021e, kFlashMx25l2006e, kFlashW25x20cl}) {
    if (FindFlashModel(name) == nullptr) return std::string(name) + ": named but not in the table";
  }
  return FlashModelsSelfCheck(kModels);
}

}  // namespace korvalen::sim
