#include <fmt/format.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <iostream>
#include <map>
#include <mutex>
#include <optional>
#include <memory>
#include <nlohmann/json.hpp>
#include <thread>

#include "cli/Commands.h"
#include "cli/DeviceSession.h"
#include "cli/FwCommand.h"
#include "cli/JsonText.h"
#include "cli/Report.h"
#include "cli/StopSignals.h"
#include "cli/UpdateRun.h"
#include "flash/UpdateProgress.h"
#include "flash/UpdateSequences.h"
#include "flash/UpdateWording.h"
#include "image/Loaders.h"
#include "image/OutputFile.h"
#include "image/PathText.h"
#include "image/UpdateFile.h"
#include "link/ModelTable.h"

namespace korvalen::cli {
namespace {

struct LoadedImage {
  std::unique_ptr<FirmwareImage> image = std::make_unique<FirmwareImage>();
  std::filesystem::path path;
  std::string file;
  uint16_t checksum = 0;
};

bool SameTextIgnoringCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) ==
                  std::tolower(static_cast<unsigned char>(y));
         });
}

// The model row whose update file key is the file's name, or -1.
int RowNamedBy(const std::filesystem::path& file) {
  const std::u8string stem = file.stem().u8string();
  const std::string_view name(reinterpret_cast<const char*>(stem.data()), stem.size());
  for (int row = 0; row < kModelCount; ++row) {
    if (SameTextIgnoringCase(name, ModelTable[row].file_key)) return row;
  }
  return -1;
}

// The names of the update files are how models' files are told apart: a
// file named for one model is refused for a device of another. A device in
// a firmware-update identity does not know its model, so any model's file
// goes there, with a note in *notes naming the model it is for. An error
// text, or empty.
std::string CheckFileIsForDevices(const std::filesystem::path& file,
                                  const std::vector<DeviceEntry>& devices,
                                  std::vector<std::string>* notes) {
  const int named = RowNamedBy(file);
  if (named < 0) return {};
  for (const DeviceEntry& device : devices) {
    if (device.model_row < 0) {
      notes->push_back(fmt::format("{} is the update file of {}; {} at {} does not tell its model",
                                   DisplayName(file), ModelTable[named].display_name, device.name,
                                   device.path));
      continue;
    }
    const auto row = UpdateFileRow(device);
    if (!row || *row == named) continue;
    return fmt::format(
        "{} is the update file of {}, not of {} at {}: refused (add --force to program it "
        "anyway)",
        DisplayName(file), ModelTable[named].display_name, device.name, device.path);
  }
  return {};
}

// Loads FILE, or each device's update file from the current directory, before
// anything is sent. An error text, or empty.
std::string LoadImages(const std::vector<DeviceEntry>& devices, const UpdateOptions& options,
                       std::map<std::string, LoadedImage>& by_path, std::vector<std::string>* notes) {
  if (!options.file.empty()) {
    const std::filesystem::path path = PathFromUtf8(options.file);
    if (!HasFirmwareExtension(path)) {
      return DisplayName(path) + " is not a firmware file: its name must end in .hex, .h00 or .bin";
    }
    if (!options.force) {
      if (std::string refused = CheckFileIsForDevices(path, devices, notes); !refused.empty())
        return refused;
    }
    auto loaded = std::make_shared<LoadedImage>();
    const LoadResult result = LoadImageFile(path, *loaded->image);
    if (!result.ok) return result.message.empty() ? "cannot load " + DisplayName(path) : result.message;
    for (const DeviceEntry& device : devices) {
      LoadedImage& copy = by_path[device.path];
      *copy.image = *loaded->image;
      copy.path = result.path;
      copy.file = DisplayName(result.path);
      copy.checksum = result.checksum;
    }
    return {};
  }
  const auto directory = std::filesystem::current_path();
  for (const DeviceEntry& device : devices) {
    const auto row = UpdateFileRow(device);
    if (!row) {
      return device.name + " at " + device.path +
             " has no update file of its own: name the file to program (korvalen-fw update FILE)";
    }
    LoadedImage& loaded = by_path[device.path];
    const LoadResult result = LoadUpdateFile(directory, ModelTable[*row].file_key, *loaded.image);
    if (!result.ok) {
      if (result.error == LoadError::kNotFound) {
        return fmt::format("no update file for {} in the current directory ({}.hex or {}.bin)",
                           device.name, ModelTable[*row].file_key, ModelTable[*row].file_key);
      }
      return UpdateFileStatusText(result);
    }
    loaded.path = result.path;
    loaded.file = DisplayName(result.path);
    loaded.checksum = result.checksum;
  }
  return {};
}

