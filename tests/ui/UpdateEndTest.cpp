// How a one-click update ends for the rest of the window: the progress bar
// goes with the verdict, whatever the verdict, and no page talks to the
// device while the update holds it.
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QSignalSpy>
#include <QTabWidget>
#include <QtTest>

#include "sim/FaultSpec.h"
#include "tests/ui/UiTestSupport.h"
#include "ui/GenBinPage.h"
#include "ui/InformationPage.h"

using namespace korvalen;
using namespace korvalen::testing;

namespace {

void ClickStart(MainWindow& form) { QTest::mouseClick(form.Panel->btnSimpleAuto, Qt::LeftButton); }

bool ProgressShows(const MainWindow& form) {
  return !form.Panel->prbUpdate->isHidden() && !form.Panel->lblUpdateTimeLeft->isHidden();
}

// Chooses the page, then clicks the button on it, as a person would.
void ClickOnPage(MainWindow& form, QWidget* tab, QPushButton* button) {
  form.MainPageControl->setCurrentWidget(tab);
  QTest::mouseClick(button, Qt::LeftButton);
}

}  // namespace

class UpdateEndTest : public QObject {
  Q_OBJECT

 private Q_SLOTS:
  void ProgressBarGoesWithEveryVerdict_data() {
    QTest::addColumn<QString>("faults");
    QTest::addColumn<bool>("stop");
    QTest::addColumn<QString>("verdict");
    QTest::newRow("success") << QString() << false << "Firmware update success!";
    QTest::newRow("fail") << "stuck-busy" << false << "Firmware update Fail!";
    QTest::newRow("unplug") << "vanish:+900" << false << "Firmware update Fail!";
    QTest::newRow("stop") << QString() << true << "Firmware update Fail!";
  }

  void ProgressBarGoesWithEveryVerdict() {
    QFETCH(QString, faults);
    QFETCH(bool, stop);
    QFETCH(QString, verdict);
    ReadyWindow r;
    QVERIFY(r.ok);
    if (faults.startsWith("vanish:+")) {
      faults = "vanish:" +
               QString::number(r.window.device->RequestCount() + faults.mid(8).toULongLong());
    }
    if (!faults.isEmpty()) {
      const auto parsed = sim::ParseFaultSpec(faults.toStdString());
      QVERIFY(parsed.ok());
      sim::ApplyFaultSpecs(parsed.specs, *r.window.device);
    }
    MainWindow& f = *r.window.form;
    QVERIFY(!ProgressShows(f));
    bool shown_during_run = false;
    bool shown_at_verdict = true;
    connect(&f, &MainWindow::ProgressShown, [&](const QString& text) {
      if (text == "Enter ISP Mode") shown_during_run = ProgressShows(f);
      if (text == "Flash Erase All " && stop) ClickStart(f);  // the button reads "Stop" now
    });
    connect(&f, &MainWindow::VerdictShown, [&] { shown_at_verdict = ProgressShows(f); });
    ClickStart(f);
    QCOMPARE(f.Panel->lblISPProcStatus->text(), verdict);
    QVERIFY(shown_during_run);
    QVERIFY(!shown_at_verdict);
    QVERIFY(!ProgressShows(f));
  }

  void PagesSendNothingWhileAnUpdateRuns() {
    // The same update twice: once left alone, once with every page's device
    // button clicked while it programs. Any request a page sent would show
    // as a difference in what reached the device.
    uint64_t alone = 0;
    {
      ReadyWindow r;
      QVERIFY(r.ok);
      const uint64_t before = r.window.device->RequestCount();
      ClickStart(*r.window.form);
      QVERIFY(r.FlashHoldsImage());
      alone = r.window.device->RequestCount() - before;
    }

    ReadyWindow r;
    QVERIFY(r.ok);
    MainWindow& f = *r.window.form;
    f.SetEngineeringView(true);
    f.show();
    QVERIFY(QTest::qWaitForWindowExposed(&f));
    QSignalSpy busy(&f.Context(), &PageContext::DeviceBusyChanged);
    const uint64_t before = r.window.device->RequestCount();
    bool clicked = false;
    connect(&f, &MainWindow::ProgressShown, [&](const QString& text) {
      if (text != "Start Programming" || clicked) return;
      clicked = true;
      QVERIFY(f.Context().DeviceBusy());
      ClickOnPage(f, f.TabSheet1, f.RegisterPg->btnReadAll);
      ClickOnPage(f, f.tabInformation, f.InformationPg->btnUpdateStatus);
      ClickOnPage(f, f.tabInformation, f.InformationPg->btnHID[0]);
      ClickOnPage(f, f.tabInformation, f.I2cPg->btnWriteSpecI2C);
      ClickOnPage(f, f.tabInformation, f.I2cPg->btnReadSpecI2C);
      ClickOnPage(f, f.tabI2CAccess, f.I2cPg->btnReadMI2C);  // the choice sets nothing up
      ClickOnPage(f, f.tabParameter, f.ParameterPg->btnReadPara);
      ClickOnPage(f, f.tabParameter, f.ParameterPg->btnSetPara);
      ClickOnPage(f, f.tabGenBinFile, f.GenBinPg->CurrentFileBitBtn);
      ClickOnPage(f, f.tabISP, f.IspPg->btnUSBChipID);
    });
    ClickStart(f);
    QVERIFY(clicked);
    QCOMPARE(f.Panel->lblISPProcStatus->text(), QString("Firmware update success!"));
    QVERIFY(r.FlashHoldsImage());
    QCOMPARE(r.window.device->RequestCount() - before, alone);
    QCOMPARE(f.ParameterPg->lblSysIdentityNote->text(),
             QString("A firmware update is running: nothing was sent to the device."));
    QCOMPARE(f.GenBinPg->lblModifyFileNote->text(),
             QString("A firmware update is running: no file was loaded."));
    // Busy from the warning box on, free again after the verdict.
    QCOMPARE(busy.size(), 2);
    QCOMPARE(busy.at(0).at(0).toBool(), true);
    QCOMPARE(busy.at(1).at(0).toBool(), false);
    QVERIFY(!f.Context().DeviceBusy());
  }
};

QTEST_MAIN(UpdateEndTest)
#include "UpdateEndTest.moc"
