// The station's runtime: watches a device source, starts the one-click
// update on every device that is plugged in (one run per plug, each on a
// thread with its own link, clock and view), and keeps one record per run
// in the store. The front end gets values through StationEvents and makes
// its own words.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "cli/DeviceSession.h"
#include "cli/Devices.h"
#include "flash/UpdateProgress.h"
#include "station/ModelFiles.h"
#include "station/RunRecord.h"
#include "station/SerialFormat.h"
#include "station/Store.h"

namespace korvalen::station {

struct StationSettings {
  std::string station_name;
  std::string operator_name;
  // The model a device in a firmware-update identity is updated as; nullopt:
  // such a device is recorded as "model unknown" and left alone.
  std::optional<int> recovery_row;
  // Takes this many runs, then ends once they have their verdicts.
  std::optional<int> exit_after;
  // The longest wait between two looks at the devices.
  uint32_t scan_ms = 200;
  // Serial numbers: the FORMAT each unit that passed is given one of (none:
  // no serials), the counter's first number, and whether a unit that
  // already reports a serial keeps it.
  std::optional<SerialFormat> serial;
  uint64_t serial_start = 1;
  bool keep_serial = false;
};

// What happens on the line, as values. Called from the station's threads,
// never two at a time.
class StationEvents {
 public:
  virtual ~StationEvents() = default;
  // A run began on a device (slot numbers a device path, kept across plugs).
  virtual void RunBegan(int slot, const cli::DeviceEntry& device, const std::string& model) = 0;
  // One line of the update's progress line, as the update shows it.
  virtual void StepLine(int slot, std::string_view text) = 0;
  virtual void Progress(int slot, const ProgressReading& reading) = 0;
  // The run's record; stored is false when the store did not take it.
  virtual void RunEnded(int slot, const RunRecord& record, bool stored) = 0;
  // The station itself has something to say (stopping, a file changed, the
  // store failed).
  virtual void Note(std::string_view text) = 0;
};

struct StationOutcome {
  int runs = 0;
  int passed = 0;
  // Units that passed whose serial was taken and never delivered.
  int void_serials = 0;
  // Records the store did not take, in the order they ended.
  std::vector<RunRecord> unstored;
  std::string store_error;  // the first failed write's reason
  bool signalled = false;   // a Ctrl-C or SIGTERM ended the station
  bool scan_failed = false; // the system's device query never worked
};

class Station {
 public:
  Station(cli::DeviceSource& source, ModelFiles& files, Store& store,
          const StationSettings& settings, StationEvents& events);
  ~Station();
  Station(const Station&) = delete;
  Station& operator=(const Station&) = delete;

  // Runs until --exit-after's runs are done, the signals end it, the store
  // fails (then the running updates finish first), or a simulated line has
  // nothing more to come.
  StationOutcome Run();

 private:
  struct Worker {
    std::thread thread;
    std::atomic<bool> done{false};
    std::string path;
  };

  // One look at the devices; false when the system query failed.
  bool Scan();
  void Start(const cli::DeviceEntry& device);
  void RunWorker(Worker& worker, int slot, cli::DeviceEntry device, int row);
  // stored: the record is already in the store (it took its serial there).
  void Keep(int slot, RunRecord record, bool stored = false);
  // The serial step of a unit that passed; true when the record is now in
  // the store.
  bool GiveSerial(cli::DeviceSession& session, const cli::DeviceEntry& device, RunRecord& record);
  // A unit reporting a serial the store sent: that record is verified.
  void VerifyArrival(const cli::DeviceEntry& device);
  // The store failed: no new devices are taken. Called with mutex_ held.
  void StoreFailed(const std::string& error);
  RunRecord NewRecord(const cli::DeviceEntry& device, const std::string& model) const;
  int SlotFor(const std::string& path);
  void JoinFinished();
  bool TakingDevices() const;

  cli::DeviceSource& source_;
  ModelFiles& files_;
  Store& store_;
  StationSettings settings_;
  StationEvents& events_;

  std::mutex mutex_;  // the store, the outcome and the events
  StationOutcome outcome_;
  std::atomic<bool> store_failed_{false};
  std::vector<std::unique_ptr<Worker>> workers_;
  int started_ = 0;
  // The devices present at the last look whose plug already had its run,
  // by interface path.
  std::set<std::string> plugged_;
  std::map<std::string, int> slots_;
  bool draining_noted_ = false;
  bool stop_noted_ = false;
  bool scan_failure_noted_ = false;
};

}  // namespace korvalen::station
