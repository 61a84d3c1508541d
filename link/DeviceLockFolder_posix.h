// The POSIX device lock's folder as a parameter: tests try the folder's
// checks (a link, another user's folder, one anyone may empty) on a folder
// of their own instead of the system's.
#pragma once

#include <filesystem>
#include <string_view>

#include "link/DeviceLock.h"

namespace korvalen {

// DeviceLock::TakeDevice with folder in place of /run/lock/korvalen.
DeviceLockAttempt TakeDeviceLockIn(const std::filesystem::path& folder, std::string_view key);

}  // namespace korvalen
