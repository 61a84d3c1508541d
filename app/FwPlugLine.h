// The simulated production line of `station --simulate`: devices plugged in
// and unplugged on a schedule (--plug), each with its own simulated chip
// and driver, on one clock for the whole line (virtual with --fast), safe to
// list while their updates run.
#pragma once

#include <memory>
#include <string>

#include "cli/Devices.h"
#include "cli/FwCommand.h"

namespace korvalen::fwsim {

// The line of request.plugs; without plugs, request.devices devices plugged
// in at the start that stay. nullptr with *error set for a malformed plug.
std::unique_ptr<cli::DeviceSource> MakePlugLine(const cli::SimRequest& request, std::string* error);

}  // namespace korvalen::fwsim
