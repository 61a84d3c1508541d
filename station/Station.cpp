#include "station/Station.h"

#include <fmt/format.h>

#include "cli/StopSignals.h"
#include "link/DeviceSettings.h"
#include "link/ModelTable.h"
#include "station/PlugRun.h"

namespace korvalen::station {
namespace {

// How often the loaded files are compared with the disk, in scans.
constexpr int kScansPerFileCheck = 10;

}  // namespace

Station::Station(cli::DeviceSource& source, ModelFiles& files, Store& store,
                 const StationSettings& settings, StationEvents& events)
    : source_(source), files_(files), store_(store), settings_(settings), events_(events) {}

Station::~Station() {
  for (auto& worker : workers_) {
    if (worker->thread.joinable()) worker->thread.join();
  }
}

bool Station::TakingDevices() const {
  if (cli::StopSignalCount() > 0 || store_failed_.load()) return false;
  return !settings_.exit_after || started_ < *settings_.exit_after;
}

int Station::SlotFor(const std::string& path) {
  const auto found = slots_.find(path);
  if (found != slots_.end()) return found->second;
  const int slot = static_cast<int>(slots_.size());
  slots_.emplace(path, slot);
  return slot;
}

RunRecord Station::NewRecord(const cli::DeviceEntry& device, const std::string& model) const {
  RunRecord record;
  record.id = NewRecordId();
  record.station = settings_.station_name;
  record.operator_name = settings_.operator_name;
  record.device_path = device.path;
  record.serial_before = device.serial;
  record.model = model;
  record.started_utc_us = UtcMicrosNow();
  return record;
}

void Station::StoreFailed(const std::string& error) {
  if (store_failed_.exchange(true)) return;
  outcome_.store_error = error;
  events_.Note("the store " + store_.Where() + " did not take a record (" + error +
               "): no new devices are taken; the running updates finish, and every record "
               "not stored is kept and shown at the end");
}

void Station::Keep(int slot, RunRecord record, bool stored) {
  std::lock_guard<std::mutex> lock(mutex_);
  ++outcome_.runs;
  if (record.result == RunResult::kPassed) ++outcome_.passed;
  if (record.serial_state == SerialState::kVoid) ++outcome_.void_serials;
  // After a failed write the store is tried again for every record: a disk
  // that had a moment's trouble loses nothing it need not.
  StoreStatus status;
  if (!stored) status = store_.Add(record);
  if (!status) {
    StoreFailed(status.error);
    outcome_.unstored.push_back(record);
  }
  events_.RunEnded(slot, record, static_cast<bool>(status));
}

void Station::VerifyArrival(const cli::DeviceEntry& device) {
  if (device.serial.empty()) return;
  std::lock_guard<std::mutex> lock(mutex_);
  std::optional<RunRecord> found;
  StoreStatus status = store_.FindBySentSerial(device.serial, &found);
  if (status && found && found->serial_state != SerialState::kVerified) {
    // Even a serial recorded void is verified once a unit reports it: the
    // device took it after all, and it is still never given again.
    status = store_.SetSerialState(found->id, SerialState::kVerified);
    if (status) {
      events_.Note(device.path + " reports serial " + device.serial + ", sent in run " +
                   found->id + ": verified");
    }
  }
  if (!status) events_.Note("cannot look up serial " + device.serial + ": " + status.error);
}

bool Station::GiveSerial(cli::DeviceSession& session, const cli::DeviceEntry& device,
                         RunRecord& record) {
  // A unit in a firmware-update identity runs no firmware to take a serial.
  if (!settings_.serial || device.model_row < 0) return false;
  const SerialFormat& format = *settings_.serial;
  record.ended_utc_us = UtcMicrosNow();
  record.duration_us = record.ended_utc_us - record.started_utc_us;
  if (settings_.keep_serial && !record.serial_before.empty()) {
    record.serial_state = SerialState::kKept;
    const std::optional<uint64_t> number = format.Match(record.serial_before);
    if (!number) return false;
    record.serial_format = format.text();
    std::lock_guard<std::mutex> lock(mutex_);
    if (const StoreStatus status = store_.MarkSerialUsed(format.text(), *number); !status) {
      StoreFailed(status.error);
    }
    return false;
  }
  {
    // The serial is taken only with the record that accounts for it.
    std::lock_guard<std::mutex> lock(mutex_);
    if (store_failed_.load()) return false;
    // A unit that already carries a serial this line gave it keeps it: one
    // unit, one serial, however often it is updated.
    if (!record.serial_before.empty()) {
      std::optional<RunRecord> given;
      if (store_.FindBySentSerial(record.serial_before, &given) && given) {
        record.serial_state = SerialState::kKept;
        record.serial_format = given->serial_format;
        return false;
      }
    }
    if (const StoreStatus status = store_.AddPassedWithSerial(record, format.text(),
                                                              settings_.serial_start);
        !status) {
      StoreFailed(status.error);
      record.serial_sent.clear();
      record.serial_state = SerialState::kNone;
      return false;
    }
  }
  const uint64_t failed_before = session.failed_requests();
  const IdentityPlan plan = SendIdentityText(session.link(), session.clock(),
                                             IdentityField::kSerialNumber, record.serial_sent);
  const bool delivered = plan.ok && plan.confirmed && !session.link().DeviceGone() &&
                         session.failed_requests() == failed_before;
  std::lock_guard<std::mutex> lock(mutex_);
  const SerialState state = delivered ? SerialState::kDelivered : SerialState::kVoid;
  if (const StoreStatus status = store_.SetSerialState(record.id, state); !status) {
    // The record stays pending in the store; its serial is never given again.
    StoreFailed(status.error);
    return true;
  }
  record.serial_state = state;
  if (!delivered) {
    record.reason = "serial " + record.serial_sent +
                    (session.link().DeviceGone() ? " was not delivered: the device went away"
                                                 : " was not delivered: the device's mailbox "
                                                   "never said done") +
                    "; it is void and never given again";
  }
  return true;
}

void Station::RunWorker(Worker& worker, int slot, cli::DeviceEntry device, int row) {
  RunRecord record = NewRecord(device, ModelTable[row].file_key);
  const ModelFile* file = files_.For(row);
  PlugRunSinks sinks;
  sinks.step_line = [&](std::string_view text) {
    std::lock_guard<std::mutex> lock(mutex_);
    events_.StepLine(slot, text);
  };
  sinks.progress = [&](const ProgressReading& reading) {
    std::lock_guard<std::mutex> lock(mutex_);
    events_.Progress(slot, reading);
  };
  bool stored = false;
  sinks.passed = [&](cli::DeviceSession& session) {
    stored = GiveSerial(session, device, record);
  };
  RunPlug(source_, device, *file, sinks, record);
  if (!stored) {
    record.ended_utc_us = UtcMicrosNow();
    record.duration_us = record.ended_utc_us - record.started_utc_us;
  }
  Keep(slot, std::move(record), stored);
  source_.RunEnded(device);
  worker.done.store(true);
}

void Station::Start(const cli::DeviceEntry& device) {
  ++started_;
  const int slot = SlotFor(device.path);
  // A device in a firmware-update identity does not say which model it is.
  const bool knows_model = device.model_row >= 0;
  const std::optional<int> row = knows_model ? std::optional<int>(device.model_row)
                                             : settings_.recovery_row;
  const std::string model = row ? std::string(ModelTable[*row].file_key) : std::string();
  VerifyArrival(device);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    events_.RunBegan(slot, device, model);
  }
  if (!row || files_.For(*row) == nullptr) {
    // Nothing is sent: the record says why the device was left alone.
    RunRecord record = NewRecord(device, model);
    record.result = row ? RunResult::kNoFile : RunResult::kModelUnknown;
    record.reason = row ? "the station has no update file for " +
                              std::string(ModelTable[*row].display_name)
                        : device.name +
                              " does not tell its model; left alone (--recovery-model KEY "
                              "updates such devices as that model)";
    record.ended_utc_us = record.started_utc_us;
    Keep(slot, std::move(record));
    source_.RunEnded(device);
    return;
  }
  auto worker = std::make_unique<Worker>();
  worker->path = device.path;
  Worker& ref = *worker;
  workers_.push_back(std::move(worker));
  ref.thread = std::thread(&Station::RunWorker, this, std::ref(ref), slot, device, *row);
}

