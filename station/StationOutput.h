// What the line sees: on a terminal one line per device slot, redrawn in
// place, under the counters; into a pipe or a file one line per event; with
// --json one JSON object per finished run per line (JSON Lines).
#pragma once

#include <chrono>
#include <string>
#include <vector>

#include "cli/Output.h"
#include "station/Station.h"

namespace korvalen::station {

enum class OutputStyle { kTerminal, kLines, kJsonLines };

class StationOutput : public StationEvents {
 public:
  StationOutput(cli::Output& out, OutputStyle style);

  void RunBegan(int slot, const cli::DeviceEntry& device, const std::string& model) override;
  void StepLine(int slot, std::string_view text) override;
  void Progress(int slot, const ProgressReading& reading) override;
  void RunEnded(int slot, const RunRecord& record, bool stored) override;
  void Note(std::string_view text) override;

  // Leaves the board as it last was.
  void Close();

 private:
  struct SlotLine {
    std::string path;
    std::string model;
    std::string step;
    int percent = -1;
    std::string verdict;
  };
  SlotLine& Slot(int slot);
  std::string Counters() const;
  void Redraw();
  void Erase();
  void Event(int slot, const std::string& text);

  cli::Output& out_;
  OutputStyle style_;
  std::vector<SlotLine> slots_;
  int drawn_lines_ = 0;
  int runs_ = 0;
  int passed_ = 0;
  std::chrono::steady_clock::time_point started_ = std::chrono::steady_clock::now();
};

}  // namespace korvalen::station
