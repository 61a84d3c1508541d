#include <cstdlib>

#include "station/SqliteStore.h"

namespace korvalen::station {

std::filesystem::path DefaultStorePath() {
  // The XDG base directories: data that belongs to the user and survives.
  if (const char* data = std::getenv("XDG_DATA_HOME"); data != nullptr && data[0] == '/')
    return std::filesystem::path(data) / "korvalen" / "station.sqlite";
  if (const char* home = std::getenv("HOME"); home != nullptr && home[0] != '\0')
    return std::filesystem::path(home) / ".local" / "share" / "korvalen" / "station.sqlite";
  return {};
}

}  // namespace korvalen::station
