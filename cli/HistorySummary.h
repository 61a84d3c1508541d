// The summaries of `history --by`: yield per station or per local hour,
// and the runs that did not pass by step and reason. Computed from the
// records, so both stores give the same.
#pragma once

#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "station/RunRecord.h"

namespace korvalen::cli {

struct SummaryTable {
  std::vector<std::string> columns;
  std::vector<std::vector<std::string>> rows;
};

// nullopt when by is none of "station", "hour", "step".
std::optional<SummaryTable> Summarize(const std::vector<station::RunRecord>& records,
                                      const std::string& by);

// The table as aligned text, as CSV (header first), or as JSON rows.
std::string SummaryText(const SummaryTable& table);
std::string SummaryCsv(const SummaryTable& table);
nlohmann::json SummaryJson(const SummaryTable& table);

}  // namespace korvalen::cli
