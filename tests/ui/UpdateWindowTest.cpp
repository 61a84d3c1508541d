// The one-click update and the ISP page through the window: buttons pressed,
// boxes answered, labels read, the simulated flash compared with the image.
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QSignalSpy>
#include <QtTest>
#include <fstream>

#include "app/BoxAnswerer.h"
#include "app/DemoFiles.h"
#include "sim/FaultSpec.h"
#include "tests/ui/UiTestSupport.h"
#include "ui/LabeledEdit.h"

using namespace korvalen;
using namespace korvalen::testing;

namespace {

constexpr char kWarning[] =
    "Warning|Firmware Update is a critical operation. Please make sure the power stays on and "
    "do not disconnect the device before the update is complete. Would you like to proceed?";

// A person's click on the main panel's Start button.
void ClickStart(MainWindow& form) { QTest::mouseClick(form.Panel->btnSimpleAuto, Qt::LeftButton); }

QStringList ProgressOf(QSignalSpy& spy) {
  QStringList texts;
  for (const auto& args : spy) {
    const QString text = args.at(0).toString();
    // Collapse the erase dots into one entry.
    if (text.startsWith("Flash Erase All") && !texts.isEmpty() &&
        texts.last().startsWith("Flash Erase All")) {
      continue;
    }
    texts << text;
  }
  return texts;
}

}  // namespace

class UpdateWindowTest : public QObject {
  Q_OBJECT

 private Q_SLOTS:
  void CleanUpdateOnEveryFlashModel() {
    for (const auto& model : sim::FlashModels()) {
      ReadyWindow r(model.name);
      QVERIFY2(r.ok, model.name);
      MainWindow& f = *r.window.form;
      QSignalSpy progress(&f, &MainWindow::ProgressShown);
      ClickStart(f);
      QCOMPARE(r.window.dialogs.shown, QStringList{kWarning});
      QVERIFY2(r.FlashHoldsImage(), model.name);
      QCOMPARE(ProgressOf(progress),
               (QStringList{"Enter ISP Mode", "Clear Status register", "Flash Erase All ",
                            "Start Blanking Check", "Blanking Success", "Start Programming",
                            "Programming Success", "Start Verifying Check", "Verifying Success",
                            "Firmware update success!"}));
      QCOMPARE(f.Panel->lblISPProcStatus->palette().color(QPalette::WindowText), QColor(Qt::blue));
      QCOMPARE(f.Panel->lblISPProcStatus->font().pointSize(), 16);
      QCOMPARE(f.Panel->btnSimpleAuto->text(), QString("Finish"));
      QVERIFY(!f.Panel->btnSimpleAuto->isEnabled());
      QVERIFY(f.Panel->lblISPProcNotice->isHidden());
      QVERIFY(f.UpdateFinished());
      QVERIFY(!f.SequenceBusy());
      QVERIFY(!r.window.device->IspMode());
      QVERIFY(!r.window.link.HasHandle());

      // Detection has stopped for good: ticks send nothing.
      const auto requests = r.window.device->RequestCount();
      f.Timer1Timer();
      QCOMPARE(r.window.device->RequestCount(), requests);
    }
  }

  void APersonClicksStartAndAnswersTheRealWarning() {
    ReadyWindow r(sim::kDefaultFlashModel, Boxes::kReal);
    QVERIFY(r.ok);
    MainWindow& f = *r.window.form;
    f.show();
    QVERIFY(QTest::qWaitForWindowExposed(&f));
    QSignalSpy progress(&f, &MainWindow::ProgressShown);
    BoxAnswerer answerer(QMessageBox::Ok);
    ClickStart(f);
    QCOMPARE(answerer.shown(), QStringList{kWarning});
    QCOMPARE(progress.first().at(0).toString(), QString("Enter ISP Mode"));
    QCOMPARE(f.Panel->lblISPProcStatus->text(), QString("Firmware update success!"));
    QCOMPARE(f.Panel->btnSimpleAuto->text(), QString("Finish"));
    QVERIFY(r.FlashHoldsImage());
    QVERIFY(!r.window.device->IspMode());
  }