// The report must be writable, and must not take the place of a file being
// programmed; both are known before anything is sent. An error text, or
// empty.
std::string CheckReportPath(const std::string& report_path,
                            const std::map<std::string, LoadedImage>& images) {
  const std::filesystem::path report = PathFromUtf8(report_path);
  // File systems take names of up to 255 units; a longer one would fail
  // only after the update.
  constexpr size_t kLongestName = 255;
  if (report.filename().native().size() > kLongestName) {
    return "--report: the file name is longer than " + std::to_string(kLongestName) +
           " characters, which the file system does not take";
  }
  for (const auto& [device_path, image] : images) {
    std::error_code ec;
    if (std::filesystem::equivalent(report, image.path, ec) && !ec) {
      return "--report " + PathText(report) + " is the update file: the report would replace it";
    }
  }
  return CheckWritable(report);
}

// A capture recorded over a file being programmed would replace it; the
// model's own file is known only here. An error text, or empty.
std::string CheckRecordPath(const std::string& record_path,
                            const std::map<std::string, LoadedImage>& images) {
  const std::filesystem::path record = PathFromUtf8(record_path);
  for (const auto& [device_path, image] : images) {
    if (OutputMeetsFile(record, image.path))
      return "--record " + PathText(record) + " is the update file: the capture would replace it";
  }
  return {};
}

bool Confirm(size_t device_count, Output& out) {
  out.Error(DefaultWording().update_warning);
  out.Error(device_count == 1 ? "Update the device? [y/N] "
                              : fmt::format("Update {} devices? [y/N] ", device_count));
  std::string answer;
  if (!std::getline(std::cin, answer)) return false;
  // A line from a file written on Windows keeps its CR where stdin is binary.
  if (!answer.empty() && answer.back() == '\r') answer.pop_back();
  return answer == "y" || answer == "Y" || answer == "yes" || answer == "Yes";
}

constexpr int kBarWidth = 24;

// The bar of every device updating: how far they are together, and how
// long the slowest still needs.
class ProgressBoard {
 public:
  ProgressBoard(size_t devices, Output& out) : readings_(devices), out_(out) {}

  void Show(size_t index, const ProgressReading& reading) {
    std::lock_guard<std::mutex> lock(mutex_);
    readings_[index] = reading;
    double fraction = 0;
    bool estimated = true;  // every device has an estimate
    uint64_t left = 0;
    for (const ProgressReading& each : readings_) {
      fraction += each.fraction / static_cast<double>(readings_.size());
      estimated = estimated && each.micros_left.has_value();
      left = std::max(left, each.micros_left.value_or(0));
    }
    const int percent = static_cast<int>(fraction * 100);
    const int filled = static_cast<int>(fraction * kBarWidth);
    std::string text = "[" + std::string(filled, '#') + std::string(kBarWidth - filled, '-') +
                       fmt::format("] {:3d}%  ", percent);
    if (readings_.size() == 1) {
      text += reading.step;
      if (reading.attempt > 1) text += fmt::format(" (attempt {})", reading.attempt);
    } else {
      text += fmt::format("{} devices", readings_.size());
    }
    if (estimated && percent < 100) text += "  " + FormatMinutesSeconds(left) + " left";
    out_.Bar(text);
  }

 private:
  std::mutex mutex_;
  std::vector<ProgressReading> readings_;
  Output& out_;
};

