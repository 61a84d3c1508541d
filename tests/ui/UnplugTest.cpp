// The device pulled out at every step of the one-click update, through the
// window as a person uses it: the run ends within two seconds of device time
// with the verdict and a notice that says where it stopped and what to do,
// and never claims success over a wrong flash; plugged in again, the device is found by a
// new start of the window (with its firmware, or as the chip's loader once
// the firmware is gone) and an update from there succeeds.
#include <QLabel>
#include <QPushButton>
#include <QtTest>
#include <algorithm>
#include <fstream>

#include "app/DemoFiles.h"
#include "tests/ui/UiTestSupport.h"

using namespace korvalen;
using namespace korvalen::testing;

namespace {

// The firmware a device ships with, and the two update files: the model's
// own and row 0's, which the loader identity loads.
std::vector<uint8_t> Shipped() {
  std::vector<uint8_t> image = demo::MakeDemoImage();
  std::reverse(image.begin(), image.end());
  return image;
}
std::vector<uint8_t> MiniUpdate() { return demo::MakeDemoImage(); }
std::vector<uint8_t> RowZeroUpdate() {
  std::vector<uint8_t> image = demo::MakeDemoImage();
  for (uint8_t& byte : image) byte ^= 0x5A;
  return image;
}

bool Holds(sim::SimDevice& device, const std::vector<uint8_t>& image) {
  const auto contents = device.flash().contents();
  return std::equal(image.begin(), image.end(), contents.begin());
}

// One start of the window on the shared driver: detection, then a real click
// on Start (the warning answered OK by the script). Returns the verdict.
struct WindowRun {
  WindowRun(sim::VirtualClock& clock, sim::SimDriver& driver)
      : link(driver), form(link, clock, dialogs) {
    form.Timer1->stop();
  }
  bool Detect() {
    for (int i = 0; i < 12 && !form.Panel->btnSimpleAuto->isEnabled(); ++i) form.Timer1Timer();
    return form.Panel->btnSimpleAuto->isEnabled();
  }
  QString ClickStart() {
    QTest::mouseClick(form.Panel->btnSimpleAuto, Qt::LeftButton);
    return form.Panel->lblISPProcStatus->text();
  }

  ScriptedDialogs dialogs;
  NorvaneUsb link;
  MainWindow form;
};

}  // namespace

class UnplugTest : public QObject {
  Q_OBJECT

 private Q_SLOTS:
  void UnplugAtEachStepThenReplugAndUpdate_data() {
    QTest::addColumn<QString>("step");
    QTest::addColumn<QString>("notice");
    const QString again = " Plug the device in again and run the update again.";
    const QString unchanged = " The flash was not changed." + again;
    const QString changed = " The flash may have changed." + again;
    const QString stopped = "The device stopped answering during ";
    QTest::newRow("Enter ISP Mode")
        << "Enter ISP Mode" << stopped + "the entry into update mode." + unchanged;
    QTest::newRow("Clear Status register")
        << "Clear Status register" << stopped + "the status register clear." + unchanged;
    QTest::newRow("Flash Erase All") << "Flash Erase All" << stopped + "the erase." + changed;
    QTest::newRow("Start Blanking Check")
        << "Start Blanking Check" << stopped + "the blank check." + changed;
    QTest::newRow("Start Programming") << "Start Programming" << stopped + "programming." + changed;
    QTest::newRow("Start Verifying Check")
        << "Start Verifying Check" << stopped + "the verify." + changed;
    // The flash holds the update; only leaving update mode went unconfirmed.
    QTest::newRow("Verifying Success")
        << "Verifying Success"
        << "The device did not confirm leaving update mode: unplug it and plug it in again.";
  }

  void UnplugAtEachStepThenReplugAndUpdate() {
    QFETCH(QString, step);
    QFETCH(QString, notice);
    ScratchDirectory scratch;
    std::ofstream(scratch.Path() / "KORVALEN_ORBIT_Mini.hex", std::ios::binary)
        << demo::ToIntelHex(MiniUpdate());
    std::ofstream(scratch.Path() / "KORVALEN_ORBIT.hex", std::ios::binary)
        << demo::ToIntelHex(RowZeroUpdate());
    sim::VirtualClock clock;
    sim::SimDriver driver;
    auto device = std::make_shared<sim::SimDevice>(clock, sim::kSimOrbitMini,
                                                   *sim::FindFlashModel(sim::kDefaultFlashModel));
    device->flash().Write(0, Shipped());
    driver.Attach(device);

    {
      WindowRun first(clock, driver);
      QVERIFY(first.Detect());
      bool pulled = false;
      uint64_t pulled_at = 0;
      connect(&first.form, &MainWindow::ProgressShown, [&](const QString& text) {
        if (pulled || !text.startsWith(step)) return;
        pulled = true;
        pulled_at = clock.NowMicros();
        driver.Detach(device);
      });
      const QString verdict = first.ClickStart();
      QVERIFY(pulled);
      QVERIFY2(clock.NowMicros() - pulled_at < 2'000'000,
               qPrintable(QString::number(clock.NowMicros() - pulled_at)));
      QVERIFY(first.form.Panel->lblISPProcNotice->isVisibleTo(&first.form));
      QCOMPARE(first.form.Panel->lblISPProcNotice->text(), notice);
      QVERIFY2(verdict == "Firmware update Fail!" ||
                   (verdict == "Firmware update success!" && Holds(*device, MiniUpdate())),
               qPrintable(verdict));
      QVERIFY(!first.form.SequenceBusy());
      QCOMPARE(first.form.Panel->btnSimpleAuto->text(), QString("Finish"));
    }

    // Plugged in again: firmware that survived runs; otherwise the chip's
    // loader answers as the firmware-update identity.
    const bool firmware_left = Holds(*device, Shipped()) || Holds(*device, MiniUpdate());
    device->SetIdentity(firmware_left ? sim::kSimOrbitMini : sim::kSimUpdate5E1A);
    driver.Attach(device);
    WindowRun second(clock, driver);
    QVERIFY(second.Detect());
    QCOMPARE(second.form.Panel->lblDetectDevice->text(),
             QString(firmware_left ? "Find Device KORVALEN ORBIT Mini"
                                   : "Firmware update device 5E1A is exist"));
    QCOMPARE(second.ClickStart(), QString("Firmware update success!"));
    QVERIFY(Holds(*device, firmware_left ? MiniUpdate() : RowZeroUpdate()));
  }
};

QTEST_MAIN(UnplugTest)
#include "UnplugTest.moc"
