// korvalen-demo: the updater window wired to a simulated device and a demo
// update file, so the whole update can be watched without hardware.
// The options are described in DemoOptions.h and docs/window.md.
//
// Exit status with --exit-when-done: 0 "Firmware update success!", 1
// "Firmware update Fail!", 2 when Start never became enabled within 10 s;
// 3 for a bad command line or a working directory that cannot be prepared.
#include <QApplication>
#include <QElapsedTimer>
#include <QTimer>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>

#include "app/BoxAnswerer.h"
#include "app/DemoFiles.h"
#include "app/DemoOptions.h"
#include "app/RecordOption.h"
#include "cli/ExitStatus.h"
#include "image/PathText.h"
#include "link/ModelTable.h"
#include "link/NorvaneUsb.h"
#include "sim/FlashModels.h"
#include "sim/SimDevice.h"
#include "sim/SimDriver.h"
#include "sim/SimI2c.h"
#include "sim/SimPlayback.h"
#include "sim/VirtualClock.h"
#include "ui/Dialogs.h"
#include "ui/GuardedApplication.h"
#include "ui/MainWindow.h"

namespace {

using namespace korvalen;
namespace fs = std::filesystem;

constexpr int64_t kReadyTimeoutMs = 10000;
// How often the demo looks at the window; with --fast each look is also
// one detection tick on the virtual clock.
constexpr int kWatchMs = 50;
constexpr int kFastWatchMs = 1;

// The demo's own remarks go to standard error, so that standard output
// carries nothing but the window's texts.
void Remark(const demo::Options& options, const std::string& text) {
  if (!options.log) return;
  std::fprintf(stderr, "korvalen-demo: %s\n", text.c_str());
}

// One new text of the device, file or progress line, bare, one per line.
void Log(const demo::Options& options, const QString& text) {
  if (!options.log) return;
  std::printf("%s\n", text.toUtf8().constData());
  std::fflush(stdout);
}

struct WorkingDirectory {
  fs::path path;
  bool scratch = false;  // made for this run and removed at exit
};

// The working directory with the update files in it, or an error message.
std::optional<std::string> PrepareWorkingDirectory(const demo::Options& options,
                                                   WorkingDirectory& out) {
  std::error_code error;
  out.scratch = options.dir.empty();
  out.path = out.scratch ? fs::temp_directory_path() /
                               ("korvalen-demo-" +
                                std::to_string(QCoreApplication::applicationPid()))
                         : options.dir;
  fs::create_directories(out.path, error);
  if (error || !fs::is_directory(out.path)) {
    return "cannot use " + PathText(out.path) + " as the working directory";
  }
  const std::string key = ModelTable[demo::UpdateFileRow(options)].file_key;
  if (!options.file.empty()) {
    const fs::path& source = options.file;
    if (!fs::is_regular_file(source, error)) return "--file " + PathText(source) + ": no such file";
    const fs::path target = out.path / fs::path(key).concat(source.extension().native());
    if (!fs::equivalent(source, target, error)) {
      fs::copy_file(source, target, fs::copy_options::overwrite_existing, error);
      if (error) return "cannot copy " + PathText(source) + " to " + PathText(target);
    }
    return std::nullopt;
  }
  // Update files already in a chosen directory are left as they are.
  const std::string text = demo::ToIntelHex(demo::MakeDemoImage());
  for (const auto& row : ModelTable) {
    const fs::path base = out.path / row.file_key;
    if (fs::exists(fs::path(base).concat(".hex")) || fs::exists(fs::path(base).concat(".bin")))
      continue;
    if (!demo::WriteTextFile(fs::path(base).concat(".hex"), text)) {
      return "cannot write the demo update file into " + PathText(out.path);
    }
  }
  return std::nullopt;
}

// Paths on the command line are relative to where the demo was started,
// not to the working directory it moves into.
void MakePathsAbsolute(demo::Options& options) {
  for (fs::path* path : {&options.file, &options.dir, &options.dump_flash, &options.record}) {
    std::error_code ignored;
    if (!path->empty()) *path = fs::absolute(*path, ignored);
  }
}

}  // namespace

