// The one-click update of one device for the command line: the window's own
// sequence (same requests in the same order), watched through the view seam
// and written down step by step for the reports.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "cli/DeviceSession.h"
#include "flash/FlashView.h"
#include "flash/UpdateWording.h"
#include "image/FirmwareImage.h"
#include "link/FlashPassThrough.h"

namespace korvalen::cli {

struct Difference {
  uint32_t address = 0;
  uint8_t expected = 0;
  uint8_t found = 0;
};

struct StepReport {
  // isp-entry, read-id, clear-status, erase, blank-check, program, verify
  std::string name;
  uint64_t duration_us = 0;
  // False when the step failed, or when any of its requests was not carried
  // even though the update went on past it.
  bool ok = false;
  std::string message;                   // the failure text the step showed
  std::optional<Difference> difference;  // the byte a failed check stopped at
};

struct AttemptReport {
  std::vector<StepReport> steps;
  bool ok = false;
};

enum class Verdict { kSuccess, kFailed, kStopped, kCannotOpen, kGone };

struct UpdateReport {
  DeviceEntry device;
  std::string file;
  uint32_t length = 0;
  uint16_t checksum = 0;
  FlashId jedec_id{};
  std::string chunk_mode;  // "page256", "page32" or "aai"; empty when never read
  std::vector<AttemptReport> attempts;
  std::optional<uint8_t> status_before;
  std::optional<uint8_t> status_after;
  uint64_t requests = 0;
  uint64_t duration_us = 0;
  Verdict verdict = Verdict::kFailed;
  std::string verdict_text;  // the window's verdict, or why nothing ran
  // False when the device did not accept the protection write or the exit
  // from ISP mode; notice then says what the user must do.
  bool left_update_mode = true;
  // The device stopped answering: the update ended at once; notice says
  // where and what to do.
  bool device_gone = false;
  std::string notice;
  // The test request that found the device was carried; nullopt when the
  // device was never reached.
  std::optional<bool> probe_carried;
};

// Progress of a running update: the lines the window's progress line shows,
// once each (the erase's growing dots are left out).
using StepLineSink = std::function<void(std::string_view text)>;
// The flash core's progress signal of a running update, as the view gets it.
using ProgressSink = std::function<void(ProgressStep step, uint64_t done, uint64_t total)>;

// Connects to the device and runs the one-click update with image. The file
// name, length and checksum only label the report; the wording gives its
// lines and messages, never its results.
UpdateReport RunUpdate(DeviceSession& session, const FirmwareImage& image, std::string file,
                       uint16_t checksum, const StepLineSink& on_step,
                       const ProgressSink& on_progress = {},
                       const UpdateWording& wording = DefaultWording());

std::string_view VerdictName(Verdict verdict);

}  // namespace korvalen::cli
