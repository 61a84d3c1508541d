#include "sim/SimFlash.h"

#include <algorithm>
#include <bit>

namespace korvalen::sim {
namespace {

// Opcode, three address bytes: the fixed part of read, program and erase.
constexpr uint32_t kAddressedHeader = 4;
// A transfer longer than this keeps only its first bytes (no real command
// needs more; it bounds the memory a runaway transfer can take).
constexpr size_t kMaxCommandBytes = 64 * 1024;

}  // namespace

SimFlash::SimFlash(korvalen::Clock& clock, const FlashModel& model)
    : clock_(&clock), model_(&model), cells_(model.size, 0xFF) {}

void SimFlash::Select() {
  selected_ = true;
  ignored_ = false;
  position_ = 0;
  command_.clear();
}

uint8_t SimFlash::Exchange(uint8_t mosi) {
  if (!selected_) return 0xFF;  // MISO floats high
  const uint32_t position = position_++;
  if (position == 0) {
    ++stats_.commands;
    command_.push_back(mosi);
    if (mosi != kOpReadStatus && Busy()) {
      // A part that is writing or erasing answers only the status read.
      ignored_ = true;
      ++stats_.ignored_busy;
    } else if (aai_active_ && mosi != kOpAaiProgram && mosi != kOpWriteDisable &&
               mosi != kOpReadStatus) {
      // In AAI mode only AAI, write disable and read status are accepted.
      ignored_ = true;
    }
    return 0xFF;
  }
  if (ignored_) return 0xFF;
  const uint8_t opcode = command_[0];
  switch (opcode) {
    case kOpReadStatus:
      return Status();
    case kOpReadId:
      return position <= 3 ? model_->jedec_id[position - 1] : 0xFF;
    case kOpRead: {
      if (position < kAddressedHeader) {
        command_.push_back(mosi);
        if (position == kAddressedHeader - 1) read_address_ = CommandAddress();
        return 0xFF;
      }
      uint8_t value = cells_[read_address_];
      if (auto flip = read_flips_.find(read_address_); flip != read_flips_.end()) {
        value ^= flip->second.mask;
        if (--flip->second.reads == 0) read_flips_.erase(flip);
      }
      read_address_ = Wrap(read_address_ + 1);  // a read runs on across the whole array
      return value;
    }
    default:
      if (command_.size() < kMaxCommandBytes) command_.push_back(mosi);
      return 0xFF;
  }
}

void SimFlash::Deselect() {
  if (!selected_) return;
  selected_ = false;
  if (position_ == 0 || ignored_) return;
  Execute();
}

uint32_t SimFlash::CommandAddress() const {
  return Wrap((static_cast<uint32_t>(command_[1]) << 16) | (command_[2] << 8) | command_[3]);
}

void SimFlash::BeginBusy(uint32_t micros) { busy_until_ = clock_->NowMicros() + micros; }

void SimFlash::ProgramByte(uint32_t address, uint8_t value) {
  address = Wrap(address);
  if (auto weak = weak_cells_.find(address); weak != weak_cells_.end()) {
    if (--weak->second == 0) weak_cells_.erase(weak);
    return;  // this attempt leaves the cell as it was
  }
  cells_[address] &= value;  // programming can only clear bits
}

void SimFlash::Execute() {
  const uint8_t opcode = command_[0];
  const bool ewsr = ewsr_;
  ewsr_ = false;  // 0x50 enables only the command that follows it
  const auto need_latch = [this]() {
    if (wel_) return true;
    ++stats_.ignored_no_wel;
    return false;
  };
  switch (opcode) {
    case kOpWriteEnable:
      wel_ = true;
      break;
    case kOpWriteDisable:
      wel_ = false;
      aai_active_ = false;  // also ends auto-address-increment programming
      break;
    case kOpEnableWriteStatus:
      ewsr_ = model_->has_ewsr;
      break;
    case kOpWriteStatus:
      if (command_.size() < 2) break;
      if (!wel_ && !ewsr) {
        ++stats_.ignored_no_wel;
        break;
      }
      status_bits_ = command_[1] & model_->writable_mask;
      wel_ = false;
      ++stats_.status_writes;
      BeginBusy(model_->write_status_us);
      break;
    case kOpPageProgram:
      if (command_.size() <= kAddressedHeader || !need_latch()) break;
      ExecutePageProgram();
      break;
    case kOpAaiProgram:
      if (model_->write_mode == FlashWriteMode::kAaiWord) ExecuteAai();
      break;
    case kOpSectorErase: {
      if (command_.size() < kAddressedHeader || !need_latch()) break;
      wel_ = false;
      const uint32_t base = CommandAddress() & ~(model_->sector_size - 1);
      if (IsProtected(base)) {
        ++stats_.ignored_protected;
        break;
      }
      std::fill_n(cells_.begin() + base, model_->sector_size, 0xFF);
      ++stats_.sector_erases;
      BeginBusy(model_->sector_erase_us);
      break;
    }
    case kOpChipErase:
    case kOpChipEraseAlt:
      if (!need_latch()) break;
      wel_ = false;
      // A chip erase is refused while any block is protected.
      if (status_bits_ & model_->block_protect_mask) {
        ++stats_.ignored_protected;
        break;
      }
      std::fill(cells_.begin(), cells_.end(), 0xFF);
      ++stats_.chip_erases;
      BeginBusy(model_->chip_erase_us);
      break;
    default:
      break;  // reads, unknown opcodes: nothing to execute
  }
}

void SimFlash::ExecutePageProgram() {
  wel_ = false;
  const uint32_t address = CommandAddress();
  if (IsProtected(address)) {
    ++stats_.ignored_protected;
    return;
  }
  const size_t data_count = command_.size() - kAddressedHeader;
  ++stats_.page_programs;
  if (model_->write_mode == FlashWriteMode::kAaiWord) {
    // SST byte program: one byte; whatever follows it is not latched.
    ProgramByte(address, command_[kAddressedHeader]);
    BeginBusy(model_->page_program_us);
    return;
  }
  // The page buffer: the address wraps inside the page, so bytes past the
  // page's end overwrite those latched at its start.
  const uint32_t page = model_->page_size;
  const uint32_t base = address & ~(page - 1);
  std::vector<int> latch(page, -1);
  for (size_t i = 0; i < data_count; ++i) {
    latch[((address - base) + i) % page] = command_[kAddressedHeader + i];
  }
  for (uint32_t offset = 0; offset < page; ++offset) {
    if (latch[offset] >= 0) ProgramByte(base + offset, static_cast<uint8_t>(latch[offset]));
  }
  BeginBusy(model_->page_program_us);
}

void SimFlash::ExecuteAai() {
  uint8_t first, second;
  if (!aai_active_) {
    // First word: 0xAD, address, two data bytes. A0 is ignored: words are even.
    if (command_.size() < kAddressedHeader + 2) return;
    if (!wel_) {
      ++stats_.ignored_no_wel;
      return;
    }
    aai_address_ = CommandAddress() & ~1u;
    aai_active_ = true;
    first = command_[4];
    second = command_[5];
  } else {
    // Later words: 0xAD and two data bytes; the address runs on by two.
    if (command_.size() < 3) return;
    aai_address_ += 2;
    first = command_[1];
    second = command_[2];
  }
  if (aai_address_ >= model_->size) return;  // past the array's end nothing programs
  if (IsProtected(aai_address_)) {
    ++stats_.ignored_protected;
    return;
  }
  ProgramByte(aai_address_, first);
  ProgramByte(aai_address_ + 1, second);
  ++stats_.aai_words;
  BeginBusy(model_->aai_word_us);
}

std::vector<uint8_t> SimFlash::Read(uint32_t address, uint32_t count) const {
  std::vector<uint8_t> out(count);
  for (uint32_t i = 0; i < count; ++i) out[i] = cells_[Wrap(address + i)];
  return out;
}

void SimFlash::Write(uint32_t address, std::span<const uint8_t> data) {
  for (size_t i = 0; i < data.size(); ++i) cells_[Wrap(address + i)] = data[i];
}

void SimFlash::Fill(uint8_t value) { std::fill(cells_.begin(), cells_.end(), value); }

void SimFlash::Fill(uint32_t address, uint32_t count, uint8_t value) {
  for (uint32_t i = 0; i < count; ++i) cells_[Wrap(address + i)] = value;
}

bool SimFlash::Busy() { return stuck_busy_ || clock_->NowMicros() < busy_until_; }

uint8_t SimFlash::Status() {
  uint8_t status = status_bits_;
  if (wel_) status |= kStatusWriteEnableLatch;
  if (aai_active_) status |= model_->aai_mask;
  if (Busy()) status |= kStatusBusy;
  return status;
}

void SimFlash::SetStatusBits(uint8_t value) { status_bits_ = value & model_->writable_mask; }

bool SimFlash::IsProtected(uint32_t address) const {
  const uint8_t mask = model_->block_protect_mask;
  const unsigned value = (status_bits_ & mask) >> std::countr_zero(mask);
  if (value == 0) return false;
  const unsigned all = mask >> std::countr_zero(mask);
  if (value == all) return true;
  // The upper 1/2^(all - value) of the array, at least one sector.
  const uint32_t area = std::max(model_->size >> (all - value), model_->sector_size);
  return Wrap(address) >= model_->size - area;
}

void SimFlash::PowerCycle() {
  selected_ = false;
  ignored_ = false;
  position_ = 0;
  command_.clear();
  wel_ = false;
  ewsr_ = false;
  aai_active_ = false;
  busy_until_ = 0;
}

void SimFlash::AddWeakCell(uint32_t address, uint32_t attempts) {
  if (attempts == 0) {
    weak_cells_.erase(Wrap(address));
  } else {
    weak_cells_[Wrap(address)] = attempts;
  }
}

void SimFlash::AddReadFlip(uint32_t address, uint8_t mask, uint32_t reads) {
  if (mask == 0 || reads == 0) {
    read_flips_.erase(Wrap(address));
  } else {
    read_flips_[Wrap(address)] = {mask, reads};
  }
}

void SimFlash::ClearFaults() {
  stuck_busy_ = false;
  weak_cells_.clear();
  read_flips_.clear();
}

}  // namespace korvalen::sim
