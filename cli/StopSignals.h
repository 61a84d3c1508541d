// Ctrl-C and SIGTERM during an update (on Windows Ctrl+C, Ctrl+Break and
// closing the console). Killing the process after the erase would skip the
// protection write and the exit from ISP mode, so the first signal only asks
// the running updates to stop, as the window's Stop does; the updates then
// protect the flash, leave ISP mode and report "stopped". A second signal
// within 5 s ends the program at once with exit status 130.
#pragma once

#include "cli/ExitStatus.h"

namespace korvalen::cli {

// What the signals ask for. An update stops at the first signal. A station
// stops taking new devices at the first and lets the running updates
// finish; the second stops them; a third within 5 s of the second ends it at
// once.
enum class StopMode { kUpdate, kStation };

// Catches the signals while it lives; the old handling comes back after.
class StopSignals {
 public:
  explicit StopSignals(StopMode mode = StopMode::kUpdate);
  ~StopSignals();
  StopSignals(const StopSignals&) = delete;
  StopSignals& operator=(const StopSignals&) = delete;
};

// The running updates are to stop as the window's Stop does: a first signal
// (kUpdate) or a second (kStation) came while a StopSignals lived.
bool StopSignalled();
// How many signals came while a StopSignals lived.
int StopSignalCount();

}  // namespace korvalen::cli
