#include "station/StationCommand.h"

#include <fmt/format.h>

#include <filesystem>

#include "cli/ExitStatus.h"
#include "cli/RecordJson.h"
#include "cli/StopSignals.h"
#include "image/PathText.h"
#include "image/Utf8Text.h"
#include "link/ModelTable.h"
#include "station/ModelFiles.h"
#include "station/SqliteStore.h"
#include "station/Station.h"
#include "station/StationOutput.h"
#include "station/StationPlace.h"

namespace korvalen::station {
namespace {

// The store as the command line names it: --db, else the user's data folder.
std::string StoreTarget(const cli::StationOptions& options, std::string* error) {
  if (!options.db.empty()) return options.db;
  const std::filesystem::path path = DefaultStorePath();
  if (path.empty()) {
    *error = "no data folder to keep the store in: name one with --db FILE";
    return {};
  }
  return PathText(path);
}

// Records the store did not take, one JSON object a line, so none is lost.
void ShowUnstored(const StationOutcome& outcome, cli::Output& out) {
  out.Error(fmt::format("korvalen-fw: {} record{} not stored ({}); here {}, one JSON object a line:",
                        outcome.unstored.size(), outcome.unstored.size() == 1 ? " was" : "s were",
                        outcome.store_error, outcome.unstored.size() == 1 ? "it is" : "they are"));
  for (const RunRecord& record : outcome.unstored) {
    out.Error(cli::RecordJson(record).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace));
  }
}

}  // namespace

int StationCommand(cli::DeviceSource& source, const cli::CommonOptions& common,
                   const cli::StationOptions& options, cli::Output& out) {
  ModelFiles files;
  if (const std::string error = files.Load(options.files, std::filesystem::current_path());
      !error.empty()) {
    out.Error("korvalen-fw: station: " + error);
    return kExitRefused;
  }
  StationSettings settings;
  if (!options.recovery_model.empty()) {
    settings.recovery_row = ModelRowForKey(options.recovery_model);
    if (!settings.recovery_row) {
      out.Error("korvalen-fw: --recovery-model " + options.recovery_model +
                ": not a model key (" + ModelKeyList() + ")");
      return kExitRefused;
    }
    if (files.For(*settings.recovery_row) == nullptr) {
      out.Error("korvalen-fw: --recovery-model " + options.recovery_model +
                ": the station has no update file for " +
                ModelTable[*settings.recovery_row].display_name);
      return kExitRefused;
    }
  }
  if (options.serial_format) {
    std::string why;
    settings.serial = SerialFormat::Parse(*options.serial_format, &why);
    if (!settings.serial) {
      out.Error("korvalen-fw: --serial " + EscapeInvalidUtf8(*options.serial_format) + ": " + why);
      return kExitRefused;
    }
    if (options.serial_start > settings.serial->MaxNumber()) {
      out.Error(fmt::format("korvalen-fw: --serial-start {}: the counter of \"{}\" holds at most {}",
                            options.serial_start, settings.serial->text(),
                            settings.serial->MaxNumber()));
      return kExitRefused;
    }
    settings.serial_start = options.serial_start;
    settings.keep_serial = options.keep_serial;
  } else if (options.keep_serial) {
    out.Error("korvalen-fw: --keep-serial needs --serial FORMAT");
    return kExitRefused;
  }
  settings.station_name = options.station_name.empty() ? HostName() : options.station_name;
  settings.operator_name = options.operator_name;
  settings.exit_after = options.exit_after;

  // Records that could not be kept would be lost: no store, no station.
  std::string error;
  const std::string target = StoreTarget(options, &error);
  std::unique_ptr<Store> store = target.empty() ? nullptr : OpenStore(target, &error);
  if (!store) {
    out.Error("korvalen-fw: station: the store cannot be written, so nothing would be recorded: " +
              error);
    return kExitRefused;
  }

  for (const ModelFile& file : files.all()) {
    out.Error(fmt::format("korvalen-fw: {}: {}, {} bytes, checksum 0x{:04X}, SHA-256 {}",
                          ModelTable[file.row].file_key, file.name, file.image->length,
                          file.checksum, file.sha256));
  }
  out.Error("korvalen-fw: station " + settings.station_name + " records into " + store->Where() +
            "; waiting for devices (Ctrl-C stops taking new ones)");

  const OutputStyle style = common.json     ? OutputStyle::kJsonLines
                            : out.terminal ? OutputStyle::kTerminal
                                           : OutputStyle::kLines;
  StationOutput view(out, style);
  StationOutcome outcome;
  {
    // From here on a signal stops the station in two steps, never mid-update.
    const cli::StopSignals stop_signals(cli::StopMode::kStation);
    Station station(source, files, *store, settings, view);
    outcome = station.Run();
  }
  view.Close();

  out.Error(fmt::format("korvalen-fw: station ended: {} run{}, {} passed, {} not", outcome.runs,
                        outcome.runs == 1 ? "" : "s", outcome.passed,
                        outcome.runs - outcome.passed));
  if (const std::string finish_error = source.Finish(); !finish_error.empty()) {
    out.Error("korvalen-fw: the simulated devices were not saved: " + finish_error);
  }
  if (!outcome.unstored.empty()) {
    ShowUnstored(outcome, out);
    return kExitNotRecorded;
  }
  if (outcome.scan_failed) {
    out.Error("korvalen-fw: cannot list the USB devices: the system's device query failed");
    return kExitNoDevice;
  }
  if (outcome.void_serials > 0) {
    out.Error(fmt::format("korvalen-fw: {} unit{} passed without {} serial number: the serial{} "
                          "sent {} void (see the records)",
                          outcome.void_serials, outcome.void_serials == 1 ? "" : "s",
                          outcome.void_serials == 1 ? "its" : "their",
                          outcome.void_serials == 1 ? "" : "s",
                          outcome.void_serials == 1 ? "is" : "are"));
  }
  // A unit without the serial it was to get is not finished.
  return outcome.passed == outcome.runs && outcome.void_serials == 0 ? kExitOk : kExitFailed;
}

}  // namespace korvalen::station
