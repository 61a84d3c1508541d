// The store a station records into, opened as a station needs it.
#pragma once

#include <filesystem>
#include <memory>
#include <string>

#include "station/Store.h"

namespace korvalen::station {

// db as OpenStore takes it. A line's database comes with the station's
// outage spool (spool, or DefaultSpoolPath(station) when empty) and may be
// down at the start: the station records into the spool until it answers.
// An SQLite file is opened as OpenStore opens it.
std::unique_ptr<Store> OpenStationStore(const std::string& db, const std::string& station,
                                        const std::filesystem::path& spool, std::string* error);

}  // namespace korvalen::station
