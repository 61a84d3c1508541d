// A station's default name. One header, one file per system.
#pragma once

#include <filesystem>
#include <string>

namespace korvalen::station {

// The host name, or "station" when the system does not say.
std::string HostName();

}  // namespace korvalen::station
