// Shared pieces of the window tests: scripted dialogs, a scratch working
// directory, and a window on a simulated device in virtual time.
#pragma once

#include <QDir>
#include <algorithm>
#include <fstream>
#include <vector>
#include <QStringList>
#include <QTemporaryDir>
#include <filesystem>
#include <memory>
#include <optional>

#include "app/DemoFiles.h"
#include "link/NorvaneUsb.h"
#include "sim/FlashModels.h"
#include "sim/SimDevice.h"
#include "sim/SimDriver.h"
#include "sim/VirtualClock.h"
#include "ui/Dialogs.h"
#include "ui/I2cPage.h"
#include "ui/IspPage.h"
#include "ui/MainWindow.h"
#include "ui/ParameterPage.h"
#include "ui/RegisterPage.h"

namespace korvalen::testing {

// Answers every box from the script and remembers what was shown.
class ScriptedDialogs : public Dialogs {
 public:
  bool answer_ok = true;
  std::optional<QString> save_path;
  std::optional<QString> open_path;
  QStringList shown;  // "title|text" of every box, in order

  bool AskOkCancel(const QString& title, const QString& text) override {
    shown << title + "|" + text;
    return answer_ok;
  }
  void Inform(const QString& title, const QString& text) override { shown << title + "|" + text; }
  void Notify(const QString& title, const QString& text) override { shown << title + "|" + text; }
  void ShowError(const QString& text) override { shown << "Error|" + text; }
  std::optional<QString> AskSaveFile(const QString&, const QString&) override {
    shown << "Save|";
    return save_path;
  }
  std::optional<QString> AskOpenFile(const QString& filter, const QString&) override {
    shown << "Open|" + filter;
    return open_path;
  }
};

// Makes a fresh directory the current one for the life of the object.
class ScratchDirectory {
 public:
  ScratchDirectory() : previous_(QDir::currentPath()) { QDir::setCurrent(dir_.path()); }
  ~ScratchDirectory() { QDir::setCurrent(previous_); }
  std::filesystem::path Path() const { return dir_.path().toStdString(); }

 private:
  QTemporaryDir dir_;
  QString previous_;
};

// Which boxes a window shows: the scripted answers, or the real modal boxes
// (answered by a BoxAnswerer in the test).
enum class Boxes { kScripted, kReal };

// A window on a simulated device, all in virtual time. The detection timer
// is stopped: tests call Timer1Timer themselves.
struct SimWindow {
  explicit SimWindow(const sim::SimIdentity& identity,
                     std::string_view flash = sim::kDefaultFlashModel,
                     Boxes boxes = Boxes::kScripted)
      : device(std::make_shared<sim::SimDevice>(clock, identity, *sim::FindFlashModel(flash))),
        link(driver),
        form(std::make_unique<MainWindow>(
            link, clock, boxes == Boxes::kReal ? static_cast<Dialogs&>(real_dialogs) : dialogs)) {
    form->Timer1->stop();
  }

  // Ticks the detection until the device line shows the device, at most
  // a full round of the search.
  bool Detect() {
    driver.Attach(device);
    for (int i = 0; i < 12 && !link.IsPresent(); ++i) form->Timer1Timer();
    return link.IsPresent();
  }

  sim::VirtualClock clock;
  sim::SimDriver driver;
  std::shared_ptr<sim::SimDevice> device;
  ScriptedDialogs dialogs;
  QtDialogs real_dialogs;
  NorvaneUsb link;
  std::unique_ptr<MainWindow> form;
};

// A detected model with its demo update file loaded.
struct ReadyWindow {
  explicit ReadyWindow(std::string_view flash = sim::kDefaultFlashModel,
                       Boxes boxes = Boxes::kScripted)
      : window(sim::kSimOrbitMini, flash, boxes) {
    std::ofstream(scratch.Path() / "KORVALEN_ORBIT_Mini.hex", std::ios::binary)
        << demo::ToIntelHex(image);
    ok = window.Detect() && window.form->Panel->btnSimpleAuto->isEnabled();
  }

  bool FlashHoldsImage() const {
    const auto contents = window.device->flash().contents();
    return std::equal(image.begin(), image.end(), contents.begin());
  }

  ScratchDirectory scratch;
  std::vector<uint8_t> image = demo::MakeDemoImage();
  SimWindow window;
  bool ok = false;
};

}  // namespace korvalen::testing
