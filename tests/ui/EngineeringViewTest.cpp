// The engineering view: the key that opens and closes it, the window's size
// on the way in and out, and the tabs of pages that are not built.
#include <QCheckBox>
#include <QGroupBox>
#include <QPushButton>
#include <QTabBar>
#include <QTabWidget>
#include <QtTest>
#include <fstream>

#include "tests/ui/UiTestSupport.h"

using namespace korvalen;
using namespace korvalen::testing;

namespace {

// Presses Ctrl+Shift+E in the window, as a person would.
void PressEngineeringKey(MainWindow& form) {
  QTest::keyClick(&form, Qt::Key_E, Qt::ControlModifier | Qt::ShiftModifier);
}

// Shows the window and waits until it is active: a window shortcut only
// fires in the active window.
bool ShowActive(MainWindow& form) {
  form.show();
  form.activateWindow();
  return QTest::qWaitForWindowActive(&form);
}

int TabIndex(const MainWindow& form, const QString& caption) {
  for (int i = 0; i < form.MainPageControl->count(); ++i) {
    if (form.MainPageControl->tabText(i) == caption) return i;
  }
  return -1;
}

}  // namespace

class EngineeringViewTest : public QObject {
  Q_OBJECT

 private Q_SLOTS:
  void KeyOpensThePagesAndClosesThemAsStartUpLeftThem() {
    SimWindow w(sim::kSimOrbit);
    MainWindow& f = *w.form;
    QVERIFY(ShowActive(f));
    const QSize compact = f.size();
    QCOMPARE(compact, QSize(606, 200));
    QVERIFY(f.MainPageControl->isHidden());

    PressEngineeringKey(f);
    QVERIFY(f.EngineeringView());
    QVERIFY(f.MainPageControl->isVisible());
    QCOMPARE(f.size(), QSize(606, 680));
    const QRect pages(f.MainPageControl->mapTo(&f, QPoint(0, 0)), f.MainPageControl->size());
    QVERIFY(pages.top() >= f.Panel->pnlUSB->geometry().bottom());
    QVERIFY(f.rect().contains(pages));
    QStringList captions;
    for (int i = 0; i < f.MainPageControl->count(); ++i) {
      QVERIFY(f.MainPageControl->isTabVisible(i));
      captions << f.MainPageControl->tabText(i);
    }
    QCOMPARE(captions, (QStringList{"Register", "I2C Access", "ISP", "Parameter", "Information",
                                    "Gen. Bin File"}));
    QVERIFY(f.MainPageControl->isTabEnabled(TabIndex(f, "ISP")));
    // The view opens on the Register page; the ISP page's controls are on.
    QCOMPARE(f.MainPageControl->currentWidget(), f.TabSheet1);
    QVERIFY(f.IspPg->GroupBox1->isVisibleTo(f.tabISP));
    QVERIFY(f.IspPg->chkErase->isVisibleTo(f.tabISP));
    // The compact panel stays where it was.
    QCOMPARE(f.Panel->pnlUSB->geometry(), QRect(0, 0, 606, 120));
    QVERIFY(f.Panel->btnSimpleAuto->isVisible());

    PressEngineeringKey(f);
    QVERIFY(!f.EngineeringView());
    QCOMPARE(f.size(), compact);
    QVERIFY(f.MainPageControl->isHidden());
    QVERIFY(f.IspPg->GroupBox1->isHidden());
    QVERIFY(f.IspPg->chkErase->isHidden());
    QVERIFY(f.IspPg->gbxISPRange->isHidden());
    for (int i = 0; i < f.MainPageControl->count(); ++i) {
      QCOMPARE(f.MainPageControl->isTabVisible(i), f.MainPageControl->tabText(i) == "ISP");
    }
    QCOMPARE(w.device->RequestCount(), 0u);

    // And in again: the same view as the first time.
    PressEngineeringKey(f);
    QCOMPARE(f.size(), QSize(606, 680));
    QVERIFY(f.MainPageControl->isVisible());
  }

  void HidingAndShowingTheViewSendsNothing() {
    SimWindow w(sim::kSimOrbit);
    MainWindow& f = *w.form;
    QVERIFY(w.Detect());
    QVERIFY(ShowActive(f));
    const auto before = w.device->RequestCount();
    PressEngineeringKey(f);
    QCOMPARE(f.MainPageControl->currentWidget(), f.TabSheet1);
    // Closed while the Register page is current, and opened again.
    PressEngineeringKey(f);
    PressEngineeringKey(f);
    QCOMPARE(w.device->RequestCount(), before);
    QCOMPARE(int(w.device->CurrentBank()), 0);
    QCOMPARE(f.MainPageControl->currentWidget(), f.TabSheet1);

    // Closed on another page: it opens on the Register page again.
    QTabBar* bar = f.MainPageControl->tabBar();
    QTest::mouseClick(bar, Qt::LeftButton, {}, bar->tabRect(TabIndex(f, "Parameter")).center());
    QCOMPARE(f.MainPageControl->currentWidget(), f.tabParameter);
    PressEngineeringKey(f);
    PressEngineeringKey(f);
    QCOMPARE(w.device->RequestCount(), before);
    QCOMPARE(f.MainPageControl->currentWidget(), f.TabSheet1);
  }

  void OtherKeysLeaveTheCompactUpdater() {
    SimWindow w(sim::kSimOrbit);
    MainWindow& f = *w.form;
    QVERIFY(ShowActive(f));
    QTest::keyClick(&f, Qt::Key_E, Qt::ControlModifier);
    QTest::keyClick(&f, Qt::Key_E, Qt::ShiftModifier);
    QTest::keyClick(&f, Qt::Key_E);
    QVERIFY(!f.EngineeringView());
    QVERIFY(f.MainPageControl->isHidden());
    QCOMPARE(f.size(), QSize(606, 200));
  }

  void ADisabledTabCannotBeChosen() {
    SimWindow w(sim::kSimOrbit);
    MainWindow& f = *w.form;
    QVERIFY(ShowActive(f));
    PressEngineeringKey(f);
    QTabBar* bar = f.MainPageControl->tabBar();
    const int isp = TabIndex(f, "ISP");
    f.MainPageControl->setCurrentIndex(isp);
    bool any_disabled = false;
    for (int i = 0; i < f.MainPageControl->count(); ++i) {
      if (f.MainPageControl->isTabEnabled(i)) continue;
      any_disabled = true;
      QTest::mouseClick(bar, Qt::LeftButton, {}, bar->tabRect(i).center());
      QCOMPARE(f.MainPageControl->currentIndex(), isp);
    }
    if (!any_disabled) QSKIP("every page is built");
  }

  void UpdateOwnsTheDeviceWhileTheOneClickUpdateRuns() {
    ScratchDirectory scratch;
    SimWindow w(sim::kSimOrbit);
    MainWindow& f = *w.form;
    QVERIFY(!f.DeviceBusy());
    std::ofstream(scratch.Path() / "KORVALEN_ORBIT.hex") << ":0400000001020304F2\n:00000001FF\n";
    QVERIFY(w.Detect());
    QVERIFY(f.Panel->btnSimpleAuto->isEnabled());
    bool owned_during_run = false;
    connect(&f, &MainWindow::ProgressShown, [&](const QString& text) {
      if (text == "Start Programming") owned_during_run = f.DeviceBusy();
    });
    f.btnSimpleAutoClick();
    QVERIFY(owned_during_run);
    QVERIFY(!f.DeviceBusy());
  }
};

QTEST_MAIN(EngineeringViewTest)
#include "EngineeringViewTest.moc"