  void TheBarUnderTheProgressLineMovesToTheEnd() {
    ReadyWindow r;
    QVERIFY(r.ok);
    MainWindow& f = *r.window.form;
    QVERIFY(f.Panel->prbUpdate->isHidden());
    QList<int> values;
    QStringList times;
    connect(f.Panel->prbUpdate, &QProgressBar::valueChanged, [&](int value) {
      values << value;
      times << f.Panel->lblUpdateTimeLeft->text();
    });
    QSignalSpy progress(&f, &MainWindow::ProgressShown);
    ClickStart(f);
    QCOMPARE(f.Panel->lblISPProcStatus->text(), QString("Firmware update success!"));
    QVERIFY(f.Panel->prbUpdate->isHidden());  // gone with the verdict
    // Many small steps forward, never back, up to the end.
    QVERIFY2(values.size() > 20, qPrintable(QString::number(values.size())));
    for (int i = 1; i < values.size(); ++i) QVERIFY(values[i] >= values[i - 1]);
    QCOMPARE(values.last(), f.Panel->prbUpdate->maximum());
    QCOMPARE(f.Panel->lblUpdateTimeLeft->text(), QString("100%"));
    QVERIFY(std::any_of(times.begin(), times.end(),
                        [](const QString& text) { return text.endsWith(" left"); }));
    // The bar is no text of the progress line.
    for (const auto& args : progress) QVERIFY(!args.at(0).toString().contains('%'));
  }

  void CancelInTheRealWarningSendsNothing() {
    ReadyWindow r(sim::kDefaultFlashModel, Boxes::kReal);
    QVERIFY(r.ok);
    MainWindow& f = *r.window.form;
    f.show();
    const auto requests = r.window.device->RequestCount();
    BoxAnswerer answerer(QMessageBox::Cancel);
    ClickStart(f);
    QCOMPARE(answerer.shown(), QStringList{kWarning});
    QCOMPARE(r.window.device->RequestCount(), requests);
    QCOMPARE(f.Panel->lblISPProcStatus->text(), QString("Abort Firmware update process"));
    QVERIFY(f.Panel->btnSimpleAuto->isEnabled());
    QVERIFY(!f.SequenceBusy());
  }

  void DetectionPausesDuringTheRunAndAWeakCellIsRetriedOnce() {
    ReadyWindow r(sim::kFlashSst25vf020b);
    QVERIFY(r.ok);
    r.window.device->flash().AddWeakCell(0x123, 1);
    MainWindow& f = *r.window.form;
    QSignalSpy progress(&f, &MainWindow::ProgressShown);
    bool tick_sent_nothing = false;
    connect(&f, &MainWindow::ProgressShown, [&](const QString& text) {
      if (text != "Start Programming") return;
      QVERIFY(f.SequenceBusy());
      const auto requests = r.window.device->RequestCount();
      f.Timer1Timer();
      tick_sent_nothing = r.window.device->RequestCount() == requests;
    });
    ClickStart(f);
    QVERIFY(tick_sent_nothing);
    const QStringList texts = ProgressOf(progress);
    QCOMPARE(texts.count("ISP Fail and retry"), 1);
    QCOMPARE(texts.count("Clear Status register"), 2);
    QCOMPARE(texts.last(), QString("Firmware update success!"));
    QVERIFY(r.FlashHoldsImage());
  }

  void CancelAtTheWarningSendsNothing() {
    ReadyWindow r;
    QVERIFY(r.ok);
    MainWindow& f = *r.window.form;
    r.window.dialogs.answer_ok = false;
    const auto requests = r.window.device->RequestCount();
    ClickStart(f);
    QCOMPARE(r.window.device->RequestCount(), requests);
    QCOMPARE(f.Panel->lblISPProcStatus->text(), QString("Abort Firmware update process"));
    QCOMPARE(f.Panel->lblISPProcStatus->palette().color(QPalette::WindowText), QColor(Qt::red));
    QCOMPARE(f.Panel->lblISPProcStatus->font().pointSize(), 16);
    QVERIFY(f.Panel->btnSimpleAuto->isEnabled());
    QCOMPARE(f.Panel->btnSimpleAuto->text(), QString("Start"));
    QVERIFY(!f.SequenceBusy());
    QVERIFY(!f.UpdateFinished());
  }

