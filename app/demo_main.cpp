// korvalen-demo: the updater window wired to a simulated device and a demo
// update file, so the whole update can be watched without hardware.
//
//   korvalen-demo [--model N | --identity ID] [--flash NAME] [--fast] [--log]
//                 [--autostart] [--exit-when-done] [--dump-flash PATH]
//                 [--fault FAULT]... [--engineering] [--playback STATE]
//                 [Qt options such as -platform offscreen]
//
// Exit status with --exit-when-done: 0 "Firmware update success!", 1
// "Firmware update Fail!", 2 when Start never became enabled within 10 s;
// 3 for a bad command line.
#include <QApplication>
#include <QPushButton>
#include <QStringList>
#include <QTimer>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>

#include "app/BoxAnswerer.h"
#include "app/DemoFiles.h"
#include "link/ModelTable.h"
#include "link/NorvaneUsb.h"
#include "sim/FaultDriver.h"
#include "sim/FaultSpec.h"
#include "sim/FlashModels.h"
#include "sim/SimDevice.h"
#include "sim/SimDriver.h"
#include "sim/SimI2c.h"
#include "sim/SimPlayback.h"
#include "sim/VirtualClock.h"
#include "ui/Dialogs.h"
#include "ui/Unit1.h"

namespace {

using namespace korvalen;

constexpr int kExitSuccess = 0;
constexpr int kExitFail = 1;
constexpr int kExitNeverReady = 2;
constexpr int kExitUsage = 3;
constexpr int kReadyTimeoutMs = 10000;
constexpr int kWatchMs = 50;

struct Options {
  sim::SimIdentity identity = sim::kSimOrbit;
  std::string flash{sim::kDefaultFlashModel};
  bool fast = false;
  bool log = false;
  bool autostart = false;
  bool exit_when_done = false;
  bool engineering = false;
  // A device connected and playing PCM at 96 kHz, so the Information page
  // has something to show.
  sim::SimPlayback playback = *sim::ParsePlayback("pcm:3");
  std::string dump_flash;
  std::vector<sim::FaultSpec> faults;
};

void Log(const Options& options, const QString& what, const QString& text) {
  if (!options.log) return;
  std::printf("%s: %s\n", what.toUtf8().constData(), text.toUtf8().constData());
  std::fflush(stdout);
}

// Parses the arguments Qt left over; an error message or empty.
std::string ParseOptions(const QStringList& args, Options& options) {
  for (int i = 1; i < args.size(); ++i) {
    const QString arg = args[i];
    auto value = [&]() -> std::optional<std::string> {
      if (i + 1 >= args.size()) return std::nullopt;
      return args[++i].toStdString();
    };
    if (arg == "--fast") {
      options.fast = true;
    } else if (arg == "--log") {
      options.log = true;
    } else if (arg == "--autostart") {
      options.autostart = true;
    } else if (arg == "--exit-when-done") {
      options.exit_when_done = true;
    } else if (arg == "--engineering") {
      options.engineering = true;
    } else if (arg == "--playback") {
      const auto text = value();
      std::string error = "--playback needs a state such as pcm:3";
      const auto parsed = text ? sim::ParsePlayback(*text, &error) : std::nullopt;
      if (!parsed) return text ? "--playback: " + error : error;
      options.playback = *parsed;
    } else if (arg == "--model") {
      const auto text = value();
      if (!text || text->size() != 1 || (*text)[0] < '0' || (*text)[0] >= '0' + kModelCount) {
        return "--model needs a model row from 0 to 4";
      }
      options.identity = *sim::FindSimIdentity(ModelTable[(*text)[0] - '0'].device_id);
    } else if (arg == "--identity") {
      const auto text = value();
      const auto identity = text ? sim::FindSimIdentity(*text) : std::nullopt;
      if (!identity) return "--identity needs a known id such as vid_5e1a&pid_6000";
      options.identity = *identity;
    } else if (arg == "--flash") {
      const auto text = value();
      if (!text || !sim::FindFlashModel(*text)) return "--flash needs a known flash model";
      options.flash = *text;
    } else if (arg == "--dump-flash") {
      const auto text = value();
      if (!text) return "--dump-flash needs a path";
      options.dump_flash = *text;
    } else if (arg == "--fault") {
      const auto text = value();
      if (!text) return "--fault needs a fault such as reject:120";
      const auto parsed = sim::ParseFaultSpec(*text);
      if (!parsed.ok()) return "--fault " + *text + ": " + parsed.error;
      options.faults.insert(options.faults.end(), parsed.specs.begin(), parsed.specs.end());
    } else {
      return "unknown option " + arg.toStdString();
    }
  }
  return {};
}

std::string Usage() {
  std::string text =
      "usage: korvalen-demo [--model N | --identity ID] [--flash NAME] [--fast] [--log]\n"
      "                     [--autostart] [--exit-when-done] [--dump-flash PATH]\n"
      "                     [--fault reject:N|vanish:N|stuck-busy|weak:ADDR:K]...\n"
      "                     [--engineering] [--playback disconnected|muted|pcm:N|dsd:N]\n"
      "flash models:";
  for (const auto& model : sim::FlashModels()) text += " " + std::string(model.name);
  return text + "\n";
}

// The working directory with the demo's update file for the detected model.
std::filesystem::path PrepareUpdateFile(const Options& options) {
  const auto directory = std::filesystem::temp_directory_path() /
                         ("korvalen-demo-" + std::to_string(QCoreApplication::applicationPid()));
  std::filesystem::create_directories(directory);
  const std::string text = demo::ToIntelHex(demo::MakeDemoImage());
  for (const auto& row : ModelTable) {
    demo::WriteTextFile(directory / (std::string(row.file_key) + ".hex"), text);
  }
  (void)options;
  return directory;
}

}  // namespace

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  Options options;
  if (const std::string error = ParseOptions(app.arguments(), options); !error.empty()) {
    std::fprintf(stderr, "korvalen-demo: %s\n%s", error.c_str(), Usage().c_str());
    return kExitUsage;
  }

  RealClock real_clock;
  sim::VirtualClock virtual_clock;
  Clock& clock = options.fast ? static_cast<Clock&>(virtual_clock) : real_clock;
  auto device = std::make_shared<sim::SimDevice>(clock, options.identity,
                                                 *sim::FindFlashModel(options.flash));
  sim::AddBoardI2cSlaves(device->i2c());  // before the faults, which may silence one
  if (device->FirmwareRunning()) sim::SetPlayback(*device, options.playback);
  sim::ApplyFaultSpecs(options.faults, *device);
  sim::SimDriver driver;
  driver.Attach(device);
  NorvaneUsb link(driver);

  const auto directory = PrepareUpdateFile(options);
  std::filesystem::current_path(directory);
  Log(options, "demo", QString("device %1 with flash %2, update files in %3")
                           .arg(QString::fromUtf8(options.identity.id_text.data(),
                                                  static_cast<int>(options.identity.id_text.size())))
                           .arg(QString::fromStdString(options.flash))
                           .arg(QString::fromStdString(directory.string())));

  QtDialogs dialogs;
  // A scripted run answers the real warning box with OK, as a person would.
  std::unique_ptr<BoxAnswerer> answerer;
  if (options.autostart) answerer = std::make_unique<BoxAnswerer>(QMessageBox::Ok);
  int status = kExitSuccess;
  {
    TForm1 form(link, clock, dialogs);
    QObject::connect(&form, &TForm1::DeviceLineShown,
                     [&](const QString& text) { Log(options, "device", text); });
    QObject::connect(&form, &TForm1::FileLineShown,
                     [&](const QString& text) { Log(options, "file", text); });
    QObject::connect(&form, &TForm1::ProgressShown, [&](const QString& text) {
      Log(options, "progress", text);
      if (!options.exit_when_done) return;
      if (text == "Firmware update success!") QCoreApplication::exit(kExitSuccess);
      if (text == "Firmware update Fail!") QCoreApplication::exit(kExitFail);
    });

    bool pressed = false;
    QTimer watch;
    watch.setInterval(kWatchMs);
    QObject::connect(&watch, &QTimer::timeout, [&] {
      if (!options.autostart || pressed) return;
      if (form.btnSimpleAuto->isEnabled() && form.btnSimpleAuto->text() == "Start") {
        pressed = true;
        Log(options, "demo", "pressing Start");
        form.btnSimpleAuto->click();
      }
    });
    watch.start();
    if (options.exit_when_done) {
      QTimer::singleShot(kReadyTimeoutMs, [&] {
        if (form.btnSimpleAuto->isEnabled() || pressed) return;
        Log(options, "demo", "Start never became enabled");
        QCoreApplication::exit(kExitNeverReady);
      });
    }
    form.SetEngineeringView(options.engineering);
    form.show();
    status = app.exec();
  }

  if (!options.dump_flash.empty()) {
    const auto contents = device->flash().contents();
    std::ofstream out(options.dump_flash, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(contents.data()),
              static_cast<std::streamsize>(contents.size()));
    if (!out) {
      std::fprintf(stderr, "korvalen-demo: cannot write %s\n", options.dump_flash.c_str());
    }
  }
  std::error_code ignored;
  std::filesystem::current_path(std::filesystem::temp_directory_path(), ignored);
  std::filesystem::remove_all(directory, ignored);
  return status;
}
