// The update reports: one JSON document per device (an array for --all), and
// the plain result table of a parallel update.
#pragma once

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "cli/Devices.h"
#include "cli/UpdateRun.h"

namespace korvalen::cli {

nlohmann::json DeviceJson(const DeviceEntry& device);
nlohmann::json ReportJson(const UpdateReport& report);

// "PATH  MODEL  RESULT  ATTEMPTS  TIME" with one row per device and the
// failed step of each device that failed.
std::string ResultTable(const std::vector<UpdateReport>& reports);

// "0x1A" and "0x00012C": how numbers read in texts and reports.
std::string HexByte(uint8_t value);
std::string HexAddress(uint32_t value);

}  // namespace korvalen::cli
