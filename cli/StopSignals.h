// Ctrl-C and SIGTERM during an update (on Windows Ctrl+C, Ctrl+Break and
// closing the console). Killing the process after the erase would skip the
// protection write and the exit from ISP mode, so the first signal only asks
// the running updates to stop, as the window's Stop does; the updates then
// protect the flash, leave ISP mode and report "stopped". A second signal
// within 5 s ends the program at once with exit status 130.
#pragma once

#include "cli/ExitStatus.h"

namespace korvalen::cli {

// Catches the signals while it lives; the old handling comes back after.
class StopSignals {
 public:
  StopSignals();
  ~StopSignals();
  StopSignals(const StopSignals&) = delete;
  StopSignals& operator=(const StopSignals&) = delete;
};

// A first signal came while a StopSignals lived.
bool StopSignalled();

}  // namespace korvalen::cli
