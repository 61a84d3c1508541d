// The single operations on the device's serial flash: the chunk walks (blank
// check, program, verify, read back), the erase, the status waits and the
// bodies of the ISP page's buttons. Everything runs on the caller's thread;
// long operations report through the FlashView and pump it after each
// visible change, and a stop request raised inside a pump ends them at the
// next chunk or poll as a failure.
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "flash/FlashView.h"
#include "image/FirmwareImage.h"
#include "link/Clock.h"
#include "link/FlashPassThrough.h"
#include "link/NorvaneUsb.h"

namespace korvalen {

// Three address bytes reach 16 MiB; a span past that would wrap onto the
// start of the flash.
inline constexpr uint32_t kFlashAddressLimit = 0x1000000;
// The read-back dump covers the first 32 KiB of the flash.
inline constexpr uint32_t kReadBackDumpSize = 0x8000;
// "All" resets the sector-erase range to the first 32 KiB.
inline constexpr uint32_t kAllRangeSize = 0x8000;

// How a bounded status poll ended.
enum class PollOutcome { kIdle, kTimedOut, kStopped, kDeviceGone };

class FlashOperations {
 public:
  // All references must outlive the object. The image is read at each
  // operation, so reloading it in place needs no call here.
  FlashOperations(NorvaneUsb& link, Clock& clock, FlashView& view, const FirmwareImage& image)
      : FlashOperations(link, clock, view, image.bytes, image.length) {}
  // The same with the image given as its 0x40000-byte buffer and a reference
  // to its count of valid bytes.
  FlashOperations(NorvaneUsb& link, Clock& clock, FlashView& view, std::span<const uint8_t> image,
                  const uint32_t& image_length);
  FlashOperations(const FlashOperations&) = delete;
  FlashOperations& operator=(const FlashOperations&) = delete;

  // ---- Operation state -------------------------------------------------
  uint32_t flash_range_start() const { return flash_range_start_; }
  uint32_t flash_range_size() const { return flash_range_size_; }
  // 0 until SelectProgramMode has run, then 32 or 256.
  uint16_t program_chunk_size() const { return program_chunk_size_; }
  bool use_aai_program() const { return use_aai_program_; }
  bool step_failed() const { return step_failed_; }
  // Why the last walk, program, erase or word-program check failed (kind
  // kNone after one that passed).
  const Failure& last_failure() const { return last_failure_; }
  void set_step_failed(bool failed) { step_failed_ = failed; }
  bool isp_mode_active() const { return isp_mode_active_; }
  const FlashId& flash_id() const { return flash_id_; }
  // The device stopped answering for good (see NorvaneUsb::DeviceGone):
  // every walk, poll and wait below then ends at once and fails.
  bool device_gone() const { return link_.DeviceGone(); }
  std::span<const uint8_t> read_back_buffer() const { return read_back_buffer_; }
  uint32_t image_length() const { return image_length_; }

  // Raised by a click handled inside a pump; the running walk, program or
  // erase poll ends at its next chunk or poll and fails.
  bool stop_requested() const { return stop_requested_; }
  void RequestStop() { stop_requested_ = true; }
  void ClearStop() { stop_requested_ = false; }
  // True while an operation or a sequence of this object runs; the button
  // bodies below then do nothing, so a click handled inside a pump cannot
  // close the link under a running operation.
  bool busy() const { return busy_depth_ > 0; }

  // ---- Operations for the sequences (the link must be open) --------------
  // Every byte of [start, end) reads 0xFF.
  bool BlankCheckRange(uint32_t start, uint32_t end);
  // Every byte of [start, end) equals the image byte; flash address start
  // holds image offset 0.
  bool VerifyRange(uint32_t start, uint32_t end);
  // Reads [start, end) twice into the read-back buffer and compares.
  bool ReadBackRange(uint32_t start, uint32_t end);
  // Grows the read-back buffer to hold `bytes` from address 0 (up to 16 MiB),
  // for a part larger than the image buffer; it never shrinks.
  void GrowReadBack(uint32_t bytes);
  // Programs [start, end) from the image, skipping chunks that are all 0xFF.
  // Fails at once, sending nothing, while no chunk size has been chosen.
  bool ProgramRange(uint32_t start, uint32_t end);
  // Up to 1000 status reads 10 ms apart until the busy bit clears; pumps
  // while it waits. Running out is not reported, and a stop request does
  // not cut it short (it guards the protection write after a stop); a
  // device that is gone does.
  void WaitStatusIdle();
  // Reads the flash ID and chooses the chunk size and the program mode. A
  // failed read keeps the previous ID. True when this read succeeded and
  // gave an ID that is neither all zeros nor all ones (no flash answering):
  // only then may anything change the flash.
  bool SelectProgramMode();
  // On word-program parts: ends any open auto-address-increment sequence
  // with a write disable and confirms from the status register that the part
  // left it and is idle. Until then the part ignores erases and answers
  // reads with 0xFF, so nothing may be erased or checked. nullopt when the
  // sequence has ended (at once, nothing sent, on other parts); else a
  // failure naming the status, also reported to the view.
  Failure EndWordProgramming();
  // The chip erase shared by the ISP page and the one-click update: write
  // enable, erase, then up to 1000 status polls 10 ms apart. After each poll
  // `polled` gets the poll's number and status byte, and the view is pumped.
  // Neither opens nor closes the link.
  PollOutcome ChipErase(const std::function<void(int poll, uint8_t status)>& polled);

