#include "flash/FlashOperations.h"

#include <algorithm>
#include <array>
#include <string>

#include "flash/FlashBusyScope.h"
#include "flash/HexText.h"

namespace korvalen {
namespace {

// Reads go in 64-byte blocks; a block gets three attempts in a row before
// the walk gives up, so one bad USB transfer does not fail an update.
constexpr uint32_t kReadChunkSize = 64;
constexpr int kReadAttempts = 3;

// Status waits read the status up to 1000 times, 10 ms apart (about ten
// seconds, longer than any part's status write takes).
constexpr int kStatusPolls = 1000;
constexpr uint32_t kStatusPollMs = 10;
// Before a page program the flash gets 101 status reads 1 ms apart.
constexpr int kShortStatusPolls = 101;
constexpr uint32_t kShortPollMs = 1;
// After a page program the pass-through gets ten looks, 1 ms apart.
constexpr int kReadyPolls = 10;
constexpr uint32_t kReadyPollMs = 1;

// Flash parts whose ID asks for a different program mode.
constexpr uint8_t kManufacturerAai = 0xBF;  // word-program (AAI) parts
constexpr uint8_t kManufacturerSmallPage = 0xC2;
constexpr uint8_t kMemoryTypeSmallPage = 0x22;  // with 0xC2: 32-byte program chunks
constexpr uint16_t kSmallChunkSize = 32;
constexpr uint16_t kPageChunkSize = 256;

// Word-program parts show an open auto-address-increment sequence in this
// status bit; while it is set they ignore everything but the next word,
// write disable and the status read, reads included.
constexpr uint8_t kStatusAaiSequence = 0x40;

bool Busy(uint8_t status) { return (status & kStatusBusy) != 0; }

// The ISP page's address line during a walk; verify and read back share it.
constexpr std::string_view kBlankAddressText = "Blanking Addr: 0x";
constexpr std::string_view kVerifyAddressText = "Verifying Addr: 0x";

}  // namespace

FlashOperations::FlashOperations(NorvaneUsb& link, Clock& clock, FlashView& view,
                                 std::span<const uint8_t> image, const uint32_t& image_length)
    : link_(link),
      clock_(clock),
      view_(view),
      image_(image),
      image_length_(image_length),
      read_back_buffer_(kFirmwareImageSize, 0) {}

bool FlashOperations::BlankCheckRange(uint32_t start, uint32_t end) {
  return ChunkWalk(start, end, WalkKind::kBlank);
}

bool FlashOperations::VerifyRange(uint32_t start, uint32_t end) {
  return ChunkWalk(start, end, WalkKind::kVerify);
}

bool FlashOperations::ReadBackRange(uint32_t start, uint32_t end) {
  // The read-back buffer mirrors the flash from address 0; a span reaching
  // past it has nowhere to go.
  if (end > start && end > read_back_buffer_.size()) {
    Fail({FailureKind::kPastReadBackBuffer, end});
    return false;
  }
  return ChunkWalk(start, end, WalkKind::kReadBack);
}

void FlashOperations::GrowReadBack(uint32_t bytes) {
  bytes = std::min(bytes, kFlashAddressLimit);
  if (bytes > read_back_buffer_.size()) read_back_buffer_.resize(bytes, 0);
}

bool FlashOperations::SpanFits(uint32_t start, uint32_t end, bool within_image) {
  if (end <= start) return true;
  // Three address bytes cannot reach past 16 MiB: the flash would wrap the
  // address onto its first bytes.
  if (end > kFlashAddressLimit) {
    Fail({FailureKind::kPastAddressSpace, end});
    return false;
  }
  if (within_image && end - start > image_.size()) {
    Fail({FailureKind::kLargerThanImage, end - start});
    return false;
  }
  return true;
}

void FlashOperations::Fail(Failure failure) {
  last_failure_ = failure;
  view_.OperationFailed(failure);
}

bool FlashOperations::ChunkWalk(uint32_t start, uint32_t end, WalkKind kind) {
  last_failure_ = {};
  // A read back is bounded by its own buffer (checked by ReadBackRange).
  if (!SpanFits(start, end, kind != WalkKind::kReadBack)) return false;
  const std::string_view address_text =
      kind == WalkKind::kBlank ? kBlankAddressText : kVerifyAddressText;
  const ProgressStep step = kind == WalkKind::kBlank    ? ProgressStep::kBlankCheck
                            : kind == WalkKind::kVerify ? ProgressStep::kVerify
                                                        : ProgressStep::kReadBack;
  std::array<uint8_t, kReadChunkSize> chunk{};
  std::array<uint8_t, kReadChunkSize> first_read{};
  int attempts = 0;
  uint32_t address = start;
  while (address < end) {
    if (stop_requested_) {
      Fail({FailureKind::kStoppedAt, address});
      return false;
    }
    if (device_gone()) {
      last_failure_ = {FailureKind::kDeviceGone, address};
      return false;
    }
    if (kind != WalkKind::kBlank) chunk.fill(0);
    uint32_t examined = 0;
    if (!FlashRead(link_, clock_, address, kReadChunkSize, chunk.data())) {
      ++attempts;
    } else {
      if (kind == WalkKind::kReadBack) {
        first_read = chunk;
        const size_t room = std::min<size_t>(kReadChunkSize, read_back_buffer_.size() - address);
        std::copy_n(chunk.begin(), room, read_back_buffer_.begin() + address);
        // The second read's own result does not matter: a failed read leaves
        // the buffer as it was, and the comparison then passes.
        FlashRead(link_, clock_, address, kReadChunkSize, chunk.data());
      }
      bool wrong = false;
      for (; examined < kReadChunkSize && address + examined < end; ++examined) {
        const uint8_t byte = chunk[examined];
        switch (kind) {
          case WalkKind::kBlank:
            wrong = byte != kErasedByte;
            break;
          case WalkKind::kVerify:
            wrong = byte != image_[address + examined - start];
            break;
          case WalkKind::kReadBack:
            wrong = byte != first_read[examined];
            break;
        }
        if (wrong) {
          view_.NoteDifference(address + examined,
                               kind == WalkKind::kReadBack ? first_read[examined]
                               : kind == WalkKind::kBlank  ? kErasedByte
                                                           : image_[address + examined - start],
                               byte);
          break;
        }
      }
      attempts = wrong ? attempts + 1 : 0;
    }
    // After every attempt, good or not: a read that never becomes ready
    // takes a tenth of a second, three of them in a row would freeze the
    // window.
    view_.ShowProcessAddress(std::string(address_text) + HexAddressText(address));
    view_.PumpMessages();
    if (attempts >= kReadAttempts) {
      // A chunk whose reads all failed reports its own address.
      Fail({kind == WalkKind::kBlank ? FailureKind::kBlankDifference
                                     : FailureKind::kVerifyDifference,
            address + examined});
      return false;
    }
    if (attempts == 0) {
      address += kReadChunkSize;
      view_.NoteProgress(step, std::min(address, end) - start, end - start);
    }
  }
  return true;
}

void FlashOperations::CopyChunk(uint32_t offset, std::span<uint8_t> chunk) const {
  // The last chunk is padded from the image buffer's erased fill; past the
  // buffer it reads as erased flash.
  for (size_t k = 0; k < chunk.size(); ++k) {
    const size_t index = static_cast<size_t>(offset) + k;
    chunk[k] = index < image_.size() ? image_[index] : kErasedByte;
  }
}

bool FlashOperations::WaitStatusIdleShort() {
  for (int poll = 0; poll < kShortStatusPolls; ++poll) {
    if (!Busy(FlashReadStatus(link_))) return true;
    if (device_gone()) return false;
    clock_.Sleep(kShortPollMs);
  }
  return false;
}

bool FlashOperations::ProgramRange(uint32_t start, uint32_t end) {
  last_failure_ = {};
  if (end <= start) return true;
  // Without a chunk size the walk would never advance.
  if (program_chunk_size_ == 0) {
    Fail({FailureKind::kProgramModeNotChosen});
    return false;
  }
  if (!SpanFits(start, end)) return false;
  const bool done = use_aai_program_ ? ProgramAai(start, end) : ProgramPages(start, end);
  if (done) view_.NoteProgress(ProgressStep::kProgram, end - start, end - start);
  return done;
}

bool FlashOperations::ProgramPages(uint32_t start, uint32_t end) {
  std::array<uint8_t, kPageChunkSize> buffer{};
  const std::span<uint8_t> chunk(buffer.data(), program_chunk_size_);
  for (uint32_t address = start; address < end; address += program_chunk_size_) {
    if (stop_requested_) {
      Fail({FailureKind::kStoppedAt, address});
      return false;
    }
    if (device_gone()) {
      last_failure_ = {FailureKind::kDeviceGone, address};
      return false;
    }
    view_.NoteProgress(ProgressStep::kProgram, address - start, end - start);
    CopyChunk(address - start, chunk);
    if (std::all_of(chunk.begin(), chunk.end(), [](uint8_t b) { return b == kErasedByte; }))
      continue;
    const bool idle = WaitStatusIdleShort();
    FlashWriteEnable(link_);
    view_.ShowProcessAddress("0x" + HexAddressText(address));
    view_.PumpMessages();
    if (!idle) {
      last_failure_ = {device_gone() ? FailureKind::kDeviceGone : FailureKind::kFlashNotReady,
                       address};
      return false;
    }
    FlashPageProgram(link_, address, program_chunk_size_, chunk.data());
    for (int poll = 0; poll < kReadyPolls; ++poll) {
      clock_.Sleep(kReadyPollMs);
      if (FlashReady(link_)) break;
    }
  }
  return true;
}

bool FlashOperations::ProgramAai(uint32_t start, uint32_t end) {
  std::array<uint8_t, kPageChunkSize> buffer{};
  const std::span<uint8_t> chunk(buffer.data(), program_chunk_size_);
  const bool idle = WaitStatusIdleShort();
  bool programmed = false;
  for (uint32_t address = start; address < end; address += program_chunk_size_) {
    if (stop_requested_) {
      Fail({FailureKind::kStoppedAt, address});
      return false;
    }
    if (device_gone()) {
      last_failure_ = {FailureKind::kDeviceGone, address};
      return false;
    }
    view_.NoteProgress(ProgressStep::kProgram, address - start, end - start);
    view_.ShowProcessAddress("0x" + HexAddressText(address));
    view_.PumpMessages();
    FlashWriteEnable(link_);
    CopyChunk(address - start, chunk);
    if (std::all_of(chunk.begin(), chunk.end(), [](uint8_t b) { return b == kErasedByte; }))
      continue;
    if (!idle) {
      last_failure_ = {device_gone() ? FailureKind::kDeviceGone : FailureKind::kFlashNotReady,
                       address};
      return false;
    }
    // A 256-byte chunk is 128 word requests with no wait between them; the
    // clock's yield after each word keeps the window answering meanwhile.
    FlashAaiProgram(link_, address, program_chunk_size_, chunk.data(), [this] { clock_.PumpPoint(); });
    // Ends the word-program mode, which otherwise keeps the flash busy.
    FlashWriteDisable(link_);
    programmed = true;
  }
  // A lost write disable leaves the part ignoring the verify's reads, which
  // then see 0xFF; the status register tells whether the sequence ended.
  return !programmed || !WordProgrammingEnded();
}

Failure FlashOperations::WordProgrammingEnded() {
  uint8_t status = 0;
  for (int poll = 0; poll < kShortStatusPolls; ++poll) {
    status = FlashReadStatus(link_);
    if ((status & (kStatusAaiSequence | kStatusBusy)) == 0) return {};
    if (device_gone()) break;
    // The busy bit of the last word clears by itself; the sequence does not.
    if ((status & kStatusBusy) == 0) break;
    clock_.Sleep(kShortPollMs);
  }
  const Failure failure{FailureKind::kWordProgramOpen, 0, status};
  Fail(failure);
  return failure;
}

Failure FlashOperations::EndWordProgramming() {
  if (!use_aai_program_) return {};
  FlashWriteDisable(link_);
  return WordProgrammingEnded();
}

void FlashOperations::WaitStatusIdle() {
  for (int poll = 0; poll < kStatusPolls; ++poll) {
    const uint64_t refused_before = link_.refused_requests();
    const uint8_t status = FlashReadStatus(link_);
    if (device_gone()) return;
    // A read the device did not carry hands back whatever its buffer held,
    // perhaps a byte of flash: it is no status to report.
    if (link_.refused_requests() == refused_before) view_.NoteFlashStatus(status);
    if (!Busy(status)) return;
    view_.PumpMessages();
    clock_.Sleep(kStatusPollMs);
  }
}

bool FlashOperations::SelectProgramMode() {
  // A failed read leaves the previous ID bytes in force.
  FlashId id = {};
  const bool read = FlashReadId(link_, &id);
  if (read) flash_id_ = id;
  const bool small_pages =
      flash_id_[0] == kManufacturerSmallPage && flash_id_[1] == kMemoryTypeSmallPage;
  program_chunk_size_ = small_pages ? kSmallChunkSize : kPageChunkSize;
  use_aai_program_ = flash_id_[0] == kManufacturerAai;
  // All zeros or all ones is the pass-through answering with no flash on the
  // pins (not routed, not powered), not a part.
  auto all = [&id](uint8_t byte) {
    return std::all_of(id.begin(), id.end(), [byte](uint8_t b) { return b == byte; });
  };
  return read && !all(0x00) && !all(0xFF);
}

}  // namespace korvalen
