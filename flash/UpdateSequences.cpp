#include "flash/UpdateSequences.h"

#include <string>

#include "flash/FlashBusyScope.h"
#include "flash/FlashCapacity.h"
#include "flash/FlashGate.h"
#include "link/FlashPassThrough.h"
#include "link/Registers.h"

namespace korvalen {
namespace {

constexpr int kUpdateAttempts = kGateAttempts;
constexpr uint32_t kRetryPauseMs = kGateRetryPauseMs;
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
  UpdateVerdict verdict;
  verdict.verdict = Verdict::kCancelled;
  view_.VerdictReached(verdict);
  flags_.sequence_busy = false;
}

void UpdateSequences::End() {
  running_ = Kind::kNone;
  flags_.sequence_busy = false;
}

void UpdateSequences::BeginStep(UpdateStep step) {
  step_ = step;
  step_open_ = true;
  step_refused_at_ = link_.refused_requests();
  view_.StepBegan(sequence_, step);
}

void UpdateSequences::EndStep(bool ok, Failure failure) {
  if (!step_open_) return;
  step_open_ = false;
  StepEnd end;
  end.sequence = sequence_;
  end.step = step_;
  end.ok = ok;
  if (!ok) end.failure = failure.kind == FailureKind::kNone && link_.DeviceGone()
                             ? Failure{FailureKind::kDeviceGone}
                             : failure;
  end.requests_not_carried = link_.refused_requests() - step_refused_at_;
  view_.StepEnded(end);
}

OneClickResult UpdateSequences::Conclude(const UpdateVerdict& verdict,
                                         const UpdateNotice& notice) {
  view_.VerdictReached(verdict);
  view_.PumpMessages();
  if (notice.kind != NoticeKind::kNone) view_.NoticeRaised(notice);
  flags_.update_finished = true;
  End();
  OneClickResult result;
  result.verdict = verdict;
  result.success = verdict.verdict == Verdict::kSuccess;
  result.left_update_mode = notice.kind == NoticeKind::kNone;
  return result;
}

OneClickResult UpdateSequences::RunOneClickUpdate() {
  // Only one sequence at a time: a second entry would close the link under
  // the running one.
  if (running_ != Kind::kNone || operations_.busy()) {
    // Refused: whatever runs keeps its own flags.
    flags_.sequence_busy = running_ != Kind::kNone;
    OneClickResult refused;
    refused.refused = true;
    return refused;
  }
  flags_.sequence_busy = true;
  running_ = Kind::kOneClick;
  sequence_ = SequenceKind::kOneClick;
  FlashOperations::BusyScope scope(operations_);
  operations_.ClearStop();
  operations_.set_step_failed(false);
  view_.SequenceBegan(SequenceKind::kOneClick);

  // The span is always [0, image length) with image offset 0 at address 0.
  const uint32_t length = operations_.image_length();
  if (length == 0 || length > kFirmwareImageSize) {
    // Erasing the chip for an image with nothing to program would leave the
    // device without firmware, so the device is not touched at all.
    operations_.set_step_failed(true);
    UpdateVerdict verdict;
    verdict.reason = length == 0 ? VerdictReason::kImageEmpty : VerdictReason::kImageTooLarge;
    return Conclude(verdict, {});
  }

  erase_started_ = false;
  BeginStep(UpdateStep::kIspEntry);
  view_.PumpMessages();
  Failure entry_failure = EnterIspAndReadId(true);
  bool fit_checked = false;

  for (int attempt = 0; attempt < kUpdateAttempts; ++attempt) {
    if (attempt > 0 && entry_failure) {
      // The attempt before could not get in and changed nothing; this one
      // starts where the update starts.
      BeginStep(UpdateStep::kIspEntry);
      view_.PumpMessages();
      entry_failure = EnterIspAndReadId(true);
    }
    if (link_.DeviceGone()) return EndOneClickGone();
    bool passed = false;
    if (entry_failure) {
      // Without ISP mode or a flash ID, nothing may touch the flash.
      EndStep(false, entry_failure);
      view_.PumpMessages();
      operations_.set_step_failed(true);
    } else {
      // An image larger than the part would be erased and programmed three
      // times over for nothing, leaving the device blank; refuse it before
      // anything that changes the flash goes out.
      const bool too_large =
          !fit_checked && ImageDoesNotFitText(operations_.flash_id(), 0, length).has_value();
      fit_checked = true;
      if (too_large) {
        (void)SetIspMode(link_, false);  // nothing was changed; the verdict says why
        link_.Close();
        operations_.set_step_failed(true);
        UpdateVerdict verdict;
        verdict.reason = VerdictReason::kImageDoesNotFit;
        verdict.flash_id = operations_.flash_id();
        verdict.length = length;
        return Conclude(verdict, {});
      }
      passed = OneClickAttempt(length);
    }
    if (passed) {
      view_.AttemptEnded({attempt, true, false});
      break;
    }
    if (link_.DeviceGone()) return EndOneClickGone();
    // A stopped update ends like a failed one, without further attempts.
    if (operations_.stop_requested()) {
      view_.AttemptEnded({attempt, false, false});
      break;
    }
    view_.AttemptEnded({attempt, false, true});
    view_.PumpMessages();
    clock_.Sleep(kRetryPauseMs);
    view_.PauseEnded();
  }

  // Whatever the outcome, the flash is protected again and the chip leaves
  // ISP mode, so the device runs its firmware after a power cycle.
  // Every request of the way out counts: a lost status read in the final
  // wait or a lost routing write leaves the device as unsure as a refused
  // protection write.
  const uint64_t refused_before_exit = link_.refused_requests();
  const bool protected_again = ProtectAndWait();
  const bool left_isp = SetIspMode(link_, false);
  const bool exit_carried = link_.refused_requests() == refused_before_exit;
  link_.Close();

  UpdateVerdict verdict;
  if (!operations_.step_failed()) {
    verdict.verdict = Verdict::kSuccess;
  } else {
    verdict.verdict = operations_.stop_requested() ? Verdict::kStopped : Verdict::kFailed;
  }
  // The verdict is about the flash; a device that did not take these last
  // requests may still sit in update mode, and only a power cycle ends it.
  UpdateNotice notice;
  if (!(protected_again && left_isp && exit_carried)) notice.kind = NoticeKind::kStillInUpdateMode;
  return Conclude(verdict, notice);
}

Failure UpdateSequences::EnterIspAndReadId(bool isp_mode) {
  // The one-click update lets the ID read decide: a device may enter ISP mode
  // and still answer that request badly, and an ID that names a part shows
  // the flash is on the host's pins. The Auto sequence has no retry and stops
  // at a refused entry.
  const bool id_decides = sequence_ == SequenceKind::kOneClick;
  const GatePass pass =
      PassFlashGate(link_, operations_, isp_mode, [this, id_decides](const Failure& entry) {
        if (entry && !id_decides) return false;
        EndStep(!entry, entry);
        if (entry) view_.PumpMessages();
        BeginStep(UpdateStep::kIdRead);
        return true;
      });
  if (!pass.read_id) return pass.entry;
  if (pass.id) return pass.id;
  EndStep(true);
  return {};
}

UpdateNotice UpdateSequences::GoneNotice(SequenceKind sequence) const {
  UpdateNotice notice;
  notice.sequence = sequence;
  notice.kind = NoticeKind::kDeviceGone;
  notice.during = step_;
  notice.flash_may_have_changed = erase_started_;
  return notice;
}

OneClickResult UpdateSequences::EndOneClickGone() {
  link_.Close();
  operations_.set_step_failed(true);
  EndStep(false, {FailureKind::kDeviceGone});
  UpdateVerdict verdict;
  verdict.reason = VerdictReason::kDeviceGone;
  return Conclude(verdict, GoneNotice(SequenceKind::kOneClick));
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
  view_.PumpMessages();
  // A word-program sequence left open (its write disable lost) makes the
  // part ignore the erase and answer the blank check with 0xFF.
  if (const Failure still_open = operations_.EndWordProgramming()) {
    const bool gone = link_.DeviceGone();
    EndStep(false, gone ? Failure{FailureKind::kDeviceGone} : still_open);
    if (!gone) view_.PumpMessages();
    operations_.set_step_failed(true);
    return false;
  }
  const uint64_t refused_before_status = link_.refused_requests();
  const uint8_t status_before = FlashReadStatus(link_);
  if (link_.refused_requests() == refused_before_status) view_.NoteFlashStatus(status_before);
  (void)FlashWriteEnable(link_);  // a refusal shows in the step's uncarried requests
  (void)FlashWriteStatus(link_, kStatusUnprotected);
  operations_.WaitStatusIdle();
  if (link_.DeviceGone()) return false;
  EndStep(true);
  if (stopped()) return false;

  // The whole chip, always; the assigned range plays no part here.
  const bool erased = ChipEraseForUpdate();
  if (link_.DeviceGone()) return false;
  // The rest of the attempt, and the next attempt after a failed erase, run
  // on a fresh handle.
  link_.Open();
  if (!erased) return false;

  return RunDataSteps(true, true, true, 0, length);
}

bool UpdateSequences::ChipEraseForUpdate() {
  BeginStep(UpdateStep::kErase);
  // From here on the flash may differ from what it held before the run.
  erase_started_ = true;
  view_.PumpMessages();
  const PollOutcome outcome = operations_.ChipErase(
      [this](int poll, uint8_t status) { view_.ErasePolled(poll, status); });
  if (outcome == PollOutcome::kIdle) {
    EndStep(true);
    return true;
  }
  operations_.set_step_failed(true);
  if (outcome == PollOutcome::kTimedOut) {
    EndStep(false, {FailureKind::kEraseTimedOut});
    view_.PumpMessages();
  } else if (outcome == PollOutcome::kStopped) {
    EndStep(false, {FailureKind::kEraseStopped});
  }
  return false;
}

bool UpdateSequences::RunDataSteps(bool blank, bool program, bool verify, uint32_t start,
                                   uint32_t end) {
  struct Step {
    bool chosen;
    UpdateStep name;
    bool (FlashOperations::*run)(uint32_t, uint32_t);
  };
  const Step steps[] = {
      {blank, UpdateStep::kBlankCheck, &FlashOperations::BlankCheckRange},
      {program, UpdateStep::kProgram, &FlashOperations::ProgramRange},
      {verify, UpdateStep::kVerify, &FlashOperations::VerifyRange},
  };
  for (const Step& step : steps) {
    if (!step.chosen || operations_.step_failed() || link_.DeviceGone()) continue;
    if (operations_.stop_requested()) {
      operations_.set_step_failed(true);
      // The step that would have come next did not run.
      step_ = step.name;
      step_open_ = true;
      step_refused_at_ = link_.refused_requests();
      EndStep(false, {FailureKind::kStopped});
      view_.PumpMessages();
      break;
    }
    BeginStep(step.name);
    view_.PumpMessages();
    if ((operations_.*step.run)(start, end)) {
      EndStep(true);
      view_.PumpMessages();
    } else {
      operations_.set_step_failed(true);
      EndStep(false, operations_.last_failure());
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

AutoBlocker UpdateSequences::AutoPrecondition(bool program_file_ready,
                                              std::string_view file_box_text) const {
  if (!link_.IsPresent()) return AutoBlocker::kNoDevice;
  if (!program_file_ready && file_box_text.empty()) return AutoBlocker::kFileNotReady;
  return AutoBlocker::kNone;
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
  // Refused while something else owns the link; the other run keeps its
  // flags.
  if (!BeginAuto()) return AutoResult{false, false};
  FlashOperations::BusyScope scope(operations_);
  operations_.set_step_failed(false);
  sequence_ = SequenceKind::kAuto;
  step_open_ = false;
  view_.SequenceBegan(SequenceKind::kAuto);

  auto refuse = [this] {
    operations_.set_step_failed(true);
    End();
    return AutoResult{false, false};
  };
  auto refuse_for = [&](VerdictReason reason) {
    UpdateVerdict verdict;
    verdict.sequence = SequenceKind::kAuto;
    verdict.reason = reason;
    view_.VerdictReached(verdict);
    return refuse();
  };
  uint32_t start = 0;
  if (!options.all_range) {
    if (auto error = operations_.ChooseRange(false, options.start_kb, options.size_kb)) {
      view_.ShowProcessInfo(*error);
      return refuse();
    }
    start = operations_.flash_range_start();
  }
  const uint32_t length = operations_.image_length();
  if (length > kFirmwareImageSize) return refuse_for(VerdictReason::kImageTooLarge);
  // Erasing and then programming nothing would report success over an empty
  // flash.
  if (options.program && length == 0) return refuse_for(VerdictReason::kImageEmpty);
  const uint32_t end = start + length;  // both bounded: no wrap

  erase_started_ = false;
  BeginStep(UpdateStep::kIspEntry);
  view_.PumpMessages();
  const Failure entry_failure = EnterIspAndReadId(options.isp_mode);

  // Nothing has changed the flash yet: leave ISP mode again and say why.
  auto leave = [&](const std::function<void()>& say) {
    if (options.isp_mode && !link_.DeviceGone()) (void)SetIspMode(link_, false);
    link_.Close();
    say();
    return refuse();
  };
  auto say_gone = [this] { view_.NoticeRaised(GoneNotice(SequenceKind::kAuto)); };
  if (link_.DeviceGone()) return leave(say_gone);
  const bool touches_flash = options.erase || options.blank || options.program || options.verify;
  // Without ISP mode or a flash ID nothing may touch the flash.
  if (entry_failure && touches_flash)
    return leave([&] { EndStep(false, entry_failure); });
  // A span past the end of the part would wrap onto its first bytes.
  if (touches_flash && ImageDoesNotFitText(operations_.flash_id(), start, length)) {
    return leave([&] {
      UpdateVerdict verdict;
      verdict.sequence = SequenceKind::kAuto;
      verdict.reason = VerdictReason::kImageDoesNotFit;
      verdict.flash_id = operations_.flash_id();
      verdict.start = start;
      verdict.length = length;
      view_.VerdictReached(verdict);
    });
  }
  // A word-program sequence left open would make the part ignore the erase
  // and the reads, and put the first words wherever the old sequence was.
  if (touches_flash) {
    if (const Failure still_open = operations_.EndWordProgramming()) {
      if (link_.DeviceGone()) return leave(say_gone);
      return leave([&] { view_.OperationFailed(still_open); });
    }
  }

  if (options.erase && !operations_.stop_requested()) {
    BeginStep(UpdateStep::kStatusClear);
    view_.PumpMessages();
    (void)FlashReadStatus(link_);  // the clear reads the status first, as the chip expects
    (void)FlashWriteEnable(link_);
    (void)FlashWriteStatus(link_, kStatusUnprotected);
    operations_.WaitStatusIdle();
    if (!link_.DeviceGone()) {
      EndStep(true);
      BeginStep(UpdateStep::kErase);
      erase_started_ = true;
      // Opens and closes the link itself, and words its own lines.
      const bool erased = operations_.EraseBody(options.all_range);
      EndStep(erased, operations_.last_failure());
    }
  }
  if (!link_.DeviceGone()) link_.Open();

  RunDataSteps(options.blank, options.program, options.verify, start, end);
  if (link_.DeviceGone()) {
    // Nothing more can reach the device: no protection write, no ISP exit.
    link_.Close();
    say_gone();
    operations_.set_step_failed(true);
    End();
    return AutoResult{false, operations_.stop_requested()};
  }

  const bool stopped = operations_.stop_requested();
  if (stopped) operations_.set_step_failed(true);
  if (options.protect) (void)ProtectAndWait();  // the Auto sequence has no notice line
  if (options.isp_mode) (void)SetIspMode(link_, false);
  link_.Close();

  const bool success = !operations_.step_failed();
  End();
  return AutoResult{success, stopped};
}

}  // namespace korvalen
