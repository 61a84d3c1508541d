// A device that is attached but refuses this user (no udev rule yet): the
// device line says which device and what to do, Start stays disabled, and
// after the rules are in place and the device is replugged it is found as
// usual.
#include <QLabel>
#include <QPushButton>
#include <QTimer>
#include <QtTest>
#include <fstream>

#include "app/DemoFiles.h"
#include "link/DeviceLock.h"
#include "link/LockingDriver.h"
#include "sim/FaultDriver.h"
#include "tests/ui/UiTestSupport.h"

using namespace korvalen;
using namespace korvalen::testing;

namespace {

// The window over a simulated device whose opens the system refuses.
struct RefusedWindow {
  explicit RefusedWindow(const sim::SimIdentity& identity)
      : device(std::make_shared<sim::SimDevice>(clock, identity,
                                                *sim::FindFlashModel(sim::kDefaultFlashModel))),
        faults(driver),
        link(faults),
        form(std::make_unique<MainWindow>(link, clock, dialogs)) {
    form->Timer1->stop();
    faults.DenyAccess(true);
    driver.Attach(device);
  }
  bool Detect() {
    for (int i = 0; i < 12 && !link.IsPresent(); ++i) form->Timer1Timer();
    return link.IsPresent();
  }

  sim::VirtualClock clock;
  sim::SimDriver driver;
  std::shared_ptr<sim::SimDevice> device;
  sim::FaultDriver faults;
  ScriptedDialogs dialogs;
  NorvaneUsb link;
  std::unique_ptr<MainWindow> form;
};

// The label shows all of its text: the wrapped lines fit its height, and it
// ends before the Start button begins.
bool ShowsWholeText(const QLabel& label, const QWidget& button) {
  return label.heightForWidth(label.width()) <= label.height() &&
         label.geometry().right() < button.geometry().left();
}

}  // namespace

class AccessDeniedTest : public QObject {
  Q_OBJECT

 private Q_SLOTS:
  void RefusedModelIsNamedWithAdviceAndCannotBeStarted() {
    ScratchDirectory scratch;
    std::ofstream(scratch.Path() / "KORVALEN_TIDE.hex")
        << demo::ToIntelHex(std::vector<uint8_t>(0x100, 0x5A));
    RefusedWindow w(sim::kSimTide);
    w.form->show();
    QVERIFY(QTest::qWaitForWindowExposed(w.form.get()));
    QVERIFY(w.Detect());
    MainWindow& f = *w.form;
    const QString advice =
        "No permission to open KORVALEN TIDE (USB 5e1a:f072). Install the korvalen-updater "
        "package (or its udev rules) and replug the device.";
    QCOMPARE(f.Panel->lblDetectDevice->text(), advice);
    QVERIFY(ShowsWholeText(*f.Panel->lblDetectDevice, *f.Panel->btnSimpleAuto));
    QVERIFY(!f.Panel->lblUpdaeFileStatus->isVisible());
    QVERIFY(!f.Panel->btnSimpleAuto->isEnabled());
    QVERIFY(!f.Detection().file_found());
    QCOMPARE(f.Images().Image->length, 0u);
    QVERIFY(f.StatusSquareColour() != QColor(0, 255, 0));
    QCOMPARE(w.device->RequestCount(), 0u);

    // While the device stays, the advice stays; the button cannot start anything.
    f.Timer1Timer();
    f.Timer1Timer();
    QCOMPARE(f.Panel->lblDetectDevice->text(), advice);
    QTest::mouseClick(f.Panel->btnSimpleAuto, Qt::LeftButton);
    QVERIFY(w.dialogs.shown.isEmpty());
    QCOMPARE(w.device->RequestCount(), 0u);

    // The rules are installed; the device is unplugged and plugged in again.
    w.faults.DenyAccess(false);
    w.driver.Detach(w.device);
    f.Timer1Timer();
    QCOMPARE(f.Panel->lblDetectDevice->text(), QString("No device is available"));
    QVERIFY(f.Panel->lblUpdaeFileStatus->isVisible());
    QVERIFY(!f.Panel->lblDetectDevice->wordWrap());
    w.driver.Attach(w.device);
    QVERIFY(w.Detect());
    QCOMPARE(f.Panel->lblDetectDevice->text(), QString("Find Device KORVALEN TIDE"));
    QCOMPARE(f.Panel->lblUpdaeFileStatus->text(),
             QString("Firmware Update file   KORVALEN_TIDE.hex    is Ready!"));
    QVERIFY(f.Panel->btnSimpleAuto->isEnabled());
    QCOMPARE(f.Images().Image->length, 0x100u);
  }

