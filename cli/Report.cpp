#include "cli/Report.h"

#include <fmt/format.h>

#include <algorithm>

#include "link/NorvaneUsb.h"

namespace korvalen::cli {

std::string HexByte(uint8_t value) { return fmt::format("0x{:02X}", value); }
std::string HexAddress(uint32_t value) { return fmt::format("0x{:06X}", value); }

nlohmann::json DeviceJson(const DeviceEntry& device) {
  return {
      {"path", device.path},
      {"model", device.name},
      {"id", device.id_text},
      {"vid_pid", fmt::format("{:04x}:{:04x}", device.vid, device.pid)},
      {"channel", device.channel == kAudioDriverChannel ? "audio" : "device-interface"},
  };
}

nlohmann::json ReportJson(const UpdateReport& report) {
  nlohmann::json json = DeviceJson(report.device);
  json["file"] = report.file;
  json["length"] = report.length;
  json["checksum"] = fmt::format("0x{:04X}", report.checksum);
  if (!report.chunk_mode.empty()) {
    json["jedec_id"] = fmt::format("{:02X} {:02X} {:02X}", report.jedec_id[0], report.jedec_id[1],
                                   report.jedec_id[2]);
    json["chunk_mode"] = report.chunk_mode;
  } else {
    json["jedec_id"] = nullptr;
    json["chunk_mode"] = nullptr;
  }
  nlohmann::json attempts = nlohmann::json::array();
  for (const AttemptReport& attempt : report.attempts) {
    nlohmann::json steps = nlohmann::json::array();
    for (const StepReport& step : attempt.steps) {
      nlohmann::json item = {{"step", step.name},
                             {"duration_ms", static_cast<double>(step.duration_us) / 1000.0},
                             {"result", step.ok ? "ok" : "failed"}};
      if (!step.message.empty()) item["message"] = step.message;
      if (!step.ok && step.difference) {
        item["first_difference"] = {{"address", HexAddress(step.difference->address)},
                                    {"expected", HexByte(step.difference->expected)},
                                    {"found", HexByte(step.difference->found)}};
      }
      steps.push_back(std::move(item));
    }
    attempts.push_back({{"result", attempt.ok ? "ok" : "failed"}, {"steps", std::move(steps)}});
  }
  json["attempts"] = std::move(attempts);
  json["status_before"] = report.status_before ? nlohmann::json(HexByte(*report.status_before))
                                               : nlohmann::json(nullptr);
  json["status_after"] = report.status_after ? nlohmann::json(HexByte(*report.status_after))
                                             : nlohmann::json(nullptr);
  json["requests"] = report.requests;
  json["duration_ms"] = static_cast<double>(report.duration_us) / 1000.0;
  json["verdict"] = VerdictName(report.verdict);
  json["message"] = report.verdict_text;
  json["left_update_mode"] = report.left_update_mode;
  json["device_gone"] = report.device_gone;
  json["notice"] = report.notice.empty() ? nlohmann::json(nullptr) : nlohmann::json(report.notice);
  json["probe"] = report.probe_carried ? nlohmann::json(*report.probe_carried ? "ok" : "failed")
                                       : nlohmann::json(nullptr);
  return json;
}

namespace {

// The first failed step of the last attempt: where a failed device stopped.
std::string FailedStep(const UpdateReport& report) {
  const bool failed = report.verdict == Verdict::kFailed || report.verdict == Verdict::kStopped;
  if (!failed || report.attempts.empty()) return {};
  for (const StepReport& step : report.attempts.back().steps) {
    if (step.ok) continue;
    if (step.difference) return fmt::format("{} at {}", step.name, HexAddress(step.difference->address));
    return step.name;
  }
  return {};
}

}  // namespace

std::string ResultTable(const std::vector<UpdateReport>& reports) {
  size_t path_width = 4;
  size_t model_width = 5;
  for (const UpdateReport& report : reports) {
    path_width = std::max(path_width, report.device.path.size());
    model_width = std::max(model_width, report.device.name.size());
  }
  std::string table = fmt::format("{:<{}}  {:<{}}  {:<11}  {:>8}  {:>9}  {}\n", "PATH", path_width,
                                  "MODEL", model_width, "RESULT", "ATTEMPTS", "TIME", "FAILED STEP");
  for (const UpdateReport& report : reports) {
    table += fmt::format("{:<{}}  {:<{}}  {:<11}  {:>8}  {:>7.1f} s  {}\n", report.device.path,
                         path_width, report.device.name, model_width, VerdictName(report.verdict),
                         report.attempts.size(), static_cast<double>(report.duration_us) / 1e6,
                         FailedStep(report));
  }
  return table;
}

}  // namespace korvalen::cli
