// One plug's run: the one-click update of one device, as `update` runs it,
// written down as the station's record from the update's values.
#pragma once

#include <functional>
#include <string_view>

#include "cli/DeviceSession.h"
#include "cli/Devices.h"
#include "flash/UpdateProgress.h"
#include "station/ModelFiles.h"
#include "station/RunRecord.h"

namespace korvalen::station {

struct PlugRunSinks {
  std::function<void(std::string_view text)> step_line;
  std::function<void(const ProgressReading& reading)> progress;
  // Called once the record says passed, with the device still connected,
  // for what the station sends a unit that passed.
  std::function<void(cli::DeviceSession& session)> passed;
};

// Updates device with file and completes record (whose station, operator,
// path, model and start are already set): result, failed step and reason,
// attempts, JEDEC ID, whether the device went away, and the firmware version
// the device reports afterwards.
void RunPlug(cli::DeviceSource& source, const cli::DeviceEntry& device, const ModelFile& file,
             const PlugRunSinks& sinks, RunRecord& record);

// Microseconds since 1970-01-01 UTC, now.
int64_t UtcMicrosNow();

}  // namespace korvalen::station
