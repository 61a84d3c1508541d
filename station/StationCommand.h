// `korvalen-fw station`: checks the files and the store, then runs the
// station until its runs are done or it is stopped, and says how it went.
#pragma once

#include "cli/Commands.h"

namespace korvalen::station {

int StationCommand(cli::DeviceSource& source, const cli::CommonOptions& common,
                   const cli::StationOptions& options, cli::Output& out);

}  // namespace korvalen::station
