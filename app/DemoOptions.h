// The demo's command line: what to simulate, where the update files live,
// and how a scripted run ends. The options are a contract that scripts rely
// on: options are added, never renamed or reshaped.
#pragma once

#include <QStringList>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "sim/FaultSpec.h"
#include "sim/SimIdentity.h"
#include "sim/SimPlayback.h"

namespace korvalen::demo {

struct Options {
  // nullopt: nothing attached (--no-device).
  std::optional<sim::SimIdentity> identity = sim::kSimOrbit;
  std::string flash;  // a flash model's name
  // --file: the model's update file, copied in under the model's key.
  std::filesystem::path file;
  // --dir: the working directory, kept after the run; empty for a fresh
  // scratch directory that is removed at exit.
  std::filesystem::path dir;
  bool fast = false;
  bool log = false;
  bool autostart = false;
  bool exit_when_done = false;
  bool engineering = false;  // start with the engineering pages shown
  // A device connected and playing PCM at 96 kHz, so the Information page
  // has something to show.
  sim::SimPlayback playback = *sim::ParsePlayback("pcm:3");
  std::filesystem::path dump_flash;
  // --record: every control transfer written to this capture file.
  std::filesystem::path record;
  std::vector<sim::FaultSpec> faults;
};

// Parses the arguments Qt left over (args[0] is the program). An error
// message, or nullopt with `options` filled in.
std::optional<std::string> ParseOptions(const QStringList& args, Options& options);

std::string Usage();

// The ModelTable row whose file key names the update file: the model's row,
// or row 0 for a firmware-update identity (detection loads row 0's file for
// it) and for no device at all.
int UpdateFileRow(const Options& options);

}  // namespace korvalen::demo