  void VanishingDeviceEndsInTheFailVerdict() {
    ReadyWindow r;
    QVERIFY(r.ok);
    const auto parsed = sim::ParseFaultSpec("vanish:" + std::to_string(
                                                             r.window.device->RequestCount() + 900));
    QVERIFY(parsed.ok());
    sim::ApplyFaultSpecs(parsed.specs, *r.window.device);
    MainWindow& f = *r.window.form;
    ClickStart(f);
    QCOMPARE(f.Panel->lblISPProcStatus->text(), QString("Firmware update Fail!"));
    QCOMPARE(f.Panel->lblISPProcStatus->palette().color(QPalette::WindowText), QColor(Qt::red));
    QCOMPARE(f.Panel->btnSimpleAuto->text(), QString("Finish"));
    QVERIFY(!f.SequenceBusy());
  }

  void DeviceGoneAfterTheVerifyKeepsTheVerdictAndAsksForAReplug() {
    ReadyWindow r;
    QVERIFY(r.ok);
    MainWindow& f = *r.window.form;
    // The device stops answering once the image is verified: neither the
    // protection write nor the exit from ISP mode reaches it.
    connect(&f, &MainWindow::ProgressShown, [&](const QString& text) {
      if (text != "Verifying Success") return;
      const auto parsed = sim::ParseFaultSpec(
          "vanish:" + std::to_string(r.window.device->RequestCount() + 1));
      sim::ApplyFaultSpecs(parsed.specs, *r.window.device);
    });
    QSignalSpy progress(&f, &MainWindow::ProgressShown);
    QSignalSpy notices(&f, &MainWindow::NoticeShown);
    ClickStart(f);
    QVERIFY(r.FlashHoldsImage());
    QCOMPARE(ProgressOf(progress).last(), QString("Firmware update success!"));
    QCOMPARE(f.Panel->lblISPProcStatus->text(), QString("Firmware update success!"));
    const QString notice =
        "The device did not confirm leaving update mode: unplug it and plug it in again.";
    QCOMPARE(notices.count(), 1);
    QCOMPARE(notices.first().at(0).toString(), notice);
    QCOMPARE(f.Panel->lblISPProcNotice->text(), notice);
    QVERIFY(!f.Panel->lblISPProcNotice->isHidden());
    // Below the progress line, not over it.
    QVERIFY(f.Panel->lblISPProcNotice->mapTo(&f, QPoint(0, 0)).y() >=
            f.Panel->lblISPProcStatus->mapTo(&f, QPoint(0, f.Panel->lblISPProcStatus->height())).y());
  }

  void WindowRefusesToCloseWhileUpdating() {
    ReadyWindow r;
    QVERIFY(r.ok);
    MainWindow& f = *r.window.form;
    f.show();
    bool close_accepted = true;
    connect(&f, &MainWindow::ProgressShown, [&](const QString& text) {
      if (text == "Start Programming") close_accepted = f.close();
    });
    ClickStart(f);
    QVERIFY(!close_accepted);
    QVERIFY(f.isVisible());
    QVERIFY(r.window.dialogs.shown.last().startsWith("Dialog|A firmware update is running"));
    QCOMPARE(f.Panel->lblISPProcStatus->text(), QString("Firmware update success!"));
    QVERIFY(f.close());
  }

  void CloseDuringProgrammingNeitherBlocksNorStopsTheRun() {
    ReadyWindow r(sim::kDefaultFlashModel, Boxes::kReal);
    QVERIFY(r.ok);
    MainWindow& f = *r.window.form;
    f.show();
    BoxAnswerer answerer(QMessageBox::Ok);
    bool close_accepted = true;
    bool box_up_when_close_returned = false;
    connect(&f, &MainWindow::ProgressShown, [&](const QString& text) {
      if (text != "Start Programming") return;
      close_accepted = f.close();
      // A box with a loop of its own would have been answered before close()
      // returned, with the update standing still meanwhile.
      for (QWidget* widget : QApplication::topLevelWidgets()) {
        auto* box = qobject_cast<QMessageBox*>(widget);
        if (box != nullptr && box->isVisible() && box->text().startsWith("A firmware update"))
          box_up_when_close_returned = true;
      }
    });
    ClickStart(f);
    QVERIFY(!close_accepted);
    QVERIFY(box_up_when_close_returned);
    QCOMPARE(f.Panel->lblISPProcStatus->text(), QString("Firmware update success!"));
    QVERIFY(r.FlashHoldsImage());
    QTRY_VERIFY(answerer.shown().contains(
        "Dialog|A firmware update is running. Please wait until it has finished."));
    QVERIFY(f.close());
  }

