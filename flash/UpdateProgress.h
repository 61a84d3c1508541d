// One progress reading for the whole one-click update, from the flash
// core's per-step signal (FlashView::NoteProgress): each step's share of the
// bar is its expected time, so the bar moves at an even pace whatever the
// step, and the time left comes from the pace seen so far. No widget here:
// the window and the command line both draw from it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "flash/FlashView.h"

namespace korvalen {

struct ProgressReading {
  double fraction = 0;  // of the whole update, 0 to 1; never goes back within an attempt
  std::string_view step;  // "erase", "blank check", "program" or "verify"
  int attempt = 1;        // a retry starts the bar again
  // Microseconds left; nullopt until enough has run for an honest estimate.
  std::optional<uint64_t> micros_left;
};

class UpdateProgress {
 public:
  // length: the bytes the blank check, program and verify walk.
  explicit UpdateProgress(uint32_t length);

  // One signal from the core at time now_us (the clock seam's). Steps that
  // are not part of the update (a read-back) leave the reading as it was.
  const ProgressReading& Note(ProgressStep step, uint64_t done, uint64_t total, uint64_t now_us);
  const ProgressReading& reading() const { return reading_; }

 private:
  double StepStart(ProgressStep step) const;
  double StepShare(ProgressStep step) const;
  double MicrosLeft(ProgressStep step, uint64_t done, uint64_t total, uint64_t now_us) const;

  double erase_us_ = 0;
  double blank_us_ = 0;
  double program_us_ = 0;
  double verify_us_ = 0;
  double total_us_ = 0;
  std::optional<ProgressStep> current_;
  uint64_t attempt_started_us_ = 0;
  uint64_t step_started_us_ = 0;
  uint64_t blank_took_us_ = 0;
  ProgressReading reading_;
};

// "1:05" for 65 seconds, "12:00" for 720.
std::string FormatMinutesSeconds(uint64_t micros);

}  // namespace korvalen
