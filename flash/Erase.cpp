// Chip and sector erase with their bounded busy polls.
#include <string>

#include "flash/FlashOperations.h"
#include "flash/HexText.h"
#include "flash/UpdateWording.h"

namespace korvalen {
namespace {

// An erase keeps the flash busy for up to seconds: 1000 status reads 10 ms
// apart cover the slowest part's chip erase.
constexpr int kErasePolls = 1000;
constexpr uint32_t kErasePollMs = 10;
// The flash needs a moment after an erase command before its status means
// anything.
constexpr uint32_t kEraseSettleMs = 10;
// Sector erases step through the range 4 KiB at a time.
constexpr uint32_t kSectorSize = 0x1000;

constexpr std::string_view kSectorEraseText = "Flash Sector Erase";
constexpr std::string_view kSectorAddressText = "Flash Sector Erase: 0x ";

std::string StatusRegisterText(uint8_t status) {
  return "Status Register: 0x" + HexByteText(status);
}

}  // namespace

PollOutcome FlashOperations::PollEraseDone(
    const std::function<void(int poll, uint8_t status)>& show) {
  for (int poll = 0; poll < kErasePolls; ++poll) {
    const uint8_t status = FlashReadStatus(link_);
    // A device that is gone reads busy forever; waiting on it is pointless.
    if (device_gone()) return PollOutcome::kDeviceGone;
    show(poll, status);
    view_.PumpMessages();
    if ((status & kStatusBusy) == 0) return PollOutcome::kIdle;
    if (stop_requested_) return PollOutcome::kStopped;
    clock_.Sleep(kErasePollMs);
  }
  return PollOutcome::kTimedOut;
}

PollOutcome FlashOperations::ChipErase(
    const std::function<void(int poll, uint8_t status)>& polled) {
  // A stop asked for in the last pump must keep the flash as it is.
  if (stop_requested_) return PollOutcome::kStopped;
  FlashWriteEnable(link_);
  FlashChipErase(link_);
  clock_.Sleep(kEraseSettleMs);
  const PollOutcome outcome = PollEraseDone([this, &polled](int poll, uint8_t status) {
    view_.NoteProgress(ProgressStep::kErase, poll, kErasePolls);
    polled(poll, status);
  });
  if (outcome == PollOutcome::kIdle) {
    view_.NoteProgress(ProgressStep::kErase, kErasePolls, kErasePolls);
  }
  return outcome;
}

bool FlashOperations::EraseSectors(bool* timed_out) {
  view_.ShowProcessInfo(kSectorEraseText);
  const uint64_t end = uint64_t{flash_range_start_} + flash_range_size_;
  for (uint64_t sector = flash_range_start_; sector < end; sector += kSectorSize) {
    if (stop_requested_) return false;
    const auto address = static_cast<uint32_t>(sector);
    FlashWriteEnable(link_);
    FlashSectorErase(link_, address);
    clock_.Sleep(kEraseSettleMs);
    const PollOutcome outcome = PollEraseDone([this, address](int, uint8_t status) {
      view_.ShowProcessInfo(std::string(kSectorAddressText) + HexAddressText(address));
      view_.ShowStatusRegister(StatusRegisterText(status));
    });
    // Any sector that never finished leaves the range unerased, so the whole
    // erase fails even when later sectors go through.
    if (outcome == PollOutcome::kTimedOut) *timed_out = true;
    if (outcome == PollOutcome::kStopped || outcome == PollOutcome::kDeviceGone) return false;
  }
  return true;
}

bool FlashOperations::EraseBody(bool all_range) {
  link_.Open();
  bool timed_out = false;
  bool stopped = false;
  if (all_range) {
    view_.ShowProcessInfo(DefaultWording().erase_all);
    const PollOutcome outcome = ChipErase([this](int poll, uint8_t status) {
      view_.ShowProcessInfo(EraseProgressText(poll));
      view_.ShowStatusRegister(StatusRegisterText(status));
    });
    timed_out = outcome == PollOutcome::kTimedOut;
    stopped = outcome == PollOutcome::kStopped || outcome == PollOutcome::kDeviceGone;
  } else {
    stopped = !EraseSectors(&timed_out);
  }
  link_.Close();
  if (stopped || timed_out) {
    Fail({stopped && !device_gone() ? FailureKind::kEraseStopped : FailureKind::kEraseTimedOut});
    step_failed_ = true;
    return false;
  }
  return true;
}

}  // namespace korvalen
