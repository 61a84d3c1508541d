#include "cli/Recorded.h"

#include <cstdio>

#include "record/CaptureDriver.h"
#include "record/ReplayDriver.h"

namespace korvalen::cli {

namespace {

class RecordedLine : public DeviceLine {
 public:
  RecordedLine(std::unique_ptr<DeviceLine> inner, record::CaptureFile& file, bool virtual_time)
      : inner_(std::move(inner)),
        driver_(inner_->driver(), file, inner_->clock(),
                virtual_time ? inner_->clock().NowMicros() : record::WallClockMicros()) {}
  Driver& driver() override { return driver_; }
  Clock& clock() override { return inner_->clock(); }

 private:
  std::unique_ptr<DeviceLine> inner_;
  record::CaptureDriver driver_;
};

class RecordedSource : public RecordingSource {
 public:
  RecordedSource(std::unique_ptr<DeviceSource> inner, std::unique_ptr<record::CaptureFile> file,
                  bool virtual_time)
      : inner_(std::move(inner)), file_(std::move(file)), virtual_time_(virtual_time) {}
  std::optional<std::vector<DeviceEntry>> List() override { return inner_->List(); }
  std::unique_ptr<DeviceLine> LineFor(const DeviceEntry& device) override {
    return std::make_unique<RecordedLine>(inner_->LineFor(device), *file_, virtual_time_);
  }
  std::string Finish() override { return inner_->Finish(); }
  void Discard() override { file_->Discard(); }

 private:
  std::unique_ptr<DeviceSource> inner_;
  std::unique_ptr<record::CaptureFile> file_;
  bool virtual_time_;
};

class ReplayLine : public DeviceLine {
 public:
  explicit ReplayLine(record::ReplaySession& session) : driver_(session, clock_) {}
  Driver& driver() override { return driver_; }
  Clock& clock() override { return clock_; }

 private:
  record::ReplayClock clock_;
  record::ReplayDriver driver_;
};

class Replay : public ReplaySource {
 public:
  Replay(record::Recording recording, const std::string& name)
      : session_(std::move(recording), name), list_driver_(session_, list_clock_) {}
  std::optional<std::vector<DeviceEntry>> List() override { return FindKnownDevices(list_driver_); }
  std::unique_ptr<DeviceLine> LineFor(const DeviceEntry&) override {
    return std::make_unique<ReplayLine>(session_);
  }
  std::string ReplayVerdict() const override { return session_.Finish(); }

 private:
  record::ReplaySession session_;
  record::ReplayClock list_clock_;
  record::ReplayDriver list_driver_;
};

}  // namespace

std::unique_ptr<RecordingSource> MakeRecordingSource(std::unique_ptr<DeviceSource> inner,
                                                     const std::string& path, bool virtual_time,
                                                     std::string* error) {
  auto file = record::CaptureFile::Create(
      path,
      [](const std::string& message) {
        std::fprintf(stderr, "korvalen-fw: %s; the command goes on unrecorded\n", message.c_str());
      },
      error,
      [&path](const std::string& waiting) {
        std::fprintf(stderr,
                     "korvalen-fw: --record: %s: a live capture (wireshark -k -i %s); nothing is "
                     "sent to a device before it reads\n",
                     waiting.c_str(), path.c_str());
        std::fflush(stderr);
      });
  if (!file) return nullptr;
  return std::make_unique<RecordedSource>(std::move(inner), std::move(file), virtual_time);
}

std::unique_ptr<ReplaySource> MakeReplaySource(const std::string& path, std::string* error) {
  auto recording = record::ReadRecording(path, error);
  if (!recording) return nullptr;
  return std::make_unique<Replay>(std::move(*recording), path);
}


}  // namespace korvalen::cli
