// korvalen-fw's command line: the commands, their options and exit codes.
// The simulated devices come from the caller (the program's main links the
// simulator; this library does not).
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "cli/Devices.h"
#include "cli/ExitStatus.h"

namespace korvalen::cli {

// Exit codes, the same for every command: cli/ExitStatus.h.
using korvalen::kExitCannotOpen;
using korvalen::kExitFailed;
using korvalen::kExitNoDevice;
using korvalen::kExitOk;
using korvalen::kExitRefused;

// What --simulate and its companions asked for.
struct SimRequest {
  std::string model;                // ModelTable row, model key, "5e1a" or "0c3d"
  std::string flash = "page256";    // page256, page32, aai or a part name
  std::vector<std::string> faults;  // fault texts, each optionally "@N" for device N only
  int devices = 1;
  bool fast = false;                // virtual time
  std::string state_dir;            // --sim-state
  bool read_only = false;           // the kept devices are read, never saved (list)
  std::string playback;             // --playback; empty: the firmware's own start-up state
  // --plug: simulated devices that come and go on a schedule (station).
  std::vector<std::string> plugs;
  // The station watches the devices while they update: they come from a
  // line whose every device may be listed from another thread.
  bool station = false;
};

// Builds the simulated devices, or returns nullptr with *error set.
using SimSourceFactory =
    std::function<std::unique_ptr<DeviceSource>(const SimRequest& request, std::string* error)>;

struct CommonOptions;
struct StationOptions;
class Output;
// Runs the station on source (the program's main links the station; this
// library does not). Returns the exit code.
using StationRunner = std::function<int(DeviceSource& source, const CommonOptions& common,
                                        const StationOptions& options, Output& out)>;

int RunFw(int argc, char** argv, const SimSourceFactory& make_simulation,
          const StationRunner& run_station = {});

}  // namespace korvalen::cli
