#include "cli/UpdateRun.h"

#include "flash/FlashOperations.h"
#include "flash/UpdateSequences.h"

namespace korvalen::cli {
namespace {

struct StepStart {
  std::string_view text;
  std::string_view name;
};
constexpr StepStart kStepStarts[] = {
    {"Clear Status register", "clear-status"},
    {"Start Blanking Check", "blank-check"},
    {"Start Programming", "program"},
    {"Start Verifying Check", "verify"},
};
constexpr std::string_view kEraseStart = "Flash Erase All";
constexpr std::string_view kEraseFail = "Erase Flash Fail";
constexpr std::string_view kRetry = "ISP Fail and retry";
constexpr std::string_view kStopped = "Stopped";
constexpr std::string_view kSuccessVerdict = "Firmware update success!";
constexpr std::string_view kFailVerdict = "Firmware update Fail!";

bool EndsWith(std::string_view text, std::string_view tail) {
  return text.size() >= tail.size() && text.substr(text.size() - tail.size()) == tail;
}

// Turns the texts of the main panel's progress line into steps and attempts.
class ReportView : public FlashView {
 public:
  ReportView(Clock& clock, UpdateReport& report, const StepLineSink& on_step,
             const ProgressSink& on_progress)
      : clock_(clock), report_(report), on_step_(on_step), on_progress_(on_progress) {}

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

  void ShowUpdateStatus(std::string_view text) override {
    const bool erase_dots = text.substr(0, kEraseStart.size()) == kEraseStart;
    if (erase_dots) {
      if (!open_ || Current().name != "erase") {
        Open("erase");
        Line(kEraseStart);
      }
      return;
    }
    Line(text);
    for (const StepStart& start : kStepStarts) {
      if (text != start.text) continue;
      if (start.name == "clear-status") {
        Close(true);
        report_.attempts.emplace_back();
      }
      Open(start.name);
      return;
    }
    if (EndsWith(text, " Success")) {
      Close(true);
    } else if (text == kEraseFail || text == kStopped) {
      if (open_) Current().message = std::string(text);
      Close(false);
    } else if (text == kRetry) {
      Close(false);
    } else if (text == kSuccessVerdict) {
      Close(true);
      if (!report_.attempts.empty()) report_.attempts.back().ok = true;
      report_.verdict_text = std::string(text);
    } else if (text.substr(0, kFailVerdict.size()) == kFailVerdict) {
      Close(false);
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
    if (report_.attempts.empty()) report_.attempts.emplace_back();
    StepReport step;
    step.name = std::string(name);
    report_.attempts.back().steps.push_back(std::move(step));
    started_ = clock_.NowMicros();
    open_ = true;
  }
  void Close(bool ok) {
    if (!open_) return;
    Current().ok = ok;
    Current().duration_us = clock_.NowMicros() - started_;
    if (ok) Current().message.clear();
    open_ = false;
  }

  Clock& clock_;
  UpdateReport& report_;
  const StepLineSink& on_step_;
  const ProgressSink& on_progress_;
  bool open_ = false;
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
      ReportView view(session.clock(), report, on_step, on_progress);
      FlashOperations operations(session.link(), session.clock(), view, image);
      UpdateSequences sequences(session.link(), session.clock(), view, operations);
      sequences.BeginOneClick();
      const OneClickResult result = sequences.RunOneClickUpdate();
      report.verdict = result.success ? Verdict::kSuccess : Verdict::kFailed;
      report.left_update_mode = result.left_update_mode;
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
