#include "app/RecordOption.h"

#include <cstdio>

#include "record/CaptureDriver.h"

namespace korvalen::app {

struct RecordOption::Recorder {
  std::unique_ptr<record::CaptureFile> file;
  std::unique_ptr<record::CaptureDriver> driver;
};

RecordOption::RecordOption() = default;
RecordOption::~RecordOption() = default;

bool RecordOption::Start(const std::string& program, const std::filesystem::path& path,
                         Driver& inner, Clock& clock, bool virtual_time) {
  if (path.empty()) return true;
  std::string error;
  auto file = record::CaptureFile::Create(
      path.string(),
      [program](const std::string& message) {
        std::fprintf(stderr, "%s: %s; the program goes on unrecorded\n", program.c_str(),
                     message.c_str());
      },
      &error,
      [program](const std::string& waiting) {
        std::fprintf(stderr, "%s: --record: %s: a live capture\n", program.c_str(), waiting.c_str());
      });
  if (!file) {
    std::fprintf(stderr, "%s: --record: %s\n", program.c_str(), error.c_str());
    return false;
  }
  recorder_ = std::make_unique<Recorder>();
  recorder_->driver = std::make_unique<record::CaptureDriver>(
      inner, *file, clock, virtual_time ? clock.NowMicros() : record::WallClockMicros());
  recorder_->file = std::move(file);
  return true;
}

Driver& RecordOption::DriverOver(Driver& inner) {
  if (recorder_) return *recorder_->driver;
  return inner;
}

}  // namespace korvalen::app
