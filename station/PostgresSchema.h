// The PostgreSQL store's schema steps and how a record maps to its row,
// shared by the store's source files.
#pragma once

#include <optional>
#include <string>

#include "station/PostgresSql.h"
#include "station/RunRecord.h"

namespace korvalen::station {

// Every schema step from version N-1 to N, in order (kPostgresSchemaVersion).
extern const char* const kPostgresMigrations[];
// Keeps a record; one already kept (by id) is left as it is.
extern const std::string kPostgresInsertRecord;

SqlParams RecordParams(const RunRecord& record);
// nullopt when the row names a result or state this build does not know.
std::optional<RunRecord> ReadRecord(const SqlResult& rows, int row);

// Records unused numbers [from, to] of format as gaps: given to nobody,
// never given again.
bool RecordGaps(Sql& sql, const std::string& format, int64_t from, int64_t to,
                const std::string& station);

// A libpq message without its trailing line break.
std::string Trimmed(std::string message);

}  // namespace korvalen::station
