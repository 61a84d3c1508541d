#include "flash/UpdateSequences.h"

#include <string>

#include "flash/FlashBusyScope.h"
#include "flash/FlashCapacity.h"
#include "flash/UpdateTexts.h"
#include "link/FlashPassThrough.h"
#include "link/Registers.h"

namespace korvalen {
namespace {

constexpr int kUpdateAttempts = 3;
// The failed attempt's red text stays up this long before the next attempt.
constexpr uint32_t kRetryPauseMs = 1000;
// Clears every block-protection bit before erasing.
constexpr uint8_t kStatusUnprotected = 0x00;
// Protection values after a run: word-program parts keep their status
// register's top bit clear.
constexpr uint8_t kProtectAai = 0x7F;
constexpr uint8_t kProtectPaged = 0xFF;

}  // namespace

UpdateSequences::UpdateSequences(NorvaneUsb& link, Clock& clock, FlashView& view,
                                 FlashOperations& operations)
    : link_(link), clock_(clock), view_(view), operations_(operations) {}

ClickAction UpdateSequences::StartButtonAction() const {
  if (running_ == Kind::kOneClick) return ClickAction::kStop;
  if (running_ != Kind::kNone || operations_.busy() || flags_.update_finished)
    return ClickAction::kIgnore;
  return ClickAction::kStart;
}

ClickAction UpdateSequences::AutoButtonAction() const {
  if (running_ == Kind::kAuto) return ClickAction::kStop;
  if (running_ != Kind::kNone || operations_.busy()) return ClickAction::kIgnore;
  return ClickAction::kStart;
}

void UpdateSequences::BeginOneClick() {
  flags_.sequence_busy = true;
  operations_.set_step_failed(false);
}

void UpdateSequences::CancelOneClick() {
  view_.SetUpdateStatusStyle(StatusColour::kRed, StatusSize::kLarge);
  view_.ShowUpdateStatus(kAbortText);
  flags_.sequence_busy = false;
}

void UpdateSequences::ShowUpdateStep(std::string_view text) {
  view_.ShowUpdateStatus(text);
  view_.PumpMessages();
}

void UpdateSequences::ShowVerdict(std::string_view text, StatusColour colour) {
  view_.SetUpdateStatusStyle(colour, StatusSize::kLarge);
  view_.ShowUpdateStatus(text);
  view_.PumpMessages();
}

void UpdateSequences::End() {
  running_ = Kind::kNone;
  flags_.sequence_busy = false;
}

OneClickResult UpdateSequences::RunOneClickUpdate() {
  // Only one sequence at a time: a second entry would close the link under
  // the running one.
  if (running_ != Kind::kNone || operations_.busy()) {
    // Refused: whatever runs keeps its own flags; the Start button stays as
    // it was.
    flags_.sequence_busy = running_ != Kind::kNone;
    return OneClickResult{false, kCaptionStart, true};
  }
  flags_.sequence_busy = true;
  running_ = Kind::kOneClick;
  FlashOperations::BusyScope scope(operations_);
  operations_.ClearStop();
  operations_.set_step_failed(false);
  view_.SetUpdateStatusStyle(StatusColour::kWindowText, StatusSize::kNormal);

  // The span is always [0, image length) with image offset 0 at address 0.
  const uint32_t length = operations_.image_length();
  if (length == 0 || length > kFirmwareImageSize) {
    // Erasing the chip for an image with nothing to program would leave the
    // device without firmware, so the device is not touched at all.
    operations_.set_step_failed(true);
    ShowVerdict(length == 0 ? "Firmware update Fail! The update file is empty."
                            : "Firmware update Fail! The update file is too large.",
                StatusColour::kRed);
    flags_.update_finished = true;
    End();
    return OneClickResult{false, kCaptionFinish, false};
  }

  erase_started_ = false;
  ShowUpdateStep(kEnterIspText);
  std::optional<std::string_view> entry_failure = EnterIspAndReadId(true);
  bool fit_checked = false;

  for (int attempt = 0; attempt < kUpdateAttempts; ++attempt) {
    if (attempt > 0 && entry_failure) {
      // The attempt before could not get in and changed nothing; this one
      // starts where the update starts.
      ShowUpdateStep(kEnterIspText);
      entry_failure = EnterIspAndReadId(true);
    }
    if (link_.DeviceGone()) return EndOneClickGone();
    if (entry_failure) {
      // Without ISP mode or a flash ID, nothing may touch the flash.
      ShowUpdateStep(*entry_failure);
      operations_.set_step_failed(true);
    } else {
      // An image larger than the part would be erased and programmed three
      // times over for nothing, leaving the device blank; refuse it before
      // anything that changes the flash goes out.
      const auto too_large =
          fit_checked ? std::nullopt : ImageDoesNotFitText(operations_.flash_id(), 0, length);
      fit_checked = true;
      if (too_large) {
        SetIspMode(link_, false);
        link_.Close();
        operations_.set_step_failed(true);
        ShowVerdict(std::string(kFailVerdict) + " " + *too_large + ".", StatusColour::kRed);
        flags_.update_finished = true;
        End();
        return OneClickResult{false, kCaptionFinish, false};
      }
      if (OneClickAttempt(length)) break;
    }
    if (link_.DeviceGone()) return EndOneClickGone();
    // A stopped update ends like a failed one, without further attempts.
    if (operations_.stop_requested()) break;
    view_.ShowUpdateStatus(kRetryText);
    view_.SetUpdateStatusStyle(StatusColour::kRed, StatusSize::kUnchanged);
    view_.PumpMessages();
    clock_.Sleep(kRetryPauseMs);
    view_.SetUpdateStatusStyle(StatusColour::kWindowText, StatusSize::kUnchanged);
  }

  // Whatever the outcome, the flash is protected again and the chip leaves
  // ISP mode, so the device runs its firmware after a power cycle.
  const bool protected_again = ProtectAndWait();
  const bool left_isp = SetIspMode(link_, false);
  link_.Close();

  const bool success = !operations_.step_failed();
  if (success) {
    ShowVerdict(kSuccessVerdict, StatusColour::kBlue);
  } else {
    ShowVerdict(kFailVerdict, StatusColour::kRed);
  }
  // The verdict is about the flash; a device that did not take these last
  // requests may still sit in update mode, and only a power cycle ends it.
  const bool left_update_mode = protected_again && left_isp;
  if (!left_update_mode) view_.ShowUpdateNotice(kStillInUpdateModeText);
  flags_.update_finished = true;
  End();
  OneClickResult result{success, kCaptionFinish, false};
  result.left_update_mode = left_update_mode;
  return result;
}

std::optional<std::string_view> UpdateSequences::EnterIspAndReadId(bool isp_mode) {
  BeginStep(UpdateStep::kIspEntry);
  link_.Open();
  if (isp_mode && !SetIspMode(link_, true)) return kEnterIspFailText;
  BeginStep(UpdateStep::kIdRead);
  if (!operations_.SelectProgramMode()) return kReadIdFailText;
  return std::nullopt;
}

void UpdateSequences::BeginStep(UpdateStep step) {
  step_ = step;
  view_.NoteUpdateStep(step);
}

std::string UpdateSequences::DeviceGoneText() const {
  std::string_view during;
  switch (step_) {
    case UpdateStep::kIspEntry:
      during = "the entry into update mode";
      break;
    case UpdateStep::kIdRead:
      during = "the flash ID read";
      break;
    case UpdateStep::kStatusClear:
      during = "the status register clear";
      break;
    case UpdateStep::kErase:
      during = "the erase";
      break;
    case UpdateStep::kBlankCheck:
      during = "the blank check";
      break;
    case UpdateStep::kProgram:
      during = "programming";
      break;
    case UpdateStep::kVerify:
      during = "the verify";
      break;
  }
  return "The device stopped answering during " + std::string(during) + ". " +
         (erase_started_ ? "The flash may have changed. " : "The flash was not changed. ") +
         "Plug the device in again and run the update again.";
}

OneClickResult UpdateSequences::EndOneClickGone() {
  link_.Close();
  operations_.set_step_failed(true);
  ShowVerdict(kFailVerdict, StatusColour::kRed);
  view_.ShowUpdateNotice(DeviceGoneText());
  flags_.update_finished = true;
  End();
  OneClickResult result{false, kCaptionFinish, false};
  result.left_update_mode = false;
  return result;
}

bool UpdateSequences::OneClickAttempt(uint32_t length) {
  operations_.set_step_failed(false);
  auto stopped = [this] {
    if (!operations_.stop_requested()) return false;
    operations_.set_step_failed(true);
    return true;
  };
  if (stopped()) return false;

  BeginStep(UpdateStep::kStatusClear);
  ShowUpdateStep(kClearStatusText);
  // A word-program sequence left open (its write disable lost) makes the
  // part ignore the erase and answer the blank check with 0xFF.
  if (const auto still_open = operations_.EndWordProgramming()) {
    if (!link_.DeviceGone()) ShowUpdateStep(*still_open);
    operations_.set_step_failed(true);
    return false;
  }
  view_.NoteFlashStatus(FlashReadStatus(link_));
  FlashWriteEnable(link_);
  FlashWriteStatus(link_, kStatusUnprotected);
  operations_.WaitStatusIdle();
  if (link_.DeviceGone()) return false;
  if (stopped()) return false;

  // The whole chip, always; the assigned range plays no part here.
  const bool erased = ChipEraseForUpdate();
  if (link_.DeviceGone()) return false;
  // The rest of the attempt, and the next attempt after a failed erase, run
  // on a fresh handle.
  link_.Open();
  if (!erased) return false;

  auto show = [this](std::string_view text) { ShowUpdateStep(text); };
  return RunDataSteps(true, true, true, 0, length, show);
}

bool UpdateSequences::ChipEraseForUpdate() {
  BeginStep(UpdateStep::kErase);
  // From here on the flash may differ from what it held before the run.
  erase_started_ = true;
  ShowUpdateStep(kEraseAllText);
  const PollOutcome outcome = operations_.ChipErase(
      [this](std::string_view text, uint8_t) { view_.ShowUpdateStatus(text); });
  if (outcome == PollOutcome::kIdle) return true;
  if (outcome == PollOutcome::kTimedOut) ShowUpdateStep(kEraseFailText);
  operations_.set_step_failed(true);
  return false;
}

bool UpdateSequences::RunDataSteps(bool blank, bool program, bool verify, uint32_t start,
                                   uint32_t end,
                                   const std::function<void(std::string_view)>& show) {
  struct Step {
    bool chosen;
    UpdateStep name;
    std::string_view start_text;
    std::string_view success_text;
    bool (FlashOperations::*run)(uint32_t, uint32_t);
  };
  const Step steps[] = {
      {blank, UpdateStep::kBlankCheck, kBlankCheckStartText, "Blanking Success",
       &FlashOperations::BlankCheckRange},
      {program, UpdateStep::kProgram, kProgramStartText, "Programming Success",
       &FlashOperations::ProgramRange},
      {verify, UpdateStep::kVerify, kVerifyStartText, "Verifying Success",
       &FlashOperations::VerifyRange},
  };
  for (const Step& step : steps) {
    if (!step.chosen || operations_.step_failed() || link_.DeviceGone()) continue;
    if (operations_.stop_requested()) {
      operations_.set_step_failed(true);
      show(kStoppedText);
      break;
    }
    BeginStep(step.name);
    show(step.start_text);
    if ((operations_.*step.run)(start, end)) {
      show(step.success_text);
    } else {
      operations_.set_step_failed(true);
    }
  }
  return !operations_.step_failed();
}

bool UpdateSequences::ProtectAndWait() {
  // After a stop the flash may still be erasing and would ignore the
  // protection write; let it finish first.
  if (operations_.stop_requested()) operations_.WaitStatusIdle();
  const bool enabled = FlashWriteEnable(link_);
  const bool written =
      FlashWriteStatus(link_, operations_.use_aai_program() ? kProtectAai : kProtectPaged);
  operations_.WaitStatusIdle();
  return enabled && written;
}

std::optional<std::string_view> UpdateSequences::AutoPrecondition(
    bool program_file_ready, std::string_view file_box_text) const {
  if (!link_.IsPresent()) return kNoDeviceText;
  if (!program_file_ready && file_box_text.empty()) return kFileNotReadyText;
  return std::nullopt;
}

bool UpdateSequences::BeginAuto() {
  if (running_ == Kind::kAuto) return true;
  if (running_ != Kind::kNone || operations_.busy()) return false;
  flags_.sequence_busy = true;
  running_ = Kind::kAuto;
  operations_.ClearStop();
  operations_.set_step_failed(false);
  return true;
}

AutoResult UpdateSequences::RunAuto(const AutoOptions& options) {
  // Refused while something else owns the link; the Auto button keeps its
  // caption and the other run its flags.
  if (!BeginAuto()) return AutoResult{false, false, kCaptionAuto};
  FlashOperations::BusyScope scope(operations_);
  operations_.set_step_failed(false);

  auto refuse = [this](std::string_view reason) {
    view_.ShowProcessInfo(reason);
    operations_.set_step_failed(true);
    End();
    return AutoResult{false, false, kCaptionAuto};
  };
  uint32_t start = 0;
  if (!options.all_range) {
    if (auto error = operations_.ChooseRange(false, options.start_kb, options.size_kb))
      return refuse(*error);
    start = operations_.flash_range_start();
  }
  const uint32_t length = operations_.image_length();
  if (length > kFirmwareImageSize) return refuse("The program file is too large");
  // Erasing and then programming nothing would report success over an empty
  // flash.
  if (options.program && length == 0) return refuse("The program file is empty");
  const uint32_t end = start + length;  // both bounded: no wrap

  erase_started_ = false;
  view_.ShowProcessInfo(kEnterIspText);
  view_.PumpMessages();
  const auto entry_failure = EnterIspAndReadId(options.isp_mode);

  // Nothing has changed the flash yet: leave ISP mode again and say why.
  auto leave = [&](std::string_view reason) {
    if (options.isp_mode && !link_.DeviceGone()) SetIspMode(link_, false);
    link_.Close();
    return refuse(reason);
  };
  if (link_.DeviceGone()) return leave(DeviceGoneText());
  const bool touches_flash = options.erase || options.blank || options.program || options.verify;
  // Without ISP mode or a flash ID nothing may touch the flash.
  if (entry_failure && touches_flash) return leave(*entry_failure);
  // A span past the end of the part would wrap onto its first bytes.
  if (const auto too_large = ImageDoesNotFitText(operations_.flash_id(), start, length);
      too_large && touches_flash) {
    return leave(*too_large);
  }
  // A word-program sequence left open would make the part ignore the erase
  // and the reads, and put the first words wherever the old sequence was.
  if (touches_flash) {
    if (const auto still_open = operations_.EndWordProgramming())
      return leave(link_.DeviceGone() ? DeviceGoneText() : *still_open);
  }

  if (options.erase && !operations_.stop_requested()) {
    BeginStep(UpdateStep::kStatusClear);
    view_.ShowProcessInfo(kClearStatusText);
    view_.PumpMessages();
    FlashReadStatus(link_);
    FlashWriteEnable(link_);
    FlashWriteStatus(link_, kStatusUnprotected);
    operations_.WaitStatusIdle();
    if (!link_.DeviceGone()) {
      BeginStep(UpdateStep::kErase);
      erase_started_ = true;
      // Opens and closes the link itself.
      operations_.EraseBody(options.all_range);
    }
  }
  if (!link_.DeviceGone()) link_.Open();

  auto show = [this](std::string_view text) {
    view_.ShowProcessInfo(text);
    view_.PumpMessages();
  };
  RunDataSteps(options.blank, options.program, options.verify, start, end, show);
  if (link_.DeviceGone()) {
    // Nothing more can reach the device: no protection write, no ISP exit.
    link_.Close();
    view_.ShowProcessInfo(DeviceGoneText());
    operations_.set_step_failed(true);
    End();
    return AutoResult{false, operations_.stop_requested(), kCaptionAuto};
  }

  const bool stopped = operations_.stop_requested();
  if (stopped) operations_.set_step_failed(true);
  if (options.protect) ProtectAndWait();
  if (options.isp_mode) SetIspMode(link_, false);
  link_.Close();

  const bool success = !operations_.step_failed();
  End();
  return AutoResult{success, stopped, kCaptionAuto};
}

}  // namespace korvalen
