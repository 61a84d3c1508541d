// The updater window on the system's own driver with nothing attached, its
// detection timer running on the real clock as in korvalen-updater: every
// tick asks the system for the interfaces of its class, both classes get
// asked, no query fails, the window says so and Start stays off; closing the
// window leaves no handle open. Built where the system's driver is the
// Windows one (under wine in CI, where SetupAPI knows no such devices).
#include <QCloseEvent>
#include <QLabel>
#include <QPushButton>
#include <QTimer>
#include <QtTest>
#include <map>

#include "link/Clock.h"
#include "link/NorvaneUsb.h"
#include "link/Win32Driver.h"
#include "tests/ui/UiTestSupport.h"

using namespace korvalen;
using namespace korvalen::testing;

namespace {

// Passes every call to the system's driver and counts the discovery queries
// by class, with how many of them failed and how many paths they found.
class CountingDriver : public Driver {
 public:
  struct Counts {
    int queries = 0;
    int failed = 0;
    size_t paths = 0;
  };

  std::optional<std::vector<std::string>> EnumerateInterfaces(const Guid& interface_class) override {
    auto paths = system_.EnumerateInterfaces(interface_class);
    Counts& counts = by_class_[interface_class.data1];
    ++counts.queries;
    if (!paths) {
      ++counts.failed;
    } else {
      counts.paths += paths->size();
    }
    return paths;
  }
  DriverHandle OpenPath(const std::string& path) override {
    const DriverHandle handle = system_.OpenPath(path);
    if (handle != kNoHandle) ++open_handles_;
    return handle;
  }
  void CloseHandle(DriverHandle handle) override {
    --open_handles_;
    system_.CloseHandle(handle);
  }
  bool IoControl(DriverHandle handle, uint32_t code, std::span<const uint8_t> in,
                 std::span<uint8_t> out) override {
    return system_.IoControl(handle, code, in, out);
  }

  Counts ForClass(const Guid& interface_class) const {
    const auto found = by_class_.find(interface_class.data1);
    return found == by_class_.end() ? Counts{} : found->second;
  }
  int open_handles() const { return open_handles_; }

 private:
  Win32Driver system_;
  std::map<uint32_t, Counts> by_class_;
  int open_handles_ = 0;
};

}  // namespace

class SystemDriverTest : public QObject {
  Q_OBJECT

 private Q_SLOTS:
  void NothingAttachedIsSaidAndStartStaysOffAcrossTicksOfBothClasses() {
    CountingDriver driver;
    RealClock clock;
    ScriptedDialogs dialogs;
    NorvaneUsb link(driver);
    MainWindow form(link, clock, dialogs);
    form.show();
    // The first tick after 1 s, the second 1 s later, then every 100 ms.
    const auto asked_enough = [&] {
      return driver.ForClass(kAudioDriverInterfaceClass).queries >= 3 &&
             driver.ForClass(kUsbDeviceInterfaceClass).queries >= 3;
    };
    QTRY_VERIFY_WITH_TIMEOUT(asked_enough(), 15000);
    for (const Guid& interface_class : {kAudioDriverInterfaceClass, kUsbDeviceInterfaceClass}) {
      const auto counts = driver.ForClass(interface_class);
      QCOMPARE(counts.failed, 0);
      QCOMPARE(counts.paths, size_t{0});
    }
    QCOMPARE(form.Panel->lblDetectDevice->text(), QString("No device is available"));
    QCOMPARE(form.Panel->lblUpdaeFileStatus->text(), QString("No Updated File !"));
    QVERIFY(!form.Panel->btnSimpleAuto->isEnabled());
    QVERIFY(!link.IsPresent());

    QVERIFY(form.close());
    QCOMPARE(driver.open_handles(), 0);
  }
};

QTEST_MAIN(SystemDriverTest)
#include "SystemDriverTest.moc"
