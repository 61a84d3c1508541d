#include "station/StationOutput.h"

#include <fmt/format.h>

#include <cstdio>

#include "cli/RecordJson.h"

namespace korvalen::station {
namespace {

// Up one line, back to its start, and erase it.
constexpr std::string_view kLineUp = "\033[1A\r\033[2K";

std::string Verdict(const RunRecord& record) {
  std::string text(RunResultText(record.result));
  if (record.result != RunResult::kPassed && !record.failed_step.empty())
    text += " at " + record.failed_step;
  return text;
}

}  // namespace

StationOutput::StationOutput(cli::Output& out, OutputStyle style) : out_(out), style_(style) {}

StationOutput::SlotLine& StationOutput::Slot(int slot) {
  if (slot >= static_cast<int>(slots_.size())) slots_.resize(slot + 1);
  return slots_[slot];
}

std::string StationOutput::Counters() const {
  const double hours =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - started_).count() / 3600;
  const int failed = runs_ - passed_;
  const std::string yield = runs_ == 0 ? "-" : fmt::format("{:.1f}%", 100.0 * passed_ / runs_);
  const std::string rate = hours <= 0 ? "-" : fmt::format("{:.0f}", runs_ / hours);
  return fmt::format("passed {}  failed {}  yield {}  units/hour {}", passed_, failed, yield, rate);
}

void StationOutput::Erase() {
  std::string text;
  for (int i = 0; i < drawn_lines_; ++i) text += kLineUp;
  if (!text.empty()) out_.Text(text);
  drawn_lines_ = 0;
}

void StationOutput::Redraw() {
  Erase();
  std::string text;
  for (const SlotLine& slot : slots_) {
    const std::string percent = slot.percent < 0 ? "" : fmt::format("{:3d}%", slot.percent);
    text += fmt::format("{:<28} {:<20} {:<12} {:>4}  {}\n", slot.path, slot.model, slot.step,
                        percent, slot.verdict);
  }
  text += Counters() + "\n";
  drawn_lines_ = static_cast<int>(slots_.size()) + 1;
  out_.Text(text);
}

void StationOutput::Event(int slot, const std::string& text) {
  if (style_ != OutputStyle::kLines) return;
  out_.Line(Slot(slot).path + ": " + text);
}

void StationOutput::RunBegan(int slot, const cli::DeviceEntry& device, const std::string& model) {
  SlotLine& line = Slot(slot);
  line = SlotLine{};
  line.path = device.path;
  line.model = model.empty() ? device.name : model;
  line.step = "start";
  Event(slot, fmt::format("{} arrived ({})", device.name, model.empty() ? "model unknown" : model));
  if (style_ == OutputStyle::kTerminal) Redraw();
}

void StationOutput::StepLine(int slot, std::string_view text) {
  Event(slot, std::string(text));
}

void StationOutput::Progress(int slot, const ProgressReading& reading) {
  if (style_ != OutputStyle::kTerminal) return;
  SlotLine& line = Slot(slot);
  const int percent = static_cast<int>(reading.fraction * 100);
  const std::string step(reading.step);
  if (percent == line.percent && step == line.step) return;
  line.percent = percent;
  line.step = step;
  Redraw();
}

void StationOutput::RunEnded(int slot, const RunRecord& record, bool stored) {
  ++runs_;
  if (record.result == RunResult::kPassed) ++passed_;
  SlotLine& line = Slot(slot);
  line.verdict = Verdict(record);
  line.step = "done";
  if (record.result == RunResult::kPassed) line.percent = 100;
  switch (style_) {
    case OutputStyle::kJsonLines:
      // One object per line: JSON Lines.
      out_.Text(cli::RecordJson(record).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) +
                "\n");
      break;
    case OutputStyle::kLines:
      Event(slot, fmt::format("{} (record {}{}); {}", line.verdict, record.id,
                              stored ? "" : ", NOT STORED", Counters()));
      break;
    case OutputStyle::kTerminal:
      Redraw();
      break;
  }
}

void StationOutput::Note(std::string_view text) {
  if (style_ == OutputStyle::kTerminal) Erase();
  out_.Error("korvalen-fw: " + std::string(text));
  if (style_ == OutputStyle::kTerminal) Redraw();
}

void StationOutput::Close() {
  if (style_ == OutputStyle::kTerminal && drawn_lines_ > 0) drawn_lines_ = 0;
}

}  // namespace korvalen::station
