// A station's run record as the command line shows it: JSON (history
// --json, the station's JSON Lines), a CSV row, and UTC time texts.
#pragma once

#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "station/RunRecord.h"

namespace korvalen::cli {

// "2026-12-11T16:20:01.250000Z" for microseconds since 1970 UTC.
std::string UtcTimeText(int64_t utc_us);

// The instant TIME names, in microseconds since 1970 UTC: an ISO date
// with an optional time ("2026-12-11", "2026-12-11T08:30", "... 08:30:15"),
// local time unless it ends in Z; or an age before now_utc_us ("90m",
// "12h", "7d"). nullopt when TIME is none of these.
std::optional<int64_t> ParseSinceTime(std::string_view text, int64_t now_utc_us);

nlohmann::json RecordJson(const station::RunRecord& record);

// A CSV field: quoted where it holds a comma, a quote or a line break.
std::string CsvField(std::string_view text);

// The CSV header line and a record's line, each ending in "\n"; fields
// are quoted where they hold a comma, a quote or a line break.
std::string RecordCsvHeader();
std::string RecordCsvLine(const station::RunRecord& record);

}  // namespace korvalen::cli
