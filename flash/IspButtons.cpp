// The ISP page's button bodies: each opens the link, does its work and closes
// the link again, so the window's handlers only read controls and write the
// returned text.
#include <algorithm>
#include <cctype>
#include <fstream>
#include <string>
#include <system_error>

#include "flash/FlashBusyScope.h"
#include "flash/FlashOperations.h"
#include "flash/HexText.h"
#include "link/Registers.h"

namespace korvalen {
namespace {

// Sector erases step through the range 4 KiB at a time.
constexpr uint32_t kSectorSize = 0x1000;
// The flash needs a moment after an erase command before its status means
// anything.
constexpr uint32_t kEraseSettleMs = 10;
// The chip-erase text grows by one dot every 20 polls and cycles through
// zero to nine dots, so a running erase visibly moves.
constexpr int kPollsPerDot = 20;
constexpr int kDotCycle = 10;
// Bytes of the read-back buffer that no read reached show as this.
constexpr uint8_t kUnreadFill = 0x5A;
constexpr uint32_t kDumpBytesPerLine = 16;
// Routing register of bank 13 that hands the flash pins to the host.
constexpr uint8_t kRegIspPins = 1;
constexpr uint8_t kIspPinsToHost = 3;
// Typed values convert as up to eight hexadecimal digits.
constexpr size_t kMaxTypedHexDigits = 8;
constexpr int64_t kBytesPerKb = 1024;

constexpr std::string_view kEraseAllText = "Flash Erase All ";
constexpr std::string_view kSectorEraseText = "Flash Sector Erase";
constexpr std::string_view kSectorAddressText = "Flash Sector Erase: 0x ";
constexpr std::string_view kEraseFailText = "Erase Flash Fail";
constexpr std::string_view kEraseStoppedText = "Erase Flash Stopped";
constexpr std::string_view kBusyText = "A flash operation is still running";

std::string StatusRegisterText(uint8_t status) {
  return "Status Register: 0x" + HexByteText(status);
}

// Hex digits only, no prefix or sign; nullopt when the text is empty, holds
// anything else, or does not fit 32 bits.
std::optional<uint32_t> ParseTypedHex(std::string_view typed) {
  if (typed.empty()) return std::nullopt;
  uint64_t value = 0;
  for (const char c : typed) {
    if (!std::isxdigit(static_cast<unsigned char>(c))) return std::nullopt;
    const int digit = std::isdigit(static_cast<unsigned char>(c))
                          ? c - '0'
                          : std::toupper(static_cast<unsigned char>(c)) - 'A' + 10;
    value = value * 16 + static_cast<uint64_t>(digit);
    if (value > 0xFFFFFFFFu) return std::nullopt;
  }
  // Leading zeros aside, more than eight digits cannot fit; the check above
  // already refused them.
  static_assert(kMaxTypedHexDigits * 4 == 32);
  return static_cast<uint32_t>(value);
}

}  // namespace

bool FlashOperations::EraseFlash(bool all_range) {
  if (busy()) return false;
  BusyScope scope(*this);
  ClearStop();
  return EraseBody(all_range);
}

bool FlashOperations::EraseBody(bool all_range) {
  link_.Open();
  bool timed_out = false;
  bool stopped = false;
  if (all_range) {
    view_.ShowProcessInfo(kEraseAllText);
    FlashWriteEnable(link_);
    FlashChipErase(link_);
    clock_.Sleep(kEraseSettleMs);
    const PollOutcome outcome = PollEraseDone([this](int poll, uint8_t status) {
      const size_t dots = static_cast<size_t>((poll / kPollsPerDot) % kDotCycle);
      view_.ShowProcessInfo(std::string(kEraseAllText) + std::string(dots, '.'));
      view_.ShowStatusRegister(StatusRegisterText(status));
    });
    timed_out = outcome == PollOutcome::kTimedOut;
    stopped = outcome == PollOutcome::kStopped;
  } else {
    view_.ShowProcessInfo(kSectorEraseText);
    const uint64_t end = uint64_t{flash_range_start_} + flash_range_size_;
    for (uint64_t sector = flash_range_start_; sector < end; sector += kSectorSize) {
      if (stop_requested_) {
        stopped = true;
        break;
      }
      const auto address = static_cast<uint32_t>(sector);
      FlashWriteEnable(link_);
      FlashSectorErase(link_, address);
      clock_.Sleep(kEraseSettleMs);
      const PollOutcome outcome = PollEraseDone([this, address](int, uint8_t status) {
        view_.ShowProcessInfo(std::string(kSectorAddressText) + HexAddressText(address));
        view_.ShowStatusRegister(StatusRegisterText(status));
      });
      // Any sector that never finished leaves the range unerased, so the
      // whole erase fails even when later sectors go through.
      if (outcome == PollOutcome::kTimedOut) timed_out = true;
      if (outcome == PollOutcome::kStopped) {
        stopped = true;
        break;
      }
    }
  }
  link_.Close();
  if (stopped || timed_out) {
    view_.ShowProcessInfo(stopped ? kEraseStoppedText : kEraseFailText);
    step_failed_ = true;
    return false;
  }
  return true;
}

std::optional<std::string> FlashOperations::ChipIdText() {
  if (busy()) return std::nullopt;
  BusyScope scope(*this);
  link_.Open();
  FlashId id = {};
  if (FlashReadId(link_, &id)) flash_id_ = id;
  link_.Close();
  std::string text;
  for (const uint8_t byte : flash_id_) text += "0x" + HexByteText(byte) + ",  ";
  return text;
}

std::optional<std::string> FlashOperations::StatusText() {
  if (busy()) return std::nullopt;
  BusyScope scope(*this);
  link_.Open();
  const uint8_t status = FlashReadStatus(link_);
  link_.Close();
  return "0x" + HexByteText(status);
}

bool FlashOperations::WriteEnable() {
  if (busy()) return false;
  BusyScope scope(*this);
  link_.Open();
  const bool sent = FlashWriteEnable(link_);
  link_.Close();
  return sent;
}

bool FlashOperations::WriteDisable() {
  if (busy()) return false;
  BusyScope scope(*this);
  link_.Open();
  const bool sent = FlashWriteDisable(link_);
  link_.Close();
  return sent;
}

bool FlashOperations::WriteStatus(uint8_t value) {
  if (busy()) return false;
  BusyScope scope(*this);
  link_.Open();
  const bool sent = FlashWriteStatus(link_, value);
  link_.Close();
  return sent;
}

std::optional<std::string> FlashOperations::WriteStatusFromText(std::string_view typed) {
  const std::optional<uint32_t> value = ParseTypedHex(typed);
  if (!value) return "'0x" + std::string(typed) + "' is not a valid integer value";
  if (!WriteStatus(static_cast<uint8_t>(*value & 0xFF))) {
    if (busy()) return std::string(kBusyText);
  }
  return std::nullopt;
}

uint32_t FlashOperations::DataStart(bool all_range) const {
  return all_range ? 0 : flash_range_start_;
}

uint32_t FlashOperations::DataEnd(uint32_t start) const {
  // Saturates instead of wrapping; SpanFits then refuses the span.
  const uint64_t end = uint64_t{start} + image_length_;
  return static_cast<uint32_t>(std::min<uint64_t>(end, UINT32_MAX));
}

bool FlashOperations::BlankCheck(bool all_range) {
  if (busy()) return false;
  BusyScope scope(*this);
  ClearStop();
  view_.ShowProcessInfo("Start Blanking Check");
  const uint32_t start = DataStart(all_range);
  link_.Open();
  const bool passed = BlankCheckRange(start, DataEnd(start));
  if (passed) view_.ShowProcessInfo("Blanking Success");
  link_.Close();
  return passed;
}

bool FlashOperations::Program(bool all_range) {
  if (busy()) return false;
  BusyScope scope(*this);
  ClearStop();
  view_.ShowProcessInfo("Start Programming...");
  const uint32_t start = DataStart(all_range);
  link_.Open();
  // Before any sequence has run no chunk size is known yet.
  if (program_chunk_size_ == 0) SelectProgramMode();
  const bool passed = ProgramRange(start, DataEnd(start));
  if (passed) view_.ShowProcessInfo("Programming Success");
  link_.Close();
  return passed;
}

bool FlashOperations::Verify(bool all_range) {
  if (busy()) return false;
  BusyScope scope(*this);
  ClearStop();
  view_.ShowProcessInfo("Start Verifying Check");
  const uint32_t start = DataStart(all_range);
  link_.Open();
  const bool passed = VerifyRange(start, DataEnd(start));
  if (passed) view_.ShowProcessInfo("Verifying Success");
  link_.Close();
  return passed;
}

bool FlashOperations::ReadBack() {
  if (busy()) return false;
  BusyScope scope(*this);
  ClearStop();
  view_.ShowProcessInfo("Read Flash data back");
  link_.Open();
  std::fill_n(read_back_buffer_.begin(), kReadBackDumpSize, kUnreadFill);
  const bool passed = ReadBackRange(0, kReadBackDumpSize);
  if (passed) view_.ShowProcessInfo("Read Flash content Success");
  link_.Close();
  return passed;
}

std::optional<std::string_view> FlashOperations::ToggleIspMode() {
  if (busy() || !link_.IsPresent()) return std::nullopt;
  BusyScope scope(*this);
  link_.Open();
  if (isp_mode_active_) {
    SetIspMode(link_, false);
    isp_mode_active_ = false;
  } else {
    SelectBank(link_, kBankIspRouting);
    WriteRegister(link_, kRegIspPins, kIspPinsToHost);
    SetIspMode(link_, true);
    isp_mode_active_ = true;
  }
  link_.Close();
  // The caption follows the toggle, whatever the device answered.
  return isp_mode_active_ ? kCaptionExitIsp : kCaptionEnterIsp;
}

std::optional<std::string> FlashOperations::ChooseRange(bool all_range, int64_t start_kb,
                                                        int64_t size_kb) {
  if (all_range) {
    flash_range_start_ = 0;
    flash_range_size_ = kAllRangeSize;
    return std::nullopt;
  }
  constexpr int64_t kLimitKb = kFlashAddressLimit / kBytesPerKb;
  if (start_kb < 0 || size_kb < 0 || start_kb > kLimitKb || size_kb > kLimitKb ||
      start_kb + size_kb > kLimitKb) {
    return "Flash range must lie within 0 to " + std::to_string(kLimitKb) + " KB";
  }
  flash_range_start_ = static_cast<uint32_t>(start_kb * kBytesPerKb);
  flash_range_size_ = static_cast<uint32_t>(size_kb * kBytesPerKb);
  return std::nullopt;
}

std::string FlashOperations::ReadBackDumpText() const {
  std::string text;
  text.reserve(kReadBackDumpSize / kDumpBytesPerLine * (kDumpBytesPerLine * 6 + 1));
  for (uint32_t row = 0; row < kReadBackDumpSize; row += kDumpBytesPerLine) {
    for (uint32_t k = 0; k < kDumpBytesPerLine; ++k)
      text += "0x" + HexByteText(read_back_buffer_[row + k]) + ", ";
    text += '\r';
  }
  return text;
}

std::optional<std::string> FlashOperations::SaveReadBackDump(const std::filesystem::path& path) {
  // Written beside the target first, so a failed write never leaves a
  // half-written dump in place of an older file.
  std::filesystem::path part = path;
  part += ".part";
  const std::string text = ReadBackDumpText();
  std::string failure;
  {
    std::ofstream file(part, std::ios::binary | std::ios::trunc);
    if (!file) {
      failure = "Cannot create the dump file " + path.string();
    } else {
      file.write(text.data(), static_cast<std::streamsize>(text.size()));
      file.close();
      if (!file) failure = "Cannot write the dump file " + path.string();
    }
  }
  if (failure.empty()) {
    std::error_code error;
    std::filesystem::rename(part, path, error);
    if (error) failure = "Cannot write the dump file " + path.string() + ": " + error.message();
  }
  if (failure.empty()) return std::nullopt;
  std::error_code ignored;
  std::filesystem::remove(part, ignored);
  view_.ShowProcessInfo(failure);
  return failure;
}

}  // namespace korvalen
