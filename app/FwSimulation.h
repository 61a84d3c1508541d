// korvalen-fw's simulated devices (--simulate): each device with its own
// driver and clock, so parallel updates share nothing.
#pragma once

#include <memory>
#include <string>

#include "cli/Devices.h"
#include "cli/FwCommand.h"

namespace korvalen::fwsim {

std::unique_ptr<cli::DeviceSource> MakeSimulation(const cli::SimRequest& request,
                                                  std::string* error);

}  // namespace korvalen::fwsim
