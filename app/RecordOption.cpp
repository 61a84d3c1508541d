#include "app/RecordOption.h"

#include <cstdio>

#ifdef KORVALEN_HAVE_PCAP
#include "record/CaptureDriver.h"
#endif

namespace korvalen::app {

#ifdef KORVALEN_HAVE_PCAP
struct RecordOption::Recorder {
  std::unique_ptr<record::CaptureFile> file;
  std::unique_ptr<record::CaptureDriver> driver;
};
#else
struct RecordOption::Recorder {};
#endif

RecordOption::RecordOption() = default;
RecordOption::~RecordOption() = default;

bool RecordOption::Start(const std::string& program, const std::filesystem::path& path,
                         Driver& inner, Clock& clock, bool virtual_time) {
  if (path.empty()) return true;
#ifdef KORVALEN_HAVE_PCAP
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
#else
  (void)inner;
  (void)clock;
  (void)virtual_time;
  std::fprintf(stderr, "%s: --record: this build cannot record\n", program.c_str());
  return false;
#endif
}

Driver& RecordOption::DriverOver(Driver& inner) {
#ifdef KORVALEN_HAVE_PCAP
  if (recorder_) return *recorder_->driver;
#endif
  return inner;
}

}  // namespace korvalen::app