void Station::JoinFinished() {
  for (auto it = workers_.begin(); it != workers_.end();) {
    if ((*it)->done.load()) {
      (*it)->thread.join();
      it = workers_.erase(it);
    } else {
      ++it;
    }
  }
}

bool Station::Scan() {
  const auto listed = source_.List();
  // A failed system query says nothing about what is plugged: the plugs
  // stay as they were.
  if (!listed) return false;
  std::set<std::string> present;
  std::set<std::string> busy;
  for (const auto& worker : workers_) {
    if (!worker->done.load()) busy.insert(worker->path);
  }
  for (const cli::DeviceEntry& device : *listed) {
    const bool new_plug = plugged_.count(device.interface_path) == 0;
    // A device that comes back while its last run still ends is taken when
    // that run has its record.
    if (new_plug && busy.count(device.path) > 0) continue;
    present.insert(device.interface_path);
    if (new_plug && TakingDevices()) Start(device);
  }
  plugged_ = std::move(present);
  return true;
}

StationOutcome Station::Run() {
  int scans = 0;
  bool ever_listed = false;
  while (true) {
    JoinFinished();
    if (TakingDevices()) {
      if (Scan()) {
        ever_listed = true;
      } else if (!scan_failure_noted_) {
        scan_failure_noted_ = true;
        std::lock_guard<std::mutex> lock(mutex_);
        events_.Note("cannot list the USB devices: the system's device query failed; the station "
                     "keeps trying");
      }
    }
    if (++scans % kScansPerFileCheck == 0) {
      for (const std::string& note : files_.NoteChanges()) {
        std::lock_guard<std::mutex> lock(mutex_);
        events_.Note(note);
      }
    }
    JoinFinished();
    const bool running = !workers_.empty();
    if (cli::StopSignalCount() > 0 && !draining_noted_) {
      draining_noted_ = true;
      std::lock_guard<std::mutex> lock(mutex_);
      events_.Note(running ? fmt::format("stopping: no new devices are taken; {} running update{} "
                                         "finish{} (Ctrl-C or SIGTERM again stops {})",
                                         workers_.size(), workers_.size() == 1 ? "" : "s",
                                         workers_.size() == 1 ? "es" : "",
                                         workers_.size() == 1 ? "it" : "them")
                           : std::string("stopping: no update is running"));
    }
    if (cli::StopSignalCount() > 1 && !stop_noted_) {
      stop_noted_ = true;
      std::lock_guard<std::mutex> lock(mutex_);
      events_.Note("stopping the running updates as Stop does; each is recorded (a signal within "
                   "5 s ends the program at once, the devices then in update mode)");
    }
    if (!running && !TakingDevices()) break;
    if (!running && !source_.MoreToCome()) break;
    source_.WaitBetweenScans(settings_.scan_ms, running);
  }
  for (auto& worker : workers_) worker->thread.join();
  workers_.clear();
  std::lock_guard<std::mutex> lock(mutex_);
  outcome_.signalled = cli::StopSignalCount() > 0;
  outcome_.scan_failed = !ever_listed && outcome_.runs == 0;
  return outcome_;
}

}  // namespace korvalen::station
