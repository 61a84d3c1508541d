#include "cli/UpdateRun.h"

#include "cli/StopSignals.h"
#include "flash/FlashOperations.h"
#include "flash/UpdateSequences.h"
#include "flash/UpdateWording.h"

namespace korvalen::cli {
namespace {

std::string_view StepName(UpdateStep step) {
  switch (step) {
    case UpdateStep::kIspEntry:
      return "isp-entry";
    case UpdateStep::kIdRead:
      return "read-id";
    case UpdateStep::kStatusClear:
      return "clear-status";
    case UpdateStep::kErase:
      return "erase";
    case UpdateStep::kBlankCheck:
      return "blank-check";
    case UpdateStep::kProgram:
      return "program";
    case UpdateStep::kVerify:
      return "verify";
  }
  return "unknown";
}

// A step's line without the blanks the window's erase text keeps for its
// growing dots.
std::string_view Trimmed(std::string_view text) {
  const size_t end = text.find_last_not_of(' ');
  return end == std::string_view::npos ? std::string_view() : text.substr(0, end + 1);
}

// Writes the one-click update down as attempts and steps from the values the
// sequence reports; the wording only gives the lines and messages. A step
// that went on although the device did not carry some of its requests
// counts as failed.
class ReportView : public FlashView {
 public:
  ReportView(Clock& clock, UpdateReport& report, const UpdateWording& wording,
             const StepLineSink& on_step, const ProgressSink& on_progress)
      : clock_(clock),
        report_(report),
        wording_(wording),
        on_step_(on_step),
        on_progress_(on_progress) {}

  void ShowProcessInfo(std::string_view) override {}
  void ShowProcessAddress(std::string_view) override {}
  void ShowStatusRegister(std::string_view) override {}
  // A Ctrl-C or SIGTERM asks the update to stop here, between chunks and
  // polls, as a click on the window's Stop does.
  void PumpMessages() override {
    if (sequences_ != nullptr && StopSignalled() && !sequences_->flags().update_finished)
      sequences_->RequestStop();
  }
  void WatchForStop(UpdateSequences& sequences) { sequences_ = &sequences; }
  void NoteFlashStatus(uint8_t status) override {
    if (!report_.status_before) report_.status_before = status;
    report_.status_after = status;
  }
  void NoteDifference(uint32_t address, uint8_t expected, uint8_t found) override {
    if (open_) Current().difference = Difference{address, expected, found};
  }
  void NoteProgress(ProgressStep step, uint64_t done, uint64_t total) override {
    if (on_progress_) on_progress_(step, done, total);
  }

  void StepBegan(SequenceKind sequence, UpdateStep step) override {
    if (const auto text = StepBeganText(sequence, step, wording_)) Line(Trimmed(*text));
    if (report_.attempts.empty() || attempt_over_) report_.attempts.emplace_back();
    attempt_over_ = false;
    StepReport entry;
    entry.name = std::string(StepName(step));
    report_.attempts.back().steps.push_back(std::move(entry));
    started_ = clock_.NowMicros();
    open_ = true;
  }
  void StepEnded(const StepEnd& end) override {
    if (const auto text = StepEndedText(end, wording_)) Line(*text);
    // A step that never began (the one a stop kept from starting) leaves
    // no entry.
    if (!open_) return;
    open_ = false;
    StepReport& step = Current();
    step.duration_us = clock_.NowMicros() - started_;
    step.ok = end.ok && end.requests_not_carried == 0;
    if (!end.ok) {
      step.message = FailureText(end.failure, wording_);
    } else if (end.requests_not_carried > 0) {
      step.message = RequestsNotCarriedText(end.requests_not_carried);
    }
  }
  void AttemptEnded(const AttemptEnd& end) override {
    if (!report_.attempts.empty()) report_.attempts.back().ok = end.ok;
    if (end.pause_follows) Line(wording_.retry);
    attempt_over_ = true;
  }
  void VerdictReached(const UpdateVerdict& verdict) override {
    open_ = false;
    report_.verdict = verdict.verdict == korvalen::Verdict::kSuccess   ? Verdict::kSuccess
                      : verdict.verdict == korvalen::Verdict::kStopped ? Verdict::kStopped
                                                                       : Verdict::kFailed;
    report_.verdict_text = VerdictText(verdict, wording_);
    Line(report_.verdict_text);
  }
  void NoticeRaised(const UpdateNotice& notice) override {
    report_.notice = NoticeText(notice, wording_);
    if (notice.kind == NoticeKind::kDeviceGone) report_.device_gone = true;
    Line(report_.notice);
  }

 private:
  StepReport& Current() { return report_.attempts.back().steps.back(); }
  void Line(std::string_view text) {
    if (on_step_) on_step_(text);
  }

  Clock& clock_;
  UpdateReport& report_;
  const UpdateWording& wording_;
  const StepLineSink& on_step_;
  const ProgressSink& on_progress_;
  UpdateSequences* sequences_ = nullptr;
  bool open_ = false;
  bool attempt_over_ = false;
  uint64_t started_ = 0;
};

std::string ChunkMode(const FlashOperations& operations) {
  if (operations.program_chunk_size() == 0) return {};
  if (operations.use_aai_program()) return "aai";
  return operations.program_chunk_size() == 32 ? "page32" : "page256";
}

}  // namespace

std::string_view VerdictName(Verdict verdict) {
  switch (verdict) {
    case Verdict::kSuccess:
      return "success";
    case Verdict::kFailed:
      return "failed";
    case Verdict::kStopped:
      return "stopped";
    case Verdict::kCannotOpen:
      return "cannot-open";
    case Verdict::kGone:
      return "not-found";
  }
  return "failed";
}

UpdateReport RunUpdate(DeviceSession& session, const FirmwareImage& image, std::string file,
                       uint16_t checksum, const StepLineSink& on_step,
                       const ProgressSink& on_progress, const UpdateWording& wording) {
  UpdateReport report;
  report.device = session.device();
  report.file = std::move(file);
  report.length = image.length;
  report.checksum = checksum;
  const uint64_t started = session.clock().NowMicros();

  switch (session.Connect()) {
    case SessionState::kGone:
      report.verdict = Verdict::kGone;
      report.verdict_text = "device not found at " + report.device.path;
      break;
    case SessionState::kCannotOpen:
      report.verdict = Verdict::kCannotOpen;
      report.verdict_text = session.CannotOpenText();
      break;
    case SessionState::kReady: {
      ReportView view(session.clock(), report, wording, on_step, on_progress);
      FlashOperations operations(session.link(), session.clock(), view, image);
      UpdateSequences sequences(session.link(), session.clock(), view, operations);
      view.WatchForStop(sequences);
      sequences.BeginOneClick();
      const OneClickResult result = sequences.RunOneClickUpdate();
      report.left_update_mode = result.left_update_mode;
      report.probe_carried = session.probe_carried();
      // Gone after the verdict's last requests too, where no notice says so.
      report.device_gone = report.device_gone || session.link().DeviceGone();
      report.jedec_id = operations.flash_id();
      report.chunk_mode = ChunkMode(operations);
      break;
    }
  }
  report.requests = session.requests();
  report.duration_us = session.clock().NowMicros() - started;
  return report;
}

}  // namespace korvalen::cli