  // ---- Button bodies (each opens and closes the link itself) --------------
  // Chip erase when all_range, else 4 KiB sector erases over the assigned
  // range. False (and step_failed set) when any poll timed out or was
  // stopped.
  bool EraseFlash(bool all_range);
  // The chip ID text, e.g. "0xC2,  0x20,  0x16,  ". nullopt (nothing sent)
  // while another operation runs, as for every body below.
  std::optional<std::string> ChipIdText();
  // The status byte text, e.g. "0x03".
  std::optional<std::string> StatusText();
  bool WriteEnable();
  bool WriteDisable();
  bool WriteStatus(uint8_t value);
  // Parses the typed hex digits, writes the low 8 bits. On text that is not
  // a hex number (or while another operation runs), returns the error
  // message for the error box and sends nothing.
  std::optional<std::string> WriteStatusFromText(std::string_view typed);
  // Blank check, program and verify of the data span: [0, image length) when
  // all_range, else [flash_range_start, flash_range_start + image length).
  bool BlankCheck(bool all_range);
  bool Program(bool all_range);
  bool Verify(bool all_range);
  // Reads the first 32 KiB into the read-back buffer (0x5A where a read never
  // landed); the window then asks for a file and calls SaveReadBackDump.
  bool ReadBack();
  // Toggles ISP mode and returns whether it is now on; nullopt (and nothing
  // sent) while no device is present.
  std::optional<bool> ToggleIspMode();

  // ---- Range choice --------------------------------------------------------
  // The radio buttons' click: "All" resets the range to [0, 32 KiB); "Assign
  // Range" takes the typed KB values. Returns an error message (and keeps
  // the old range) when the range would leave the flash address space.
  std::optional<std::string> ChooseRange(bool all_range, int64_t start_kb, int64_t size_kb);

  // ---- Read-back dump ------------------------------------------------------
  // The dump text of the first 32 KiB of the read-back buffer: 2048 lines of
  // sixteen "0xHH, " entries, each line ended by a single carriage return.
  std::string ReadBackDumpText() const;
  // Writes the dump to path. On failure shows and returns the reason.
  std::optional<std::string> SaveReadBackDump(const std::filesystem::path& path);

 private:
  friend class UpdateSequences;
  class BusyScope;
  enum class WalkKind { kBlank, kVerify, kReadBack };

  bool ChunkWalk(uint32_t start, uint32_t end, WalkKind kind);
  bool SpanFits(uint32_t start, uint32_t end, bool within_image = true);
  bool EraseBody(bool all_range);
  bool EraseSectors(bool* timed_out);
  PollOutcome PollEraseDone(const std::function<void(int poll, uint8_t status)>& show);
  bool WaitStatusIdleShort();
  Failure WordProgrammingEnded();
  // Records why an operation failed and tells the view.
  void Fail(Failure failure);
  void CopyChunk(uint32_t offset, std::span<uint8_t> chunk) const;
  bool ProgramPages(uint32_t start, uint32_t end);
  bool ProgramAai(uint32_t start, uint32_t end);
  uint32_t DataStart(bool all_range) const;
  uint32_t DataEnd(uint32_t start) const;

  NorvaneUsb& link_;
  Clock& clock_;
  FlashView& view_;
  std::span<const uint8_t> image_;
  const uint32_t& image_length_;

  uint32_t flash_range_start_ = 0;
  uint32_t flash_range_size_ = 0;
  uint16_t program_chunk_size_ = 0;
  bool use_aai_program_ = false;
  bool step_failed_ = false;
  Failure last_failure_;
  bool isp_mode_active_ = false;
  bool stop_requested_ = false;
  int busy_depth_ = 0;
  FlashId flash_id_ = {};
  std::vector<uint8_t> read_back_buffer_;
};

}  // namespace korvalen