int main(int argc, char** argv) {
  GuardedApplication app(argc, argv);
  demo::Options options;
  if (const auto error = demo::ParseOptions(app.arguments(), options)) {
    std::fprintf(stderr, "korvalen-demo: %s\n%s", error->c_str(), demo::Usage().c_str());
    return kExitUsage;
  }
  MakePathsAbsolute(options);

  RealClock real_clock;
  sim::VirtualClock virtual_clock;
  Clock& clock = options.fast ? static_cast<Clock&>(virtual_clock) : real_clock;
  sim::SimDriver driver;
  std::shared_ptr<sim::SimDevice> device;
  if (options.identity) {
    device = std::make_shared<sim::SimDevice>(clock, *options.identity,
                                              *sim::FindFlashModel(options.flash));
    sim::AddBoardI2cSlaves(device->i2c());  // before the faults, which may silence one
    if (device->FirmwareRunning()) sim::SetPlayback(*device, options.playback);
    sim::ApplyFaultSpecs(options.faults, *device);
    driver.Attach(device);
  }
  // Virtual time is stamped as it runs, from the epoch on.
  app::RecordOption recording;
  if (!recording.Start("korvalen-demo", options.record, driver, clock, options.fast)) {
    return kExitUsage;
  }
  NorvaneUsb link(recording.DriverOver(driver));

  WorkingDirectory directory;
  if (const auto error = PrepareWorkingDirectory(options, directory)) {
    std::fprintf(stderr, "korvalen-demo: %s\n", error->c_str());
    return kExitUsage;
  }
  fs::current_path(directory.path);
  Remark(options, (options.identity ? "device " + std::string(options.identity->id_text)
                                    : std::string("no device")) +
                      " with flash " + options.flash + ", update files in " +
                      PathText(directory.path));

  QtDialogs dialogs;
  // A scripted run answers the real warning box with OK, as a person would.
  std::unique_ptr<BoxAnswerer> answerer;
  if (options.autostart) answerer = std::make_unique<BoxAnswerer>(QMessageBox::Ok);
  int status = kExitOk;
  {
    MainWindow form(link, clock, dialogs);
    QObject::connect(&form, &MainWindow::DeviceLineShown,
                     [&](const QString& text) { Log(options, text); });
    QObject::connect(&form, &MainWindow::FileLineShown,
                     [&](const QString& text) { Log(options, text); });
    // Logged after the verdict, as a line of its own.
    QObject::connect(&form, &MainWindow::NoticeShown,
                     [&](const QString& text) { Log(options, text); });
    QObject::connect(&form, &MainWindow::ProgressShown,
                     [&](const QString& text) { Log(options, text); });
    // The run ends on the verdict's value; a cancelled warning leaves the
    // window waiting for another Start.
    QObject::connect(&form, &MainWindow::VerdictShown, [&](Verdict verdict) {
      if (!options.exit_when_done || verdict == Verdict::kCancelled) return;
      QCoreApplication::exit(verdict == Verdict::kSuccess ? kExitOk : kExitFailed);
    });

    // With --fast the detection ticks run on the virtual clock: each look
    // lets one tick interval pass and runs the tick.
    if (options.fast) form.StopDetectionTimer();
    const uint64_t start_micros = clock.NowMicros();
    QElapsedTimer real_elapsed;
    real_elapsed.start();
    bool pressed = false;
    bool ready = false;
    bool looking = false;
    QTimer watch;
    watch.setInterval(options.fast ? kFastWatchMs : kWatchMs);
    QObject::connect(&watch, &QTimer::timeout, [&] {
      // Pressing Start runs the update inside this slot; its message pumps
      // must not start another look.
      if (looking) return;
      looking = true;
      if (options.fast && !form.SequenceBusy()) {
        virtual_clock.AdvanceMillis(static_cast<uint64_t>(form.DetectionIntervalMs()));
        form.RunDetectionTick();
      }
      ready = ready || form.StartEnabled();
      const int64_t waited_ms =
          options.fast ? static_cast<int64_t>((clock.NowMicros() - start_micros) / 1000)
                       : real_elapsed.elapsed();
      if (options.exit_when_done && !ready && waited_ms >= kReadyTimeoutMs) {
        Remark(options, "Start never became enabled");
        QCoreApplication::exit(kExitNeverReady);
      } else if (options.autostart && !pressed && form.StartEnabled() &&
                 !form.SequenceBusy() && !form.UpdateFinished()) {
        pressed = true;
        Remark(options, "pressing Start");
        form.ClickStart();
      }
      looking = false;
    });
    watch.start();
    form.SetEngineeringView(options.engineering);
    form.show();
    status = app.exec();
  }

  if (!options.dump_flash.empty() && device) {
    const auto contents = device->flash().contents();
    std::ofstream out(options.dump_flash, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(contents.data()),
              static_cast<std::streamsize>(contents.size()));
    if (!out) {
      std::fprintf(stderr, "korvalen-demo: cannot write %s\n", PathText(options.dump_flash).c_str());
    }
  }
  std::error_code ignored;
  fs::current_path(fs::temp_directory_path(), ignored);
  if (directory.scratch) fs::remove_all(directory.path, ignored);
  return status;
}
