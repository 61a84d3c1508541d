#include "flash/UpdateWording.h"

#include "flash/FlashCapacity.h"
#include "flash/HexText.h"

namespace korvalen {
namespace {

// The chip-erase text grows by one dot every 20 polls and cycles through
// zero to nine dots.
constexpr int kPollsPerDot = 20;
constexpr int kDotCycle = 10;

std::string_view DuringText(UpdateStep step) {
  switch (step) {
    case UpdateStep::kIspEntry:
      return "the entry into update mode";
    case UpdateStep::kIdRead:
      return "the flash ID read";
    case UpdateStep::kStatusClear:
      return "the status register clear";
    case UpdateStep::kErase:
      return "the erase";
    case UpdateStep::kBlankCheck:
      return "the blank check";
    case UpdateStep::kProgram:
      return "programming";
    case UpdateStep::kVerify:
      return "the verify";
  }
  return "the update";
}

}  // namespace

const UpdateWording& DefaultWording() {
  static const UpdateWording wording;
  return wording;
}

std::string FailureText(const Failure& failure, const UpdateWording& w) {
  switch (failure.kind) {
    case FailureKind::kNone:
    case FailureKind::kFlashNotReady:
    case FailureKind::kDeviceGone:
      return {};
    case FailureKind::kIspEntryRefused:
      return w.enter_isp_fail;
    case FailureKind::kIdNotRead:
      return w.read_id_fail;
    case FailureKind::kWordProgramOpen:
      return w.word_program_open + HexByteText(failure.status);
    case FailureKind::kEraseTimedOut:
      return w.erase_fail;
    case FailureKind::kEraseStopped:
      return w.erase_stopped;
    case FailureKind::kBlankDifference:
      return w.blank_fail_at + HexAddressText(failure.address);
    case FailureKind::kVerifyDifference:
      return w.verify_fail_at + HexAddressText(failure.address);
    case FailureKind::kStoppedAt:
      return w.stopped_at + HexAddressText(failure.address);
    case FailureKind::kStopped:
      return w.stopped;
    case FailureKind::kPastReadBackBuffer:
      return w.past_read_back + HexAddressText(failure.address);
    case FailureKind::kPastAddressSpace:
      return w.past_address_space + HexAddressText(failure.address);
    case FailureKind::kLargerThanImage:
      return w.larger_than_image + HexAddressText(failure.address);
    case FailureKind::kProgramModeNotChosen:
      return w.program_mode_not_chosen;
  }
  return {};
}

std::optional<std::string> StepBeganText(SequenceKind sequence, UpdateStep step,
                                         const UpdateWording& w) {
  switch (step) {
    case UpdateStep::kIspEntry:
      return w.enter_isp;
    case UpdateStep::kIdRead:
      return std::nullopt;
    case UpdateStep::kStatusClear:
      return w.clear_status;
    case UpdateStep::kErase:
      if (sequence == SequenceKind::kAuto) return std::nullopt;
      return w.erase_all;
    case UpdateStep::kBlankCheck:
      return w.blank_start;
    case UpdateStep::kProgram:
      return w.program_start;
    case UpdateStep::kVerify:
      return w.verify_start;
  }
  return std::nullopt;
}

std::optional<std::string> StepEndedText(const StepEnd& end, const UpdateWording& w) {
  if (end.ok) {
    switch (end.step) {
      case UpdateStep::kBlankCheck:
        return w.blank_success;
      case UpdateStep::kProgram:
        return w.program_success;
      case UpdateStep::kVerify:
        return w.verify_success;
      default:
        return std::nullopt;
    }
  }
  // The operations' own failures (a difference, a stop at an address, the
  // ISP page's erase) are told on the ISP page's line as they happen; the
  // sequence's line names these.
  const bool one_click = end.sequence == SequenceKind::kOneClick;
  switch (end.failure.kind) {
    case FailureKind::kIspEntryRefused:
    case FailureKind::kIdNotRead:
    case FailureKind::kStopped:
      return FailureText(end.failure, w);
    case FailureKind::kWordProgramOpen:
      if (one_click && end.step == UpdateStep::kStatusClear) return FailureText(end.failure, w);
      return std::nullopt;
    case FailureKind::kEraseTimedOut:
      if (one_click && end.step == UpdateStep::kErase) return FailureText(end.failure, w);
      return std::nullopt;
    default:
      return std::nullopt;
  }
}

std::string EraseProgressText(int poll, const UpdateWording& w) {
  const auto dots = static_cast<size_t>((poll / kPollsPerDot) % kDotCycle);
  return w.erase_all + std::string(dots, '.');
}

std::string VerdictText(const UpdateVerdict& verdict, const UpdateWording& w) {
  switch (verdict.verdict) {
    case Verdict::kSuccess:
      return w.success_verdict;
    case Verdict::kCancelled:
      return w.abort;
    case Verdict::kFailed:
    case Verdict::kStopped:
      break;
  }
  switch (verdict.reason) {
    case VerdictReason::kImageEmpty:
      return w.fail_verdict + " " + w.image_empty;
    case VerdictReason::kImageTooLarge:
      return w.fail_verdict + " " + w.image_too_large;
    case VerdictReason::kImageDoesNotFit:
      return w.fail_verdict + " " +
             ImageDoesNotFitText(verdict.flash_id, verdict.start, verdict.length).value_or("") +
             ".";
    case VerdictReason::kNone:
    case VerdictReason::kDeviceGone:
      break;
  }
  return w.fail_verdict;
}

StatusColour VerdictColour(Verdict verdict) {
  return verdict == Verdict::kSuccess ? StatusColour::kBlue : StatusColour::kRed;
}

std::string NoticeText(const UpdateNotice& notice, const UpdateWording& w) {
  switch (notice.kind) {
    case NoticeKind::kNone:
      return {};
    case NoticeKind::kStillInUpdateMode:
      return w.still_in_update_mode;
    case NoticeKind::kDeviceGone:
      return "The device stopped answering during " + std::string(DuringText(notice.during)) +
             ". " +
             (notice.flash_may_have_changed ? "The flash may have changed. "
                                            : "The flash was not changed. ") +
             "Plug the device in again and run the update again.";
  }
  return {};
}

std::string RequestsNotCarriedText(uint64_t count) {
  return std::to_string(count) + (count == 1 ? " request" : " requests") +
         " not carried; the update went on";
}

void WordingView::ShowSequenceLine(std::string_view text) {
  if (sequence_ == SequenceKind::kAuto) {
    ShowProcessInfo(text);
  } else {
    ShowUpdateStatus(text);
  }
}

void WordingView::OperationFailed(const Failure& failure) {
  const std::string text = FailureText(failure, wording_);
  if (!text.empty()) ShowProcessInfo(text);
}

void WordingView::SequenceBegan(SequenceKind sequence) {
  sequence_ = sequence;
  if (sequence == SequenceKind::kOneClick)
    SetUpdateStatusStyle(StatusColour::kWindowText, StatusSize::kNormal);
}

void WordingView::StepBegan(SequenceKind sequence, UpdateStep step) {
  sequence_ = sequence;
  if (const auto text = StepBeganText(sequence, step, wording_)) ShowSequenceLine(*text);
}

void WordingView::StepEnded(const StepEnd& end) {
  if (const auto text = StepEndedText(end, wording_)) ShowSequenceLine(*text);
}

void WordingView::ErasePolled(int poll, uint8_t /*status*/) {
  ShowUpdateStatus(EraseProgressText(poll, wording_));
}

void WordingView::AttemptEnded(const AttemptEnd& end) {
  if (!end.pause_follows) return;
  ShowUpdateStatus(wording_.retry);
  SetUpdateStatusStyle(StatusColour::kRed, StatusSize::kUnchanged);
}

void WordingView::PauseEnded() {
  SetUpdateStatusStyle(StatusColour::kWindowText, StatusSize::kUnchanged);
}

void WordingView::VerdictReached(const UpdateVerdict& verdict) {
  if (verdict.sequence == SequenceKind::kAuto) {
    // The Auto sequence has no verdict line: its refusals go on the ISP
    // page's line in the page's own words.
    switch (verdict.reason) {
      case VerdictReason::kImageEmpty:
        ShowProcessInfo(wording_.program_file_empty);
        break;
      case VerdictReason::kImageTooLarge:
        ShowProcessInfo(wording_.program_file_too_large);
        break;
      case VerdictReason::kImageDoesNotFit:
        ShowProcessInfo(
            ImageDoesNotFitText(verdict.flash_id, verdict.start, verdict.length).value_or(""));
        break;
      case VerdictReason::kNone:
      case VerdictReason::kDeviceGone:
        break;
    }
    return;
  }
  SetUpdateStatusStyle(VerdictColour(verdict.verdict), StatusSize::kLarge);
  ShowUpdateStatus(VerdictText(verdict, wording_));
}

void WordingView::NoticeRaised(const UpdateNotice& notice) {
  const std::string text = NoticeText(notice, wording_);
  if (notice.sequence == SequenceKind::kAuto) {
    ShowProcessInfo(text);
  } else {
    ShowUpdateNotice(text);
  }
}

}  // namespace korvalen