  void RefusedUpdateDeviceLoadsNoFile() {
    ScratchDirectory scratch;
    std::ofstream(scratch.Path() / "KORVALEN_ORBIT.bin") << std::string(0x100, '\x10');
    RefusedWindow w(sim::kSimUpdate5E1A);
    w.form->show();
    QVERIFY(QTest::qWaitForWindowExposed(w.form.get()));
    QVERIFY(w.Detect());
    QCOMPARE(w.form->Panel->lblDetectDevice->text(),
             QString("No permission to open the firmware update device (USB 5e1a:6000). Install "
                     "the korvalen-updater package (or its udev rules) and replug the device."));
    QVERIFY(ShowsWholeText(*w.form->Panel->lblDetectDevice, *w.form->Panel->btnSimpleAuto));
    QVERIFY(!w.form->Panel->btnSimpleAuto->isEnabled());
    QCOMPARE(w.form->Images().Image->length, 0u);
  }

  // Another program holds the device's lock (korvalen-fw updating it): the
  // window sends nothing, says who has the device, and takes it once free.
  void DeviceInUseIsNamedAndTakenWhenFree() {
    ScratchDirectory scratch;
    std::ofstream(scratch.Path() / "KORVALEN_TIDE.hex")
        << demo::ToIntelHex(std::vector<uint8_t>(0x100, 0x5A));
    sim::VirtualClock clock;
    sim::SimDriver driver;
    auto device = std::make_shared<sim::SimDevice>(clock, sim::kSimTide,
                                                   *sim::FindFlashModel(sim::kDefaultFlashModel));
    driver.Attach(device);
    const std::string prefix = "ui-test-" + std::to_string(QCoreApplication::applicationPid()) + ":";
    LockingDriver locking(driver, prefix);
    ScriptedDialogs dialogs;
    NorvaneUsb link(locking);
    MainWindow f(link, clock, dialogs);
    f.Timer1->stop();
    DeviceLockAttempt other = DeviceLock::TakeDevice(prefix + "usb:bus-001:port-1");
    QVERIFY(other.lock);
    for (int i = 0; i < 12 && !link.IsPresent(); ++i) f.Timer1Timer();
    const QString in_use = QString("KORVALEN TIDE (USB 5e1a:f072): the device is in use by process %1")
                               .arg(QCoreApplication::applicationPid());
    QCOMPARE(f.Panel->lblDetectDevice->text(), in_use);
    QVERIFY(!f.Panel->btnSimpleAuto->isEnabled());
    f.Timer1Timer();
    QCOMPARE(f.Panel->lblDetectDevice->text(), in_use);
    QTest::mouseClick(f.Panel->btnSimpleAuto, Qt::LeftButton);
    QVERIFY(dialogs.shown.isEmpty());
    QCOMPARE(device->RequestCount(), 0u);

    other.lock.reset();
    f.Timer1Timer();
    QCOMPARE(f.Panel->lblDetectDevice->text(), QString("Find Device KORVALEN TIDE"));
    QVERIFY(f.Panel->btnSimpleAuto->isEnabled());
    // Now the window is the device's master.
    QVERIFY(!DeviceLock::TakeDevice(prefix + "usb:bus-001:port-1").lock);
  }
};

QTEST_MAIN(AccessDeniedTest)
#include "AccessDeniedTest.moc"
