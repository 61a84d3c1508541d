// korvalen-updater: the updater window on the platform's real USB driver.
//
//   korvalen-updater [--engineering] [--quit-after-start] [--record FILE] [Qt options]
//
// --engineering starts with the engineering pages shown (Ctrl+Shift+E
// toggles them at any time). --quit-after-start quits once the window is up
// and the first device search has run, so an installation can be checked
// without a person closing the window. --record FILE writes every USB control
// transfer to FILE as a capture that Wireshark opens. Exit status 3 for a bad
// command line or a recording file that cannot be created.
#include <QStringList>
#include <cstdio>
#include <filesystem>

#include "app/RecordOption.h"
#include "cli/ExitStatus.h"
#include "link/Clock.h"
#include "link/LockingDriver.h"
#include "link/NorvaneUsb.h"
#include "ui/Dialogs.h"
#include "ui/GuardedApplication.h"
#include "ui/PathFromText.h"
#include "ui/MainWindow.h"
#ifdef _WIN32
#include "link/Win32Driver.h"
#else
#include "link/LibusbDriver.h"
#endif

int main(int argc, char** argv) {
#ifdef _WIN32
  korvalen::Win32Driver driver;
#else
  korvalen::LibusbDriver driver;
#endif
  // The window is the device's one master while it shows the device: no
  // korvalen-fw or second window can send requests in between.
  korvalen::LockingDriver locking(driver);
  korvalen::RealClock clock;
  korvalen::GuardedApplication app(argc, argv);
  // Ties the window to its desktop entry (its icon and name in task bars).
  QGuiApplication::setDesktopFileName("org.korvalen.Updater");
  bool engineering = false;
  bool quit_after_start = false;
  std::filesystem::path record_path;
  const QStringList args = app.arguments();
  for (int i = 1; i < args.size(); ++i) {
    if (args[i] == "--engineering") {
      engineering = true;
      continue;
    }
    if (args[i] == "--quit-after-start") {
      quit_after_start = true;
      continue;
    }
    if (args[i] == "--record" && i + 1 < args.size()) {
      record_path = korvalen::PathFromText(args[++i]);
      continue;
    }
    std::fprintf(stderr,
                 "korvalen-updater: unknown option %s\n"
                 "usage: korvalen-updater [--engineering] [--quit-after-start] [--record FILE]\n",
                 args[i].toLocal8Bit().constData());
    return korvalen::kExitUsage;
  }
  korvalen::app::RecordOption recording;
  if (!recording.Start("korvalen-updater", record_path, locking, clock, false)) return korvalen::kExitUsage;
  // The one link of the process: built before the window, destroyed after
  // it, which closes any handle still open.
  korvalen::NorvaneUsb link(recording.DriverOver(locking));
  korvalen::QtDialogs dialogs;
  int status = 0;
  {
    korvalen::MainWindow form(link, clock, dialogs);
    form.SetEngineeringView(engineering);
    form.show();
    if (quit_after_start) {
      // Once the first tick's search has run and shown its outcome.
      QObject::connect(&form, &korvalen::MainWindow::DetectionTicked, &app,
                       &QCoreApplication::quit, Qt::QueuedConnection);
    }
    status = app.exec();
  }
  return status;
}
