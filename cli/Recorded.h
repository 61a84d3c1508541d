// --record and --replay: a device source whose lines record every transfer
// into a capture file, and one that plays a capture back as the devices it
// recorded. Both exist only in builds with the recording library.
#pragma once

#include <memory>
#include <string>

#include "cli/Devices.h"

namespace korvalen::cli {

// Devices whose traffic is recorded. The capture takes its place at the
// first device opened or when the source goes; Discard, for a command
// refused before it sent anything, leaves an old file at the path as it was.
class RecordingSource : public DeviceSource {
 public:
  virtual void Discard() = 0;
};

// Wraps `inner`: each line's driver records into a new capture at `path`,
// written like every other output (cli/AtomicFile.h); a FIFO is a live
// capture, and standard error says so while it waits for its reader.
// `virtual_time`: the lines' clocks run virtual time, which the capture's
// time stamps then count from the epoch instead of the wall clock. nullptr
// with *error set when the file cannot be created.
std::unique_ptr<RecordingSource> MakeRecordingSource(std::unique_ptr<DeviceSource> inner,
                                                     const std::string& path, bool virtual_time,
                                                     std::string* error);

// The devices of a recording. Its Finish() reports nothing; ReplayVerdict
// says whether the command asked for exactly what was recorded.
class ReplaySource : public DeviceSource {
 public:
  virtual std::string ReplayVerdict() const = 0;
};
std::unique_ptr<ReplaySource> MakeReplaySource(const std::string& path, std::string* error);

}  // namespace korvalen::cli