int ExitCodeOf(const std::vector<UpdateReport>& reports) {
  bool cannot_open = false;
  bool gone = false;
  for (const UpdateReport& report : reports) {
    if (report.verdict == Verdict::kFailed || report.verdict == Verdict::kStopped)
      return kExitFailed;
    cannot_open |= report.verdict == Verdict::kCannotOpen;
    gone |= report.verdict == Verdict::kGone;
  }
  if (cannot_open) return kExitCannotOpen;
  if (gone) return kExitNoDevice;
  return kExitOk;
}

}  // namespace

int UpdateCommand(DeviceSource& source, const CommonOptions& common, const UpdateOptions& options,
                  Output& out) {
  const auto devices = ChooseDevices(source, common, options.all, out);
  if (!devices) return kExitNoDevice;

  std::map<std::string, LoadedImage> images;
  std::vector<std::string> notes;
  const std::string load_error = LoadImages(*devices, options, images, &notes);
  for (const std::string& note : notes) out.Error("note: " + note);
  if (!load_error.empty()) {
    out.Error(load_error);
    return kExitRefused;
  }
  if (const std::string error = CheckRecordPath(common.record_path, images); !error.empty()) {
    out.Error("korvalen-fw: " + error);
    return kExitRefused;
  }
  if (!options.report_path.empty()) {
    if (const std::string error = CheckReportPath(options.report_path, images); !error.empty()) {
      out.Error("korvalen-fw: " + error);
      return kExitRefused;
    }
  }
  if (!options.yes && !Confirm(devices->size(), out)) {
    out.Error(DefaultWording().abort);
    return kExitFailed;
  }

  const bool several = devices->size() > 1;
  // From here on a signal stops the updates instead of killing the program.
  const StopSignals stop_signals;
  std::vector<UpdateReport> reports(devices->size());
  ProgressBoard board(devices->size(), out);
  auto run = [&](size_t index) {
    const DeviceEntry& device = (*devices)[index];
    const LoadedImage& image = images.at(device.path);
    DeviceSession session(device, source.LineFor(device));
    const std::string prefix = several ? device.path + ": " : std::string();
    if (!several) {
      out.Line(fmt::format("{} at {}: {}, {} bytes, checksum 0x{:04X}", device.name, device.path,
                           image.file, image.image->length, image.checksum));
    }
    UpdateProgress progress(image.image->length);
    reports[index] = RunUpdate(
        session, *image.image, image.file, image.checksum,
        [&](std::string_view text) { out.Line(prefix + std::string(text)); },
        [&](ProgressStep step, uint64_t done, uint64_t total) {
          board.Show(index, progress.Note(step, done, total, session.clock().NowMicros()));
        });
    if (reports[index].verdict == Verdict::kCannotOpen ||
        reports[index].verdict == Verdict::kGone) {
      out.Error(prefix + reports[index].verdict_text);
    }
  };
  if (several) {
    // One thread, one line, one link, one clock and one view per device.
    std::vector<std::thread> threads;
    for (size_t i = 0; i < devices->size(); ++i) threads.emplace_back(run, i);
    for (std::thread& thread : threads) thread.join();
  } else {
    run(0);
  }
  out.EndBar();

  nlohmann::json json;
  if (several || options.all) {
    json = nlohmann::json::array();
    for (const UpdateReport& report : reports) json.push_back(ReportJson(report));
    if (!out.quiet) out.Text("\n" + ResultTable(reports));
  } else {
    json = ReportJson(reports.front());
  }
  const std::string document = JsonText(json);
  if (common.json) out.Text(document);
  // An output that was not saved is no success, whatever the flash holds.
  bool unsaved = false;
  if (!options.report_path.empty()) {
    if (const std::string error = WriteFileAtomically(PathFromUtf8(options.report_path), document);
        !error.empty()) {
      out.Error("korvalen-fw: the report was not saved: " + error);
      unsaved = true;
    }
  }
  if (const std::string error = source.Finish(); !error.empty()) {
    out.Error("korvalen-fw: the simulated devices were not saved: " + error);
    unsaved = true;
  }
  const int status = ExitCodeOf(reports);
  return status == kExitOk && unsaved ? kExitOutputNotSaved : status;
}

}  // namespace korvalen::cli