  void LabelsFollowTheirTexts() {
    ReadyWindow r;
    QVERIFY(r.ok);
    MainWindow& f = *r.window.form;
    f.show();
    // Sized to the text and not cut by the panel around it.
    auto fits = [&f](QLabel* label) {
      return label->size() == label->sizeHint() && label->geometry().right() < f.Panel->pnlUSB->width();
    };
    QCOMPARE(f.Panel->lblUpdaeFileStatus->text(),
             QString("Firmware Update file   KORVALEN_ORBIT_Mini.hex    is Ready!"));
    QVERIFY(fits(f.Panel->lblUpdaeFileStatus));
    QVERIFY(fits(f.Panel->lblDetectDevice));
    ClickStart(f);
    QCOMPARE(f.Panel->lblISPProcStatus->text(), QString("Firmware update success!"));
    QVERIFY(fits(f.Panel->lblISPProcStatus));  // in the verdict's large font
  }

  void SecondStartClickDuringTheRunStartsNothing() {
    ReadyWindow r;
    QVERIFY(r.ok);
    MainWindow& f = *r.window.form;
    int warnings_during_run = 0;
    connect(&f, &MainWindow::ProgressShown, [&](const QString& text) {
      if (text != "Start Blanking Check") return;
      const int before = r.window.dialogs.shown.size();
      ClickStart(f);  // reads "Stop": asks the run to stop
      warnings_during_run += r.window.dialogs.shown.size() - before;
    });
    ClickStart(f);
    QCOMPARE(warnings_during_run, 0);
    QCOMPARE(f.Panel->lblISPProcStatus->text(), QString("Firmware update Fail!"));
    QVERIFY2(!r.window.device->IspMode(), "ISP mode is left after a stop");
  }

  void IspPageButtonsShowWhatTheFlashAnswers() {
    ReadyWindow r(sim::kFlashMx25l2006e);
    QVERIFY(r.ok);
    MainWindow& f = *r.window.form;
    f.IspPg->btnEnterISP->click();
    QCOMPARE(f.IspPg->btnEnterISP->text(), QString("Exit ISP"));
    QVERIFY(r.window.device->IspMode());
    f.IspPg->btnUSBChipID->click();
    QCOMPARE(f.IspPg->lblUSBChipID->text(), QString("0xC2,  0x20,  0x12,  "));

    f.IspPg->lbledtUSBWriteStatus->setText("");
    const auto before = r.window.device->RequestCount();
    QTest::keyClick(f.IspPg->lbledtUSBWriteStatus->Edit(), Qt::Key_Return);
    QCOMPARE(r.window.dialogs.shown.last(), QString("Error|'0x' is not a valid integer value"));
    QCOMPARE(r.window.device->RequestCount(), before);

    f.IspPg->btnUSBBlank->click();
    QCOMPARE(f.IspPg->lblUSBProcessInfo->text(), QString("Blanking Success"));
    f.IspPg->btnUSBProgram->click();
    QCOMPARE(f.IspPg->lblUSBProcessInfo->text(), QString("Programming Success"));
    f.IspPg->btnUSBVerify->click();
    QCOMPARE(f.IspPg->lblUSBProcessInfo->text(), QString("Verifying Success"));
    QVERIFY(r.FlashHoldsImage());

    // Only the low 8 bits of what was typed are written: every protection
    // bit is set afterwards.
    f.IspPg->btnUSBWriteEnable->click();
    f.IspPg->lbledtUSBWriteStatus->setText("1FF");
    QTest::keyClick(f.IspPg->lbledtUSBWriteStatus->Edit(), Qt::Key_Return);
    r.window.clock.AdvanceMillis(100);  // the status write completes
    f.IspPg->btnUSBReadStatus->click();
    QCOMPARE(f.IspPg->lblUSBStatus->text(), QString("0x9C"));

    f.IspPg->btnEnterISP->click();
    QCOMPARE(f.IspPg->btnEnterISP->text(), QString("Enter ISP"));
    QVERIFY(!r.window.device->IspMode());
  }

