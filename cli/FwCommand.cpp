#include "cli/FwCommand.h"

#include <CLI/CLI.hpp>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <sstream>

#include "cli/Commands.h"
#include "cli/Engineering.h"
#include "cli/JsonText.h"
#include "cli/Output.h"
#include "cli/Recorded.h"
#include "image/OutputFile.h"
#include "image/PathText.h"
#include "image/Utf8Text.h"
#include "link/DeviceLock.h"

namespace korvalen::cli {
namespace {

constexpr int kMaxSimulatedDevices = 64;

// --record must not replace a file the command reads or writes: each of
// them by what it is to the user. An error text, or empty.
std::string CheckRecordPath(const std::string& record_path,
                            const std::vector<std::pair<std::string, std::string>>& files) {
  const std::filesystem::path record = PathFromUtf8(record_path);
  for (const auto& [what, file] : files) {
    if (!file.empty() && OutputMeetsFile(record, PathFromUtf8(file)))
      return "--record " + PathText(record) + " is " + what + ": the capture would replace it";
  }
  return {};
}

// --json anywhere before a lone "--": known even when the command line is
// refused before it was parsed.
bool JsonAsked(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg == "--") return false;
    if (arg == "--json") return true;
  }
  return false;
}

// parse_error gets the command-line parser's message, which it prints itself.
int RunCommandLine(int argc, char** argv, const SimSourceFactory& make_simulation,
                   const StationRunner& run_station, Output& out, std::string& parse_error) {
  CLI::App app{
      "korvalen-fw: firmware updates and chip access for KORVALEN USB audio devices, on one "
      "device or many at once.",
      "korvalen-fw"};
  app.require_subcommand(1);
  app.set_version_flag("--version", "korvalen-fw " KORVALEN_VERSION);
  app.fallthrough();
  app.footer(
      "Exit status: 0 success; 1 the update or check failed (or was cancelled at the "
      "question); 2 the file or command line was refused before anything was sent; 3 no device "
      "(or several without --device/--all); 4 a device could not be opened, another program "
      "is using it, or its lock could not be taken; 5 the update succeeded, an output "
      "(--report, --sim-state) was not saved; 6 station: a record was not stored (the records "
      "not stored are printed on standard error); 130 a second Ctrl-C or SIGTERM within 5 s ended "
      "an update at once (the first stops it as the window's Stop does).");

  CommonOptions common;
  SimRequest sim;
  bool simulate = false;
  std::string simulate_model;
  app.add_flag("--json", common.json, "print one JSON document and nothing else on standard output");
  app.add_option("--device", common.device_path, "the device at this path (see list)");
  app.add_flag("--simulate{0}", simulate_model,
               "work on simulated devices: --simulate=MODEL picks the model (a ModelTable row "
               "0-4, a model key such as KORVALEN_TIDE, or 5e1a/0c3d for a firmware-update "
               "identity)")
      ->expected(0, 1);
  app.add_option("--flash", sim.flash,
                 "simulated flash: page256, page32, aai or a part name (sst25vf020b, "
                 "sst25vf040b, mx25l1021e, mx25l2006e, w25x20cl)");
  app.add_option("--fault", sim.faults,
                 "simulated fault, repeatable: reject:N, vanish:N, stuck-busy, weak:ADDR:K, "
                 "mailbox-silent, flip:ADDR:MASK, i2c-nak:ADDR, deny-access; add @N for device N only");
  app.add_option("--devices", sim.devices, "number of simulated devices")
      ->check(CLI::Range(1, kMaxSimulatedDevices));
  app.add_flag("--fast", sim.fast, "simulated devices run in virtual time");
  app.add_option("--sim-state", sim.state_dir,
                 "keep the simulated devices in this directory across runs");
  app.add_option("--plug", sim.plugs,
                 "station: one simulated device plugged in on a schedule, repeatable: "
                 "at=SECONDS,model=MODEL[,stay=SECONDS][,fault=FAULT]...[,serial=TEXT][,port=N] "
                 "(replaces --devices; faults go into the plug)");
  app.add_option("--playback", sim.playback,
                 "what the simulated firmware plays: disconnected, muted, pcm:N or dsd:N");

  std::string record_path;
  std::string replay_path;
  app.add_option("--record", record_path,
                 "write every USB control transfer of the command to FILE, a capture (pcap, "
                 "usbmon) that Wireshark and tshark open; a FIFO is a live capture "
                 "(wireshark -k -i FIFO)");
  app.add_option("--replay", replay_path,
                 "work on the device(s) of a recording made with --record instead: each request "
                 "must be the recorded one, and gets the recorded answer");

  CLI::App* list = app.add_subcommand("list", "list every attached device the updater knows");
  bool list_firmware = false;
  list->add_flag("--firmware", list_firmware,
                 "also read each device's firmware version (selects register bank 0)");

  UpdateOptions update;
  CLI::App* update_command =
      app.add_subcommand("update", "the one-click firmware update of one device, or of all");
  update_command->add_option("FILE", update.file,
                             "the update file (.hex or .bin); default: the model's update file "
                             "in the current directory");
  update_command->add_flag("--all", update.all, "update every attached device in parallel");
  update_command->add_flag("-y,--yes", update.yes, "do not ask for confirmation");
  update_command->add_option("--report", update.report_path, "also write the JSON report here");
  update_command->add_flag("--force", update.force,
                           "program FILE even when its name is another model's update file");

  ReadOptions read;
  CLI::App* read_command = app.add_subcommand(
      "read", "read the flash back into a binary file (or the text dump with --dump)");
  read_command->add_option("OUT", read.out, "the file to write")->required();
  read_command->add_option("--size", read.size,
                           "bytes to read from address 0 (default: the flash's size, from its "
                           "JEDEC ID)");
  read_command->add_flag("--dump", read.dump, "write the text dump of the first 32 KiB");

  std::string verify_file;
  CLI::App* verify_command =
      app.add_subcommand("verify", "compare the flash with a file without writing");
  verify_command->add_option("FILE", verify_file, "the .hex or .bin file")->required();

  StationOptions station;
  CLI::App* station_command = app.add_subcommand(
      "station", "a production station: update every device plugged in, once per plug, and "
                 "record each run");
  station_command->add_option("FILE", station.files,
                              "update files, each named for its model (KORVALEN_TIDE.hex) or "
                              "KEY=PATH; default: every model's file in the current directory");
  station_command->add_option("--station", station.station_name,
                              "the station's name in its records (default: the host name)");
  station_command->add_option("--operator", station.operator_name,
                              "the operator's name in the records");
  station_command->add_option("--db", station.db,
                              "the store: an SQLite file or a postgresql:// database (default: "
                              "station.sqlite in the user's data folder, $XDG_DATA_HOME/korvalen "
                              "or ~/.local/share/korvalen; %LOCALAPPDATA%\\KORVALEN on Windows)");
  station_command->add_option("--exit-after", station.exit_after,
                              "take this many runs, then end when they have their verdicts")
      ->check(CLI::Range(1, 1000000000));
  station_command->add_option("--recovery-model", station.recovery_model,
                              "update devices in a firmware-update identity as this model (a "
                              "model key); without it they are recorded as model unknown");
  station_command->add_option("--serial", station.serial_format,
                              "send each unit that passed its own USB serial number: FORMAT is "
                              "text with one counter {seq:N} (N digits) and optionally {yyyy}, "
                              "{yy}, {mm}, {dd} (local date), at most 31 printable ASCII bytes");
  station_command->add_option("--serial-start", station.serial_start,
                              "the counter's first number when the store has none for FORMAT "
                              "(default 1)");
  station_command->add_flag("--keep-serial", station.keep_serial,
                            "a unit that already reports a serial keeps it (one FORMAT makes "
                            "is counted as used)");

  HistoryOptions history;
  CLI::App* history_command = nullptr;
#if KORVALEN_HAVE_STATION
  history_command = app.add_subcommand(
      "history", "print a station's records, oldest first: one line each, CSV or JSON");
  history_command->add_option(
      "--db", history.db,
      "the store: an SQLite file or a postgresql:// database (default: station.sqlite in the "
      "user's data folder, $XDG_DATA_HOME/korvalen or ~/.local/share/korvalen; "
      "%LOCALAPPDATA%\\KORVALEN on Windows)");
  history_command->add_option("--since", history.since,
                              "only runs started at or after TIME: 2026-12-11, "
                              "2026-12-11T08:30 (local; add Z for UTC), or an age: 90m, 12h, 7d");
  history_command->add_flag("--csv", history.csv,
                            "print CSV: a header line, then one line per record");
  history_command->add_option("--by", history.by,
                              "print a summary instead: yield per station or per hour (local "
                              "time), or the runs that did not pass by step and reason");
  history_command->add_option(
      "--move-to", history.move_to,
      "move the --db SQLite store's records, serial numbers and counters to this line's "
      "postgresql:// database, so its serials continue there (safe to repeat)");
#endif

  EngineeringCommands engineering(app);

  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp& e) {
    return app.exit(e);
  } catch (const CLI::CallForAllHelp& e) {
    return app.exit(e);
  } catch (const CLI::CallForVersion& e) {
    // Printing the version is an answer, not a refused command line.
    return app.exit(e);
  } catch (const CLI::ParseError& e) {
    // The parser repeats what was typed: bytes of another encoding are
    // shown escaped, as in every other message.
    std::ostringstream said, complaint;
    app.exit(e, said, complaint);
    const std::string text = EscapeInvalidUtf8(complaint.str());
    std::fwrite(text.data(), 1, text.size(), stderr);
    parse_error = EscapeInvalidUtf8(e.what());
    return kExitRefused;
  }
  simulate = app.count("--simulate") > 0;
  // An empty value would quietly mean none: --replay "" went to real
  // devices, read "" read the whole flash before it failed.
  struct Named {
    const CLI::App* command;
    const char* name;
    const std::string& value;
    const char* wanted;
  };
  for (const Named& option :
       {Named{&app, "--replay", replay_path, "a recording made with --record"},
        Named{&app, "--record", record_path, "the capture file to write"},
        Named{&app, "--sim-state", sim.state_dir, "the folder of the kept simulated devices"},
        Named{&app, "--device", common.device_path, "a device path (see list)"},
        Named{update_command, "--report", update.report_path, "the report file to write"},
        Named{station_command, "--station", station.station_name, "the station"},
        Named{station_command, "--operator", station.operator_name, "the operator"},
        Named{station_command, "--db", station.db, "the store file"},
        Named{station_command, "--recovery-model", station.recovery_model, "a model key"},
        Named{read_command, "OUT", read.out, "the file to write"}}) {
    if (option.command->count(option.name) > 0 && option.value.empty()) {
      const std::string name = option.command == &app
                                    ? std::string(option.name)
                                    : option.command->get_name() + " " + option.name;
      std::fprintf(stderr, "korvalen-fw: %s is empty: name %s\n", name.c_str(), option.wanted);
      return kExitRefused;
    }
  }
  // Without --simulate these would be ignored and the command would go to
  // real devices: the user meant a simulated one.
  if (!simulate) {
    for (const char* option :
         {"--fault", "--fast", "--flash", "--devices", "--sim-state", "--playback", "--plug"}) {
      if (app.count(option) > 0) {
        out.Error(std::string("korvalen-fw: ") + option +
                  " works on simulated devices only: add --simulate");
        return kExitRefused;
      }
    }
  }
  if (*update_command && update_command->count("FILE") > 0 && update.file.empty()) {
    out.Error("korvalen-fw: update: FILE is empty; name the update file, or leave it out for the "
              "model's own");
    return kExitRefused;
  }
  if (!sim.plugs.empty()) {
    if (!*station_command) {
      out.Error("korvalen-fw: --plug schedules devices for station only");
      return kExitRefused;
    }
    if (app.count("--devices") > 0) {
      out.Error("korvalen-fw: --plug replaces --devices: give one --plug per device");
      return kExitRefused;
    }
    if (app.count("--fault") > 0) {
      out.Error("korvalen-fw: --fault beside --plug is refused: give the fault in its plug "
                "(--plug at=0,model=2,fault=" + sim.faults.front() + ")");
      return kExitRefused;
    }
  }
  if (*station_command && !sim.state_dir.empty()) {
    out.Error("korvalen-fw: --sim-state keeps devices that stay; a station's devices come and "
              "go: leave it out");
    return kExitRefused;
  }
  if (*station_command && !common.device_path.empty()) {
    out.Error("korvalen-fw: station takes every device plugged in; --device does not apply");
    return kExitRefused;
  }
  if (update.all && !common.device_path.empty()) {
    out.Error("korvalen-fw: --all and --device exclude each other");
    return kExitRefused;
  }
  sim.model = simulate_model;
  sim.station = station_command->parsed();
  if (*station_command && (!record_path.empty() || !replay_path.empty())) {
    out.Error("korvalen-fw: station does not record or replay (--record, --replay): record one "
              "device with update instead");
    return kExitRefused;
  }

  const Terminal terminal;
  out.quiet = common.json;
  out.terminal = terminal.is_terminal();
  // The history reads a store and never a device.
  if (history_command != nullptr && *history_command) {
    if (simulate || !replay_path.empty() || !record_path.empty() || !common.device_path.empty()) {
      out.Error("korvalen-fw: history reads a store, not a device: leave out --simulate, "
                "--replay, --record and --device");
      return kExitRefused;
    }
    if (history_command->count("--db") > 0 && history.db.empty()) {
      out.Error("korvalen-fw: history --db is empty: name the store");
      return kExitRefused;
    }
    return HistoryCommand(common, history, out);
  }

  if (simulate && !replay_path.empty()) {
    out.Error("korvalen-fw: --simulate and --replay exclude each other");
    return kExitRefused;
  }
  if (!record_path.empty()) {
    std::vector<std::pair<std::string, std::string>> files = {
        {"the recording replayed", replay_path}};
    if (*update_command) {
      files.emplace_back("the update file", update.file);
      files.emplace_back("the report", update.report_path);
    }
    if (*verify_command) files.emplace_back("the file verified", verify_file);
    if (*read_command) files.emplace_back("the file read into", read.out);
    if (const std::string error = CheckRecordPath(record_path, files); !error.empty()) {
      out.Error("korvalen-fw: " + error);
      return kExitRefused;
    }
    common.record_path = record_path;
  }

  // Kept simulated devices have one master too: two runs on one folder
  // would each save their own device over the other's. The lock is a file
  // in the folder itself, so every spelling of the folder meets it. list
  // sends nothing and saves nothing: it reads the folder without the lock,
  // so a run holding it does not stop it.
  std::unique_ptr<DeviceLock> state_lock;
  const bool reads_only = *list && !list_firmware;
  if (simulate && !sim.state_dir.empty() && !reads_only) {
    const std::filesystem::path state_dir = PathFromUtf8(sim.state_dir);
    DeviceLockAttempt attempt = DeviceLock::TakeFolder(state_dir);
    if (!attempt.lock) {
      // Never run unlocked: exit 4 as for a device another program holds.
      out.Error("korvalen-fw: --sim-state " + PathText(state_dir) + ": " + attempt.message);
      return kExitCannotOpen;
    }
    state_lock = std::move(attempt.lock);
  }
  sim.read_only = reads_only;

  std::unique_ptr<DeviceSource> source;
  ReplaySource* replay = nullptr;
  if (!replay_path.empty()) {
    std::string error;
    auto replay_source = MakeReplaySource(replay_path, &error);
    if (!replay_source) {
      out.Error("korvalen-fw: --replay: " + error);
      return kExitRefused;
    }
    replay = replay_source.get();
    source = std::move(replay_source);
  } else if (simulate) {
    std::string error;
    source = make_simulation(sim, &error);
    if (!source) {
      out.Error("korvalen-fw: " + error);
      return kExitRefused;
    }
  } else {
    source = MakeUsbSource();
    if (!source) {
      out.Error("korvalen-fw: no USB driver on this system");
      return kExitNoDevice;
    }
  }

  RecordingSource* recording = nullptr;
  if (!record_path.empty()) {
    // Simulated devices on the virtual clock and replays run virtual time.
    const bool virtual_time = replay != nullptr || (simulate && sim.fast);
    std::string error;
    auto recording_source = MakeRecordingSource(std::move(source), record_path, virtual_time, &error);
    if (!recording_source) {
      out.Error("korvalen-fw: --record: " + error);
      return kExitRefused;
    }
    recording = recording_source.get();
    source = std::move(recording_source);
  }

  auto run = [&]() -> int {
    if (*list) {
      const int status = ListCommand(*source, common, list_firmware, out);
      source->Finish();
      return status;
    }
    if (*read_command) return ReadCommand(*source, common, read, out);
    if (*verify_command) return VerifyCommand(*source, common, verify_file, out);
    if (*update_command) return UpdateCommand(*source, common, update, out);
    if (*station_command) {
      if (!run_station) {
        out.Error("korvalen-fw: this build has no station");
        return kExitRefused;
      }
      return run_station(*source, common, station, out);
    }
    if (const auto status = engineering.Run(*source, common, out)) return *status;
    return kExitRefused;
  };
  int status = run();
  // A command refused before it sent anything leaves an old capture alone.
  if (status == kExitRefused && recording != nullptr) recording->Discard();
  // A replay passes only when the command asked for exactly the recording.
  if (replay != nullptr) {
    if (const std::string verdict = replay->ReplayVerdict(); !verdict.empty()) {
      out.Error("korvalen-fw: " + verdict);
      if (status == kExitOk) status = kExitFailed;
    }
  }
  return status;
}

}  // namespace

int RunFw(int argc, char** argv, const SimSourceFactory& make_simulation,
          const StationRunner& run_station) {
  // The commands report their errors as texts; an exception that still
  // escapes (a file system that fails in a way nobody checked) becomes a
  // message and an exit code, never an abort.
  Output out;
  std::string parse_error;
  int status = kExitRefused;
  try {
    status = RunCommandLine(argc, argv, make_simulation, run_station, out, parse_error);
  } catch (const std::exception& e) {
    out.Error("korvalen-fw: " + EscapeInvalidUtf8(e.what()));
  } catch (...) {
    out.Error("korvalen-fw: an unexpected error ended the command");
  }
  // With --json a failure that printed no document of its own still prints
  // one, so a script reading standard output always gets JSON.
  if (status != kExitOk && JsonAsked(argc, argv) && !out.wrote_text()) {
    std::string error = out.last_error();
    if (error.empty()) error = parse_error;
    if (error.empty()) error = "the command failed";
    out.Text(JsonText(nlohmann::json({{"error", EscapeInvalidUtf8(error)}, {"exit", status}})));
  }
  return status;
}

}  // namespace korvalen::cli
