#include <chrono>
#include <filesystem>

#include "cli/Commands.h"
#include "cli/ExitStatus.h"
#include "cli/HistorySummary.h"
#include "cli/JsonText.h"
#include "cli/RecordJson.h"
#include "image/PathText.h"
#include "image/Utf8Text.h"
#include "station/MoveToLine.h"
#include "station/SqliteStore.h"

namespace korvalen::cli {
namespace {

int64_t NowUtcUs() {
  return std::chrono::duration_cast<std::chrono::microseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

// One line of text: a reason's line breaks and tabs become spaces.
std::string OneLine(const std::string& text) {
  std::string line = EscapeInvalidUtf8(text);
  for (char& c : line)
    if (c == '\n' || c == '\r' || c == '\t') c = ' ';
  return line;
}

std::string TextLine(const station::RunRecord& r) {
  std::string line = UtcTimeText(r.started_utc_us).substr(0, 19) + "Z  " +
                     std::string(station::RunResultText(r.result)) + "  " +
                     (r.model.empty() ? "(model unknown)" : OneLine(r.model)) + "  " +
                     OneLine(r.device_path) + "  " + OneLine(r.station);
  if (!r.operator_name.empty()) line += " (" + OneLine(r.operator_name) + ")";
  if (!r.serial_sent.empty())
    line += "  serial " + OneLine(r.serial_sent) + " (" +
            std::string(station::SerialStateText(r.serial_state)) + ")";
  else if (!r.serial_before.empty())
    line += "  serial " + OneLine(r.serial_before) + " (" +
            std::string(station::SerialStateText(r.serial_state)) + ")";
  if (!r.failed_step.empty() || !r.reason.empty())
    line += "  at " + OneLine(r.failed_step) + ": " + OneLine(r.reason);
  return line;
}

int MoveCommand(const CommonOptions& common, const std::string& db, const std::string& line,
                Output& out) {
  station::MoveReport report;
  if (station::StoreStatus status = station::MoveToLine(db, line, &report); !status) {
    out.Error("korvalen-fw: history --move-to: " + EscapeInvalidUtf8(status.error) +
              (report.records > 0 ? " (" + std::to_string(report.records) +
                                        " records were moved; moving again adds each once)"
                                  : std::string()));
    return kExitFailed;
  }
  const int status = report.clashes > 0 ? kExitFailed : kExitOk;
  if (common.json) {
    out.Text(JsonText({{"from", EscapeInvalidUtf8(report.from)},
                       {"to", EscapeInvalidUtf8(report.to)},
                       {"records", report.records},
                       {"counters", report.counters},
                       {"serials", report.serials},
                       {"clashes", report.clashes}}));
    return status;
  }
  out.Line("moved " + std::to_string(report.records) + " records, " +
           std::to_string(report.counters) + " serial counters and " +
           std::to_string(report.serials) + " serial numbers from " +
           EscapeInvalidUtf8(report.from) + " to " + EscapeInvalidUtf8(report.to));
  if (report.clashes > 0)
    out.Error("korvalen-fw: history --move-to: " + std::to_string(report.clashes) +
              " serial numbers had already been given to other units on the line: two units "
              "carry each of them (see the serials table)");
  return status;
}

}  // namespace

std::string DefaultStoreText() {
  const std::filesystem::path path = station::DefaultStorePath();
  return path.empty() ? std::string() : PathText(path);
}

int HistoryCommand(const CommonOptions& common, const HistoryOptions& options, Output& out) {
  if (!options.move_to.empty() && (options.csv || !options.by.empty() || !options.since.empty())) {
    out.Error(
        "korvalen-fw: history: --move-to moves the whole store; leave out --csv, --by and "
        "--since");
    return kExitRefused;
  }
  if (options.csv && common.json) {
    out.Error("korvalen-fw: history: --csv and --json exclude each other");
    return kExitRefused;
  }
  if (!options.by.empty() && !Summarize({}, options.by)) {
    out.Error("korvalen-fw: history: --by \"" + EscapeInvalidUtf8(options.by) +
              "\": summarize by station, hour or step");
    return kExitRefused;
  }
  station::HistoryQuery query;
  if (!options.since.empty()) {
    query.since_utc_us = ParseSinceTime(options.since, NowUtcUs());
    if (!query.since_utc_us) {
      out.Error("korvalen-fw: history: --since \"" + EscapeInvalidUtf8(options.since) +
                "\" is no time: give a date (2026-12-11), a date and time (2026-12-11T08:30, "
                "local; add Z for UTC) or an age (90m, 12h, 7d)");
      return kExitRefused;
    }
  }
  std::string db = options.db;
  if (db.empty()) {
    db = DefaultStoreText();
    if (db.empty()) {
      out.Error("korvalen-fw: history: the system names no home folder for the store; give --db");
      return kExitRefused;
    }
  }
  // Reading the history never makes a store: a mistyped name is not a
  // new, empty one.
  if (!station::IsPostgresTarget(db)) {
    std::error_code ec;
    if (!std::filesystem::exists(PathFromUtf8(db), ec)) {
      out.Error("korvalen-fw: history: no store at " + EscapeInvalidUtf8(db) +
                " (a station makes it when it records its first unit)");
      return kExitRefused;
    }
  }
  if (!options.move_to.empty()) return MoveCommand(common, db, options.move_to, out);
  std::string error;
  std::unique_ptr<station::Store> store = station::OpenStore(db, &error);
  if (!store) {
    out.Error("korvalen-fw: history: " + EscapeInvalidUtf8(error));
    return kExitRefused;
  }
  std::vector<station::RunRecord> records;
  if (station::StoreStatus status = store->History(query, &records); !status) {
    out.Error("korvalen-fw: history: " + EscapeInvalidUtf8(status.error));
    return kExitFailed;
  }

  if (!options.by.empty()) {
    const SummaryTable table = *Summarize(records, options.by);
    if (common.json)
      out.Text(JsonText({{"store", EscapeInvalidUtf8(store->Where())},
                         {"by", options.by},
                         {"rows", SummaryJson(table)}}));
    else
      out.Text(options.csv ? SummaryCsv(table) : SummaryText(table));
    return kExitOk;
  }
  if (common.json) {
    nlohmann::json list = nlohmann::json::array();
    for (const station::RunRecord& record : records) list.push_back(RecordJson(record));
    out.Text(JsonText({{"store", EscapeInvalidUtf8(store->Where())}, {"records", list}}));
    return kExitOk;
  }
  if (options.csv) {
    std::string text = RecordCsvHeader();
    for (const station::RunRecord& record : records) text += RecordCsvLine(record);
    out.Text(text);
    return kExitOk;
  }
  int passed = 0;
  for (const station::RunRecord& record : records) {
    out.Line(TextLine(record));
    if (record.result == station::RunResult::kPassed) ++passed;
  }
  out.Line(std::to_string(records.size()) + (records.size() == 1 ? " record" : " records") + ", " +
           std::to_string(passed) + " passed, in " + EscapeInvalidUtf8(store->Where()));
  return kExitOk;
}

}  // namespace korvalen::cli
