// --record FILE of the window programs: the driver they hand their link,
// either the platform's (or simulator's) own or a recorder around it.
#pragma once

#include <filesystem>
#include <memory>
#include <string>

#include "link/Clock.h"
#include "link/Driver.h"

namespace korvalen::app {

class RecordOption {
 public:
  RecordOption();
  ~RecordOption();

  // Starts recording `inner`'s traffic into `path` (nothing to do when the
  // path is empty). Time stamps follow `clock`: on a virtual clock they
  // count from its start (the epoch), on a real one they are the wall
  // clock's. False, after printing "<program>: --record: why" on
  // standard error, when the file cannot be created or this build cannot
  // record. A write that fails later stops the recording with a message and
  // never stops the program.
  bool Start(const std::string& program, const std::filesystem::path& path, Driver& inner,
             Clock& clock, bool virtual_time);

  // The driver to use: the recorder once started, else `inner`.
  Driver& DriverOver(Driver& inner);

 private:
  struct Recorder;
  std::unique_ptr<Recorder> recorder_;
};

}  // namespace korvalen::app
