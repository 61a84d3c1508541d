// The ISP page's button bodies: each opens the link, does its work and closes
// the link again, so the window's handlers only read controls and write the
// returned text.
#include <algorithm>
#include <fstream>
#include <string>
#include <system_error>

#include "flash/FlashBusyScope.h"
#include "flash/FlashOperations.h"
#include "flash/HexText.h"
#include "image/HexDigits.h"
#include "image/PathText.h"
#include "link/Registers.h"

namespace korvalen {
namespace {

// Bytes of the read-back buffer that no read reached show as this.
constexpr uint8_t kUnreadFill = 0x5A;
constexpr uint32_t kDumpBytesPerLine = 16;
// Routing register of bank 13 that hands the flash pins to the host.
constexpr uint8_t kRegIspPins = 1;
constexpr uint8_t kIspPinsToHost = 3;
constexpr int64_t kBytesPerKb = 1024;

constexpr std::string_view kBusyText = "A flash operation is still running";

}  // namespace

bool FlashOperations::EraseFlash(bool all_range) {
  if (busy()) return false;
  BusyScope scope(*this);
  ClearStop();
  return EraseBody(all_range);
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
  if (!value) return TypedHexError(typed);
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
  const uint32_t end = DataEnd(start);
  link_.Open();
  // Before any sequence has run no chunk size is known yet.
  if (program_chunk_size_ == 0 && start < end) SelectProgramMode();
  const bool passed = ProgramRange(start, end);
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

std::optional<bool> FlashOperations::ToggleIspMode() {
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
  return isp_mode_active_;
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
      failure = "Cannot create the dump file " + PathText(path);
    } else {
      file.write(text.data(), static_cast<std::streamsize>(text.size()));
      file.close();
      if (!file) failure = "Cannot write the dump file " + PathText(path);
    }
  }
  if (failure.empty()) {
    std::error_code error;
    std::filesystem::rename(part, path, error);
    if (error) failure = "Cannot write the dump file " + PathText(path) + ": " + error.message();
  }
  if (failure.empty()) return std::nullopt;
  std::error_code ignored;
  std::filesystem::remove(part, ignored);
  view_.ShowProcessInfo(failure);
  return failure;
}

}  // namespace korvalen
