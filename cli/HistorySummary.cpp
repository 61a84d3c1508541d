#include "cli/HistorySummary.h"

#include <cstdio>
#include <ctime>
#include <map>
#include <mutex>
#include <tuple>

#include "cli/RecordJson.h"
#include "image/Utf8Text.h"

namespace korvalen::cli {
namespace {

struct Counts {
  int runs = 0;
  int passed = 0;
};

std::string Percent(const Counts& counts) {
  char text[16];
  std::snprintf(text, sizeof text, "%.1f",
                counts.runs == 0 ? 0.0 : 100.0 * counts.passed / counts.runs);
  return text;
}

// The local hour a run started in, "2026-12-11 08:00".
std::string LocalHour(int64_t utc_us) {
  static std::mutex mutex;  // std::localtime shares one buffer
  int64_t whole = utc_us / 1'000'000;
  if (utc_us % 1'000'000 < 0) --whole;  // the second it falls in, also before 1970
  const std::time_t seconds = static_cast<std::time_t>(whole);
  std::lock_guard<std::mutex> lock(mutex);
  const std::tm* local = std::localtime(&seconds);
  if (local == nullptr) return "?";
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%d %H:00", local);
  return text;
}

}  // namespace

std::optional<SummaryTable> Summarize(const std::vector<station::RunRecord>& records,
                                      const std::string& by) {
  SummaryTable table;
  if (by == "station" || by == "hour") {
    std::map<std::string, Counts> groups;
    for (const station::RunRecord& record : records) {
      Counts& counts = groups[by == "station" ? record.station : LocalHour(record.started_utc_us)];
      ++counts.runs;
      if (record.result == station::RunResult::kPassed) ++counts.passed;
    }
    table.columns = {by, "runs", "passed", "yield_percent"};
    for (const auto& [key, counts] : groups)
      table.rows.push_back({EscapeInvalidUtf8(key), std::to_string(counts.runs),
                            std::to_string(counts.passed), Percent(counts)});
    return table;
  }
  if (by == "step") {
    std::map<std::tuple<std::string, std::string, std::string>, int> groups;
    for (const station::RunRecord& record : records) {
      if (record.result == station::RunResult::kPassed) continue;
      ++groups[{record.failed_step, record.reason,
                std::string(station::RunResultText(record.result))}];
    }
    table.columns = {"failed_step", "reason", "result", "runs"};
    for (const auto& [key, runs] : groups)
      table.rows.push_back({EscapeInvalidUtf8(std::get<0>(key)),
                            EscapeInvalidUtf8(std::get<1>(key)), std::get<2>(key),
                            std::to_string(runs)});
    return table;
  }
  return std::nullopt;
}

std::string SummaryText(const SummaryTable& table) {
  std::vector<size_t> widths;
  for (const std::string& column : table.columns) widths.push_back(column.size());
  auto one_line = [](std::string text) {
    for (char& c : text)
      if (c == '\n' || c == '\r' || c == '\t') c = ' ';
    return text;
  };
  for (const auto& row : table.rows)
    for (size_t i = 0; i < row.size(); ++i)
      widths[i] = std::max(widths[i], one_line(row[i]).size());
  std::string text;
  auto line = [&](const std::vector<std::string>& cells) {
    std::string out;
    for (size_t i = 0; i < cells.size(); ++i) {
      const std::string cell = one_line(cells[i]);
      out += cell;
      if (i + 1 < cells.size()) out += std::string(widths[i] - cell.size() + 2, ' ');
    }
    text += out + "\n";
  };
  line(table.columns);
  for (const auto& row : table.rows) line(row);
  return text;
}

std::string SummaryCsv(const SummaryTable& table) {
  std::string text;
  auto line = [&](const std::vector<std::string>& cells) {
    for (size_t i = 0; i < cells.size(); ++i) text += (i > 0 ? "," : "") + CsvField(cells[i]);
    text += "\n";
  };
  line(table.columns);
  for (const auto& row : table.rows) line(row);
  return text;
}

nlohmann::json SummaryJson(const SummaryTable& table) {
  nlohmann::json rows = nlohmann::json::array();
  for (const auto& row : table.rows) {
    nlohmann::json object;
    for (size_t i = 0; i < row.size(); ++i) {
      const std::string& column = table.columns[i];
      if (column == "runs" || column == "passed")
        object[column] = std::stoi(row[i]);
      else if (column == "yield_percent")
        object[column] = std::stod(row[i]);
      else
        object[column] = row[i];
    }
    rows.push_back(object);
  }
  return rows;
}

}  // namespace korvalen::cli
