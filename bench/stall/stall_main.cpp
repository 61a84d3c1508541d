// korvalen-stall-bench: how long the updater window stops answering while a
// one-click update runs in real time against a simulated device.
//
//   korvalen-stall-bench [--latency-us N[,N...]] [--image-kib K] [--model NAME]
//                        [--clock real|virtual]
//
// For every flash model (or the one named), at every request latency, the
// update runs clean, then with a flash read that is never ready twice in a
// row at one chunk (the walk's own retries pass it), then three times (the
// first attempt fails and the retry pause follows). The
// window is detected, Start is pressed and the warning answered; a
// zero-interval timer timestamps every event-loop iteration, and the longest
// gap between two iterations is the longest stall a user sees. One line per
// run: model, case, latency, longest stall, iterations, update time.
// --clock virtual runs the device and the waits on the simulator's virtual
// clock and measures the stalls in device time: free of the host's own
// scheduling noise, it shows what the update's code does between two
// event-loop iterations.
#include <QApplication>
#include <QLabel>
#include <QPushButton>
#include <QTimer>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "link/Clock.h"
#include "link/NorvaneUsb.h"
#include "sim/FlashModels.h"
#include "sim/SimDevice.h"
#include "sim/SimDriver.h"
#include "sim/SimIdentity.h"
#include "sim/VirtualClock.h"
#include "ui/Dialogs.h"
#include "ui/I2cPage.h"
#include "ui/IspPage.h"
#include "ui/MainWindow.h"
#include "ui/ParameterPage.h"
#include "ui/RegisterPage.h"

namespace {

using namespace korvalen;

// Answers the warning with OK and everything else with its default.
class OkDialogs : public Dialogs {
 public:
  bool AskOkCancel(const QString&, const QString&) override { return true; }
  void Inform(const QString&, const QString&) override {}
  void Notify(const QString&, const QString&) override {}
  void ShowError(const QString&) override {}
  std::optional<QString> AskSaveFile(const QString&, const QString&) override { return {}; }
  std::optional<QString> AskOpenFile(const QString&, const QString&) override { return {}; }
};

struct Run {
  double longest_stall_ms = 0;
  size_t iterations = 0;
  double update_s = 0;
  QString verdict;
  QString where;  // the progress line and chunk address when the longest stall ended
};

// The chunk whose reads never become ready in the unready case.
constexpr uint32_t kUnreadyAddress = 0x1000;

Run MeasureOne(const sim::FlashModel& model, uint32_t latency_us, uint32_t unready_reads,
               const std::vector<char>& image, const std::filesystem::path& dir,
               bool virtual_time) {
  // The model's update file; a part smaller than the image gets the part's size.
  std::ofstream(dir / "KORVALEN_ORBIT_Mini.bin", std::ios::binary)
      .write(image.data(), std::min<std::streamsize>(image.size(), model.size));
  RealClock real_clock;
  sim::VirtualClock virtual_clock;
  Clock& clock = virtual_time ? static_cast<Clock&>(virtual_clock) : real_clock;
  sim::SimDriver driver;
  auto device = std::make_shared<sim::SimDevice>(clock, sim::kSimOrbitMini, model);
  device->timing().request_latency_us = latency_us;
  device->faults().unready_read_address = kUnreadyAddress;
  device->faults().unready_reads = unready_reads;
  NorvaneUsb link(driver);
  OkDialogs dialogs;
  std::filesystem::current_path(dir);
  MainWindow form(link, clock, dialogs);
  form.Timer1->stop();
  driver.Attach(device);
  for (int i = 0; i < 12 && !link.IsPresent(); ++i) form.Timer1Timer();
  Run run;
  if (!form.Panel->btnSimpleAuto->isEnabled()) {
    run.verdict = "Start never enabled: " + form.Panel->lblUpdaeFileStatus->text();
    return run;
  }

  uint64_t last = 0;
  uint64_t longest = 0;
  QTimer iteration;
  iteration.setInterval(0);
  QObject::connect(&iteration, &QTimer::timeout, [&] {
    const uint64_t now = clock.NowMicros();
    if (now - last > longest) {
      longest = now - last;
      run.where = form.Panel->lblISPProcStatus->text() + " @ " + form.IspPg->lblUSBISPProcess->text();
    }
    last = now;
    ++run.iterations;
  });
  const uint64_t start = clock.NowMicros();
  QTimer::singleShot(0, [&] {
    last = clock.NowMicros();
    iteration.start();
    form.Panel->btnSimpleAuto->click();  // returns after the verdict
    iteration.stop();
    if (clock.NowMicros() - last > longest) {
      longest = clock.NowMicros() - last;
      run.where = "(to the verdict)";
    }
    run.verdict = form.Panel->lblISPProcStatus->text();
    QCoreApplication::quit();
  });
  QCoreApplication::exec();
  run.update_s = static_cast<double>(clock.NowMicros() - start) / 1e6;
  run.longest_stall_ms = static_cast<double>(longest) / 1e3;
  return run;
}

std::vector<uint32_t> ParseList(const char* text) {
  std::vector<uint32_t> values;
  for (const char* p = text; *p;) {
    char* end = nullptr;
    values.push_back(static_cast<uint32_t>(std::strtoul(p, &end, 10)));
    if (end == p) break;
    p = *end == ',' ? end + 1 : end;
  }
  return values;
}

}  // namespace

