#include "cli/UpdateRun.h"

#include "flash/FlashOperations.h"
#include "flash/UpdateSequences.h"
#include "flash/UpdateTexts.h"

namespace korvalen::cli {
namespace {

// The erase step shows its text with a growing row of dots; the report
// prints the text once, without the blank before the dots.
constexpr std::string_view kEraseStart =
    kEraseAllText.substr(0, kEraseAllText.find_last_not_of(' ') + 1);
// A step's own failure text ends so ("Enter ISP Mode Fail", "Read Flash ID Fail").
constexpr std::string_view kStepFail = " Fail";

bool EndsWith(std::string_view text, std::string_view tail) {
  return text.size() >= tail.size() && text.substr(text.size() - tail.size()) == tail;
}

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

// Writes the one-click update down as attempts and steps: the sequence
// names each step as it begins, the progress line's texts tell how it ended,
// and the requests the device did not carry during a step fail that step,
// even where the update went on past them.
class ReportView : public FlashView {
 public:
  ReportView(Clock& clock, const DeviceSession& session, UpdateReport& report,
             const StepLineSink& on_step, const ProgressSink& on_progress)
      : clock_(clock),
        session_(session),
        report_(report),
        on_step_(on_step),
        on_progress_(on_progress) {}

  void ShowProcessInfo(std::string_view text) override {
    if (open_) Current().message = std::string(text);
  }
  void ShowProcessAddress(std::string_view) override {}
  void ShowStatusRegister(std::string_view) override {}
  void SetUpdateStatusStyle(StatusColour, StatusSize) override {}
  void ShowUpdateNotice(std::string_view text) override {
    Line(text);
    report_.notice = std::string(text);
  }
  void PumpMessages() override {}
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
  void NoteUpdateStep(UpdateStep step) override { Open(StepName(step)); }

  void ShowUpdateStatus(std::string_view text) override {
    // The erase's growing dots show as one line.
    if (text.substr(0, kEraseStart.size()) == kEraseStart) {
      if (!erase_line_shown_) Line(kEraseStart);
      erase_line_shown_ = true;
      return;
    }
    erase_line_shown_ = false;
    Line(text);
    if (EndsWith(text, " Success")) {
      Close(true);
    } else if (text == kEraseFailText || text == kStoppedText || EndsWith(text, kStepFail)) {
      if (open_) Current().message = std::string(text);
      Close(false);
    } else if (text == kRetryText) {
      Close(false);
      attempt_over_ = true;
    } else if (text == kSuccessVerdict) {
      Close(true);
      if (!report_.attempts.empty()) report_.attempts.back().ok = true;
      report_.verdict_text = std::string(text);
    } else if (text.substr(0, kFailVerdict.size()) == kFailVerdict) {
      // A verdict that carries its reason is a refusal before anything
      // touched the flash: the step in work went through.
      Close(text.size() > kFailVerdict.size());
      report_.verdict_text = std::string(text);
    }
  }

 private:
  StepReport& Current() { return report_.attempts.back().steps.back(); }
  void Line(std::string_view text) {
    if (on_step_) on_step_(text);
  }
  void Open(std::string_view name) {
    Close(true);
    if (report_.attempts.empty() || attempt_over_) report_.attempts.emplace_back();
    attempt_over_ = false;
    StepReport step;
    step.name = std::string(name);
    report_.attempts.back().steps.push_back(std::move(step));
    started_ = clock_.NowMicros();
    failed_at_start_ = session_.failed_requests();
    open_ = true;
  }
  void Close(bool ok) {
    if (!open_) return;
    StepReport& step = Current();
    const uint64_t failed = session_.failed_requests() - failed_at_start_;
    if (ok) step.message.clear();
    if (ok && failed > 0) {
      step.message = std::to_string(failed) + (failed == 1 ? " request" : " requests") +
                     " not carried; the update went on";
      ok = false;
    }
    step.ok = ok;
    step.duration_us = clock_.NowMicros() - started_;
    open_ = false;
  }

  Clock& clock_;
  const DeviceSession& session_;
  UpdateReport& report_;
  const StepLineSink& on_step_;
  const ProgressSink& on_progress_;
  bool open_ = false;
  bool attempt_over_ = false;
  bool erase_line_shown_ = false;
  uint64_t started_ = 0;
  uint64_t failed_at_start_ = 0;
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
    case Verdict::kCannotOpen:
      return "cannot-open";
    case Verdict::kGone:
      return "not-found";
  }
  return "failed";
}

UpdateReport RunUpdate(DeviceSession& session, const FirmwareImage& image, std::string file,
                       uint16_t checksum, const StepLineSink& on_step,
                       const ProgressSink& on_progress) {
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
      ReportView view(session.clock(), session, report, on_step, on_progress);
      FlashOperations operations(session.link(), session.clock(), view, image);
      UpdateSequences sequences(session.link(), session.clock(), view, operations);
      sequences.BeginOneClick();
      const OneClickResult result = sequences.RunOneClickUpdate();
      report.verdict = result.success ? Verdict::kSuccess : Verdict::kFailed;
      report.left_update_mode = result.left_update_mode;
      report.device_gone = session.link().DeviceGone();
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
