#include "station/PlugRun.h"

#include <chrono>
#include <fmt/format.h>

#include "cli/DeviceSession.h"
#include "cli/UpdateRun.h"
#include "link/Registers.h"

namespace korvalen::station {
namespace {

RunResult ResultOf(const cli::UpdateReport& report) {
  switch (report.verdict) {
    case cli::Verdict::kSuccess:
      return RunResult::kPassed;
    case cli::Verdict::kStopped:
      return RunResult::kStopped;
    case cli::Verdict::kCannotOpen:
      return RunResult::kCannotOpen;
    case cli::Verdict::kGone:
      return RunResult::kGone;
    case cli::Verdict::kFailed:
      return report.device_gone ? RunResult::kGone : RunResult::kFailed;
  }
  return RunResult::kFailed;
}

// The version the running firmware reports now, as `list --firmware` reads
// it; empty for an update identity (no firmware runs) or a read the device
// did not carry.
std::string ReportedVersion(cli::DeviceSession& session) {
  if (session.device().channel != kAudioDriverChannel) return {};
  NorvaneUsb& link = session.link();
  const uint64_t refused_before = link.refused_requests();
  const FirmwareVersion version = ReadFirmwareVersion(link);
  if (link.refused_requests() != refused_before || link.DeviceGone()) return {};
  return fmt::format("{}.{}", version.major, version.minor);
}

}  // namespace

int64_t UtcMicrosNow() {
  return std::chrono::duration_cast<std::chrono::microseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

void RunPlug(cli::DeviceSource& source, const cli::DeviceEntry& device, const ModelFile& file,
             const PlugRunSinks& sinks, RunRecord& record) {
  record.file_name = file.name;
  record.file_sha256 = file.sha256;
  cli::DeviceSession session(device, source.LineFor(device));
  UpdateProgress progress(file.image->length);
  const cli::UpdateReport report = cli::RunUpdate(
      session, *file.image, file.name, file.checksum,
      [&](std::string_view text) {
        if (sinks.step_line) sinks.step_line(text);
      },
      [&](ProgressStep step, uint64_t done, uint64_t total) {
        const ProgressReading& reading =
            progress.Note(step, done, total, session.clock().NowMicros());
        if (sinks.progress) sinks.progress(reading);
      });

  record.result = ResultOf(report);
  record.attempts = static_cast<int>(report.attempts.size());
  record.device_gone = report.device_gone || report.verdict == cli::Verdict::kGone;
  if (!report.chunk_mode.empty()) {
    record.jedec_id = static_cast<uint32_t>(report.jedec_id[0]) << 16 |
                      static_cast<uint32_t>(report.jedec_id[1]) << 8 | report.jedec_id[2];
  }
  if (record.result != RunResult::kPassed) {
    // The step that ended the last attempt, and its own message; a run that
    // never reached a step says why through the verdict.
    if (!report.attempts.empty()) {
      for (const cli::StepReport& step : report.attempts.back().steps) {
        if (step.ok) continue;
        record.failed_step = step.name;
        record.reason = step.message;
        break;
      }
    }
    if (record.failed_step.empty() && record.result == RunResult::kFailed &&
        !report.attempts.empty() && !report.attempts.back().steps.empty()) {
      record.failed_step = report.attempts.back().steps.back().name;
    }
    if (record.reason.empty()) record.reason = report.verdict_text;
    if (record.device_gone && !report.notice.empty()) record.reason = report.notice;
  }
  if (report.verdict != cli::Verdict::kGone && report.verdict != cli::Verdict::kCannotOpen &&
      !record.device_gone) {
    record.firmware_version_reported = ReportedVersion(session);
  }
  if (record.result == RunResult::kPassed && !record.device_gone && sinks.passed) {
    sinks.passed(session);
  }
}

}  // namespace korvalen::station
