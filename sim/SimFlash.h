// One SPI NOR flash chip as the chip's pass-through sees it: chip select
// low, bytes exchanged full duplex, chip select high (which starts writes and
// erases). Behaves like the row of FlashModels.h it was built from: write
// enable latch required and cleared by every write and erase, busy bit for
// the part's time on the given clock, commands other than read-status
// ignored while busy, page program wrapping inside its page, programming
// only clears bits, block-protect bits that block writes and erases.
#pragma once

#include <cstdint>
#include <map>
#include <span>
#include <vector>

#include "link/Clock.h"
#include "sim/FlashModels.h"

namespace korvalen::sim {

class SimFlash {
 public:
  // The clock must outlive the flash. Contents start erased (0xFF).
  SimFlash(korvalen::Clock& clock, const FlashModel& model);

  const FlashModel& model() const { return *model_; }

  // --- The SPI side, driven by the chip's pass-through.
  void Select();                   // chip select low: a new command begins
  uint8_t Exchange(uint8_t mosi);  // one byte each way; 0xFF when not selected
  void Deselect();                 // chip select high: the command executes
  bool selected() const { return selected_; }

  // --- The test side: direct access, no protection, no timing.
  std::vector<uint8_t> Read(uint32_t address, uint32_t count) const;
  void Write(uint32_t address, std::span<const uint8_t> data);  // stores bytes as given
  void Fill(uint8_t value);
  void Fill(uint32_t address, uint32_t count, uint8_t value);
  std::span<const uint8_t> contents() const { return cells_; }

  // The status register as 0x05 would read it now (busy bit from the clock).
  uint8_t Status();
  bool Busy();
  bool WriteEnabled() const { return wel_; }
  bool InAaiMode() const { return aai_active_; }
  // Sets the non-volatile status bits (those of writable_mask) directly.
  void SetStatusBits(uint8_t value);
  // True when the byte at address lies in the area the BP bits protect.
  bool IsProtected(uint32_t address) const;

  // Power loss: ends a command, clears the latch and AAI mode, ends any busy
  // time (an interrupted write leaves what had been written).
  void PowerCycle();

  // --- Faults.
  // The busy bit never clears; writes and erases are never accepted.
  void SetStuckBusy(bool stuck) { stuck_busy_ = stuck; }
  // The cell at address does not program for the next `attempts` program
  // operations (0x02, byte program, AAI word) that cover it.
  void AddWeakCell(uint32_t address, uint32_t attempts);
  // The next `reads` data reads (0x03) of the cell at address deliver it with
  // the bits of mask flipped.
  void AddReadFlip(uint32_t address, uint8_t mask, uint32_t reads = 1);
  void ClearFaults();

  // --- What happened, for tests.
  struct Stats {
    uint32_t commands = 0;       // chip-select cycles with at least one byte
    uint32_t page_programs = 0;  // 0x02 executed (page or byte program)
    uint32_t aai_words = 0;      // 0xAD words programmed
    uint32_t sector_erases = 0;
    uint32_t chip_erases = 0;
    uint32_t status_writes = 0;
    uint32_t ignored_busy = 0;       // commands dropped because the part was busy
    uint32_t ignored_no_wel = 0;     // writes/erases dropped for lack of write enable
    uint32_t ignored_protected = 0;  // writes/erases dropped by block protection
  };
  const Stats& stats() const { return stats_; }
  void ResetStats() { stats_ = {}; }

 private:
  uint32_t Wrap(uint32_t address) const { return address & (model_->size - 1); }
  uint32_t CommandAddress() const;
  void BeginBusy(uint32_t micros);
  void ProgramByte(uint32_t address, uint8_t value);
  void ExecutePageProgram();
  void ExecuteAai();
  void Execute();

  korvalen::Clock* clock_;
  const FlashModel* model_;
  std::vector<uint8_t> cells_;
  uint8_t status_bits_ = 0;  // the non-volatile bits (writable_mask)
  bool wel_ = false;
  bool ewsr_ = false;  // SST: 0x50 was the previous command
  bool aai_active_ = false;
  uint32_t aai_address_ = 0;
  uint64_t busy_until_ = 0;
  bool stuck_busy_ = false;

  bool selected_ = false;
  bool ignored_ = false;          // the current command is dropped (busy, AAI mode)
  uint32_t position_ = 0;         // bytes received since Select
  std::vector<uint8_t> command_;  // those bytes, but of a read only the first four
  uint32_t read_address_ = 0;

  std::map<uint32_t, uint32_t> weak_cells_;
  struct ReadFlip {
    uint8_t mask;
    uint32_t reads;
  };
  std::map<uint32_t, ReadFlip> read_flips_;
  Stats stats_;
};

}  // namespace korvalen::sim