int main(int argc, char** argv) {
  qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  std::vector<uint32_t> latencies = {250, 660};
  uint32_t image_kib = 32;
  std::string only_model;
  bool virtual_time = false;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string option = argv[i];
    if (option == "--latency-us") {
      latencies = ParseList(argv[i + 1]);
    } else if (option == "--image-kib") {
      image_kib = static_cast<uint32_t>(std::strtoul(argv[i + 1], nullptr, 10));
    } else if (option == "--clock" && (std::string(argv[i + 1]) == "real" ||
                                        std::string(argv[i + 1]) == "virtual")) {
      virtual_time = std::string(argv[i + 1]) == "virtual";
    } else if (option == "--model") {
      only_model = argv[i + 1];
    } else {
      std::fprintf(stderr, "korvalen-stall-bench: unknown option %s\n", argv[i]);
      return 2;
    }
  }
  if (latencies.empty() || image_kib == 0 || image_kib > 256) {
    std::fprintf(stderr, "korvalen-stall-bench: bad --latency-us or --image-kib\n");
    return 2;
  }

  // A random image (fixed seed) as the model's update file.
  const auto dir = std::filesystem::temp_directory_path() /
                   ("korvalen-stall-" + std::to_string(QCoreApplication::applicationPid()));
  std::filesystem::create_directories(dir);
  std::vector<char> image(image_kib * 1024);
  std::mt19937 random(17);
  for (char& byte : image) byte = static_cast<char>(random() & 0xFF);

  std::printf("%-12s %-8s %10s %11s %11s %9s  %s\n", "model", "case", "latency_us",
              "longest_ms", "iterations", "update_s", "verdict / where the longest stall ended");
  int status = 0;
  for (const sim::FlashModel& model : sim::FlashModels()) {
    if (!only_model.empty() && only_model != model.name) continue;
    for (const uint32_t latency : latencies) {
      for (const uint32_t unready : {0u, 2u, 3u}) {
        const Run run = MeasureOne(model, latency, unready, image, dir, virtual_time);
        std::printf("%-12s %-8s %10u %11.1f %11zu %9.1f  %s / %s\n", model.name,
                    unready == 0 ? "clean" : unready == 2 ? "unready2" : "unready3", latency, run.longest_stall_ms, run.iterations,
                    run.update_s, run.verdict.toUtf8().constData(),
                    run.where.toUtf8().constData());
        std::fflush(stdout);
        if (!run.verdict.startsWith("Firmware update success!")) status = 1;
      }
    }
  }
  std::filesystem::remove_all(dir);
  return status;
}
