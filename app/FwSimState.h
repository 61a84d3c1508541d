// --sim-state: a simulated device kept in a directory across runs of
// korvalen-fw, so update, verify and read act on the same device. Each
// device has a directory of its own (device-1, device-2, ...) with its flash
// cells (flash.bin), its register banks and selected bank (registers.bin)
// and a small JSON file with the flash status bits and what its firmware
// keeps (settings block, identity texts).
#pragma once

#include <filesystem>
#include <string>

#include "sim/SimDevice.h"

namespace korvalen::fwsim {

// Loads the saved state into device when the directory holds one. An error
// text (a damaged state file), or empty; nothing loaded is not an error.
std::string LoadSimState(const std::filesystem::path& directory, sim::SimDevice& device);
// Saves the device: the files go to a folder beside its own, swapped in
// whole, so a failed save leaves the previous state as it was.
std::string SaveSimState(const std::filesystem::path& directory, sim::SimDevice& device);

}  // namespace korvalen::fwsim
