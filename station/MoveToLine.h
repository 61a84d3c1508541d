// Moving a station's SQLite store to a line's PostgreSQL database: every
// record (kept once, by id, so a second move adds nothing), every serial
// number taken, used or void, and each counter, so the line's serials
// continue after the station's and never start again.
#pragma once

#include <string>

#include "station/Store.h"

namespace korvalen::station {

struct MoveReport {
  std::string from;  // where, for messages
  std::string to;
  int records = 0;
  int counters = 0;
  int serials = 0;
  int clashes = 0;  // numbers both stores had given, each to a unit of its own
};

StoreStatus MoveToLine(const std::string& sqlite_db, const std::string& line_db,
                       MoveReport* report);

}  // namespace korvalen::station