  void ReadFlashOffersTheDumpAndCancelWritesNothing() {
    ReadyWindow r;
    QVERIFY(r.ok);
    MainWindow& f = *r.window.form;
    f.IspPg->btnEnterISP->click();
    r.window.dialogs.save_path.reset();
    f.IspPg->btnReadBack->click();
    QCOMPARE(r.window.dialogs.shown.last(), QString("Save|"));
    QCOMPARE(f.IspPg->lblUSBProcessInfo->text(), QString("Read Flash content Success"));

    const auto dump = r.scratch.Path() / "dump.bin";
    r.window.dialogs.save_path = QString::fromStdString(dump.string());
    f.IspPg->btnReadBack->click();
    QCOMPARE(std::filesystem::file_size(dump), 2048u * (16 * 6 + 1));

    // A dump that cannot be written says so, and the text stays.
    const auto unwritable = r.scratch.Path() / "no-such-folder" / "dump.bin";
    r.window.dialogs.save_path = QString::fromStdString(unwritable.string());
    f.IspPg->btnReadBack->click();
    QVERIFY2(f.IspPg->lblUSBProcessInfo->text().startsWith("Cannot create the dump file"),
             qPrintable(f.IspPg->lblUSBProcessInfo->text()));
  }

  void RangeChoiceTakesTheEditsOnlyWhenValid() {
    ReadyWindow r;
    QVERIFY(r.ok);
    MainWindow& f = *r.window.form;
    f.IspPg->rbnRange1->click();
    QCOMPARE(f.Flash().flash_range_start(), 64u * 1024);
    QCOMPARE(f.Flash().flash_range_size(), 64u * 1024);
    QVERIFY(f.IspPg->lbledISPStart->isEnabled());

    f.IspPg->lbledISPStart->setText("12x");
    f.IspPg->rbnRange1->click();
    QCOMPARE(r.window.dialogs.shown.last(), QString("Error|'12x' is not a valid integer value"));
    QCOMPARE(f.Flash().flash_range_start(), 64u * 1024);

    // A pasted NUL is a character like any other, not the end of the text.
    const QString pasted = QString::fromLatin1("12\0abc", 6);
    f.IspPg->lbledISPStart->setText(pasted);
    f.IspPg->rbnRange1->click();
    QCOMPARE(r.window.dialogs.shown.last(),
             "Error|'" + pasted + "' is not a valid integer value");
    QCOMPARE(f.Flash().flash_range_start(), 64u * 1024);

    f.IspPg->rbnRange0->click();
    QCOMPARE(f.Flash().flash_range_start(), 0u);
    QCOMPARE(f.Flash().flash_range_size(), 0x8000u);
    QVERIFY(!f.IspPg->lbledISPStart->isEnabled());
  }

  void AutoWithoutDeviceShowsTheBoxAndChangesNothing() {
    SimWindow w(sim::kSimTide);
    w.form->IspPg->btnUSBISPAuto->click();
    QCOMPARE(w.dialogs.shown, QStringList{"Dialog|USB device is NOT available !!    "});
    QCOMPARE(w.form->IspPg->btnUSBISPAuto->text(), QString("Auto"));
    QCOMPARE(w.device->RequestCount(), 0u);
  }

  void AutoProgramsTheAssignedRange() {
    ReadyWindow r;
    QVERIFY(r.ok);
    MainWindow& f = *r.window.form;
    f.IspPg->chkReadFile->setChecked(false);
    f.IspPg->rbnRange1->click();
    f.IspPg->btnUSBISPAuto->click();
    QCOMPARE(r.window.dialogs.shown, QStringList());
    QCOMPARE(f.IspPg->lblUSBProcessInfo->text(), QString("Verifying Success"));
    QCOMPARE(f.IspPg->btnUSBISPAuto->text(), QString("Auto"));
    const auto contents = r.window.device->flash().contents();
    QVERIFY(std::equal(r.image.begin(), r.image.end(), contents.begin() + 64 * 1024));
    QVERIFY(!r.window.device->IspMode());
  }
};

QTEST_MAIN(UpdateWindowTest)
#include "UpdateWindowTest.moc"
