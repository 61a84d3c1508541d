#include <unistd.h>

#include "station/StationPlace.h"

namespace korvalen::station {

std::string HostName() {
  char name[256] = {};
  if (gethostname(name, sizeof name - 1) != 0 || name[0] == '\0') return "station";
  return name;
}

}  // namespace korvalen::station
