#include "flash/UpdateProgress.h"

#include <algorithm>
#include <cmath>
#include <string>

namespace korvalen {
namespace {

// Expected host time of each step: a chip erase of about a second (parts
// take 0.05 to 2 s), 64-byte reads at about 2 ms each for the blank check
// and the verify, and programming at 15 (256-byte pages) to 130 (word
// program) us a byte, taken here at 50.
constexpr double kEraseExpectedUs = 1'000'000;
constexpr double kReadUsPerByte = 2000.0 / 64;
constexpr double kProgramUsPerByte = 50;
// An erase does not say how far it is; its share fills like a charge, quick
// at first and ever slower, so it keeps moving however long the part takes.
constexpr double kEraseTimeConstantPolls = 60;
// Below this share of the update, the pace is not yet worth an estimate.
constexpr double kEstimateFrom = 0.03;
constexpr uint64_t kEstimateAfterUs = 500'000;

constexpr ProgressStep kOrder[] = {ProgressStep::kErase, ProgressStep::kBlankCheck,
                                   ProgressStep::kProgram, ProgressStep::kVerify};

int Position(ProgressStep step) {
  for (int i = 0; i < 4; ++i) {
    if (kOrder[i] == step) return i;
  }
  return -1;
}

std::string_view StepName(ProgressStep step) {
  switch (step) {
    case ProgressStep::kErase:
      return "erase";
    case ProgressStep::kBlankCheck:
      return "blank check";
    case ProgressStep::kProgram:
      return "program";
    case ProgressStep::kVerify:
      return "verify";
    case ProgressStep::kReadBack:
      return "read";
  }
  return "";
}

}  // namespace

UpdateProgress::UpdateProgress(uint32_t length)
    : erase_us_(kEraseExpectedUs),
      blank_us_(length * kReadUsPerByte),
      program_us_(length * kProgramUsPerByte),
      verify_us_(length * kReadUsPerByte),
      total_us_(erase_us_ + blank_us_ + program_us_ + verify_us_) {}

double UpdateProgress::StepShare(ProgressStep step) const {
  switch (step) {
    case ProgressStep::kErase:
      return erase_us_ / total_us_;
    case ProgressStep::kBlankCheck:
      return blank_us_ / total_us_;
    case ProgressStep::kProgram:
      return program_us_ / total_us_;
    case ProgressStep::kVerify:
      return verify_us_ / total_us_;
    case ProgressStep::kReadBack:
      return 0;
  }
  return 0;
}

double UpdateProgress::StepStart(ProgressStep step) const {
  double start = 0;
  for (ProgressStep before : kOrder) {
    if (before == step) break;
    start += StepShare(before);
  }
  return start;
}

const ProgressReading& UpdateProgress::Note(ProgressStep step, uint64_t done, uint64_t total,
                                            uint64_t now_us) {
  const int position = Position(step);
  if (position < 0) return reading_;
  if (!current_ || position < Position(*current_)) {
    // The first signal, or an erase after a later step: a new attempt.
    if (current_) ++reading_.attempt;
    attempt_started_us_ = now_us;
    reading_.fraction = 0;
    reading_.micros_left.reset();
  }
  if (current_ != step) {
    // The blank check's pace is the verify's: both read the same bytes.
    if (current_ == ProgressStep::kBlankCheck) blank_took_us_ = now_us - step_started_us_;
    step_started_us_ = now_us;
  }
  current_ = step;
  reading_.step = StepName(step);

  double within = 0;
  if (total > 0 && done >= total) {
    within = 1;
  } else if (step == ProgressStep::kErase) {
    within = 1 - std::exp(-static_cast<double>(done) / kEraseTimeConstantPolls);
  } else if (total > 0) {
    within = static_cast<double>(done) / static_cast<double>(total);
  }
  const double fraction = std::clamp(StepStart(step) + StepShare(step) * within, 0.0, 1.0);
  reading_.fraction = std::max(reading_.fraction, fraction);

  const uint64_t elapsed = now_us > attempt_started_us_ ? now_us - attempt_started_us_ : 0;
  if (reading_.fraction >= 1) {
    reading_.micros_left = 0;
  } else if (reading_.fraction >= kEstimateFrom && elapsed >= kEstimateAfterUs) {
    reading_.micros_left = static_cast<uint64_t>(MicrosLeft(step, done, total, now_us));
  }
  return reading_;
}

double UpdateProgress::MicrosLeft(ProgressStep step, uint64_t done, uint64_t total,
                                  uint64_t now_us) const {
  const double in_step = static_cast<double>(now_us - step_started_us_);
  double left = 0;
  // The step in work at its own pace once it has one; an erase at best
  // guess, since it does not say how far it is.
  if (step == ProgressStep::kErase) {
    left = std::max(0.0, erase_us_ - in_step);
  } else if (done > 0 && done < total && in_step > 0) {
    left = in_step * static_cast<double>(total - done) / static_cast<double>(done);
  } else if (done < total) {
    left = StepShare(step) * total_us_;
  }
  bool later = false;
  for (ProgressStep next : kOrder) {
    if (later) {
      left += next == ProgressStep::kVerify && blank_took_us_ > 0
                  ? static_cast<double>(blank_took_us_)
                  : StepShare(next) * total_us_;
    }
    later = later || next == step;
  }
  return left;
}

std::string FormatMinutesSeconds(uint64_t micros) {
  const uint64_t seconds = (micros + 999'999) / 1'000'000;
  const uint64_t rest = seconds % 60;
  return std::to_string(seconds / 60) + ":" + (rest < 10 ? "0" : "") + std::to_string(rest);
}

}  // namespace korvalen
