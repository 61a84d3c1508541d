// The bodies of korvalen-fw's commands, each returning its exit code.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "cli/DeviceSession.h"
#include "cli/Devices.h"
#include "cli/Output.h"

namespace korvalen::cli {

struct CommonOptions {
  bool json = false;
  std::string device_path;  // --device
  std::string record_path;  // --record: never one of the command's files
};

struct UpdateOptions {
  std::string file;  // empty: the model's update file in the current directory
  bool all = false;
  bool yes = false;
  std::string report_path;
  bool force = false;  // program a file named for another model
};

// What `station` was asked for.
struct StationOptions {
  // Update files: each named for a model key, or KEY=PATH; none: every
  // model's file in the current directory.
  std::vector<std::string> files;
  std::string station_name;  // empty: the host name
  std::string operator_name;
  std::string db;            // empty: the default store file
  std::optional<int> exit_after;
  std::string recovery_model;  // a model key, or empty
  // Serial numbers: the FORMAT (empty: none are sent), the counter's first
  // number when the store has none, and whether a unit keeps its own serial.
  std::optional<std::string> serial_format;
  uint64_t serial_start = 1;
  bool keep_serial = false;
};

struct ReadOptions {
  std::string out;
  std::optional<uint32_t> size;  // default: the flash's capacity from its JEDEC ID
  bool dump = false;  // the window's text dump of the first 32 KiB
};

struct HistoryOptions {
  std::string db;     // empty: the station's default store
  std::string since;  // empty: every record
  bool csv = false;
  std::string by;     // a summary: "station", "hour" or "step"; empty: the records
  std::string move_to;  // a line's database to move the store's records and serials to
};

// Prints a station store's records: text, CSV (--csv) or JSON (--json).
// Where the build has no station this command is not offered.
int HistoryCommand(const CommonOptions& common, const HistoryOptions& options, Output& out);
// The station's default store, for --help; empty when the system names no
// home folder.
std::string DefaultStoreText();

// Lists the devices without sending them anything; with firmware, each
// running device's firmware version is read too (which selects bank 0).
int ListCommand(DeviceSource& source, const CommonOptions& common, bool firmware, Output& out);
int UpdateCommand(DeviceSource& source, const CommonOptions& common, const UpdateOptions& options,
                  Output& out);

int ReadCommand(DeviceSource& source, const CommonOptions& common, const ReadOptions& options,
                Output& out);
int VerifyCommand(DeviceSource& source, const CommonOptions& common, const std::string& file,
                  Output& out);

// The devices a command works on: --device PATH, every one with all, or the
// only one attached. nullopt (and the message written) when that is not one
// clear choice; *exit_code is then kExitNoDevice.
std::optional<std::vector<DeviceEntry>> ChooseDevices(DeviceSource& source,
                                                      const CommonOptions& common, bool all,
                                                      Output& out);

// The one device of a command, chosen and connected; exit_code says why
// not when session is null or the device did not open.
struct Connected {
  std::unique_ptr<DeviceSession> session;
  int exit_code = 0;
  // The device is chosen and open: the command may send its requests.
  // Otherwise the message is out and the command ends with exit_code.
  bool ready() const { return session != nullptr && exit_code == 0; }
};
Connected ConnectOne(DeviceSource& source, const CommonOptions& common, Output& out);

// Ends a command that reached a device: simulated devices are saved. A
// failed save turns success into kExitFailed.
int FinishCommand(DeviceSource& source, Output& out, int status);

}  // namespace korvalen::cli
