// The Parameter page through real clicks and keys against the simulated
// firmware, which keeps the settings block and every identity text it
// received, chunk by chunk.
#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTabWidget>
#include <QtTest>

#include "tests/ui/UiTestSupport.h"
#include "ui/LabeledEdit.h"
#include "ui/ParameterPage.h"

using namespace korvalen;
using namespace korvalen::testing;

namespace {

using Bytes = std::vector<uint8_t>;
using Block = std::array<uint8_t, 4>;

// A model with running firmware, found by detection, the page in view.
struct ParameterWindow {
  ParameterWindow() : window(sim::kSimOrbit) {
    ok = window.Detect();
    MainWindow& f = *window.form;
    f.show();
    f.SetEngineeringView(true);
    f.MainPageControl->setCurrentWidget(f.tabParameter);
    ok = ok && f.ParameterPg != nullptr && f.MainPageControl->isTabEnabled(
                                               f.MainPageControl->indexOf(f.tabParameter));
  }
  ParameterPage& page() { return *window.form->ParameterPg; }
  QRadioButton* Mclk(int n) {
    return window.form->findChild<QRadioButton*>("rbnMCLKOutFreq" + QString::number(n));
  }
  const std::vector<sim::MailboxExchange>& Received() {
    return window.device->mailbox().received;
  }
  void Click(QWidget* control) { QTest::mouseClick(control, Qt::LeftButton); }
  // Replaces the edit's text by typing and presses Enter in it.
  void TypeAndEnter(LabeledEdit* edit, const QString& text) {
    edit->Edit()->setFocus();
    edit->Edit()->selectAll();
    QTest::keyClick(edit->Edit(), Qt::Key_Delete);
    QTest::keyClicks(edit->Edit(), text);
    QTest::keyClick(edit->Edit(), Qt::Key_Return);
  }

  ScratchDirectory scratch;
  SimWindow window;
  bool ok = false;
};

}  // namespace

class ParameterPageTest : public QObject {
  Q_OBJECT

 private Q_SLOTS:
  void OpensWithTheStartUpBlockAndSetSendsItUnread() {
    ParameterWindow w;
    QVERIFY(w.ok);
    ParameterPage& p = w.page();
    QCOMPARE(p.lblEepAvail->text(), QString("EEPROM not Available"));
    QVERIFY(p.rbnI2Slen0->isChecked());
    QVERIFY(p.rbnSPDIFlen1->isChecked());
    QVERIFY(w.Mclk(2)->isChecked());
    QVERIFY(p.rbnI2SFormat0->isChecked());
    QVERIFY(p.rbnDSDOut0->isChecked());
    for (QCheckBox* box : {p.chkI2SLRSwap, p.chkDSDLRSwap, p.chkMCLKOutOff, p.chkI2SOutOff,
                           p.chkSPDIFOutOff}) {
      QVERIFY(!box->isChecked());
    }
    w.window.device->mailbox().settings = {0x11, 0x22, 0x33, 0x44};
    w.Click(p.btnSetPara);
    QCOMPARE(w.window.device->mailbox().settings, (Block{0xA1, 0x00, 0x00, 0x00}));
    QCOMPARE(w.Received().size(), size_t{1});
    QCOMPARE(w.Received()[0].sub, uint8_t{0x20});
  }

  void ReadBackShowsTheDevicesBlock() {
    ParameterWindow w;
    QVERIFY(w.ok);
    ParameterPage& p = w.page();
    w.window.device->mailbox().settings = {0x30, 0xE0, 0x00, 0x80};
    w.Click(p.btnReadPara);
    QCOMPARE(p.lblEepAvail->text(), QString("EEPROM Exist"));
    QVERIFY(p.rbnI2Slen1->isChecked());
    QVERIFY(p.rbnSPDIFlen1->isChecked());
    QVERIFY(!p.chkI2SLRSwap->isChecked());
    QVERIFY(!p.chkDSDLRSwap->isChecked());
    QVERIFY(w.Mclk(3)->isChecked());
    QVERIFY(p.rbnI2SFormat0->isChecked());
    QVERIFY(p.rbnDSDOut1->isChecked());
    QVERIFY(p.chkMCLKOutOff->isChecked());
    QVERIFY(p.chkI2SOutOff->isChecked());
    QVERIFY(p.chkSPDIFOutOff->isChecked());
    QCOMPARE(w.window.form->ParameterPg->DeviceSettings, (Block{0x30, 0xE0, 0x00, 0x80}));
  }

  void OptionsChangeOnlyTheirBitsAndHiddenBitsGoBackAsRead() {
    ParameterWindow w;
    QVERIFY(w.ok);
    ParameterPage& p = w.page();
    w.window.device->mailbox().settings = {0x00, 0x1F, 0x5A, 0x7F};
    w.Click(p.btnReadPara);
    w.Click(p.rbnI2Slen0);     // bit 0
    w.Click(p.rbnSPDIFlen0);   // bit 1
    w.Click(p.chkDSDLRSwap);   // bit 3
    w.Click(w.Mclk(1));        // bits 4-5 = 01
    w.Click(p.rbnI2SFormat1);  // bit 6
    w.Click(p.rbnDSDOut0);     // bit 7
    w.Click(p.chkI2SOutOff);   // byte 1 bit 6
    QCOMPARE(w.window.form->ParameterPg->DeviceSettings, (Block{0xDB, 0x5F, 0x5A, 0x7F}));
    w.Click(p.chkDSDLRSwap);
    w.Click(w.Mclk(3));
    w.Click(p.chkSPDIFOutOff);
    w.Click(p.btnSetPara);
    QCOMPARE(w.window.device->mailbox().settings, (Block{0xF3, 0x7F, 0x5A, 0x7F}));
  }

  void StringsGoInChunksOfEight_data() {
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("chunks");
    QTest::addColumn<int>("last");
    QTest::newRow("empty") << QString() << 1 << 1;
    QTest::newRow("7") << QString("ABCDEFG") << 1 << 8;
    QTest::newRow("8") << QString("ABCDEFGH") << 2 << 1;
    QTest::newRow("11") << QString("Norvane-inc") << 2 << 4;
    QTest::newRow("31") << QString("0123456789abcdefghijklmnopqrstu") << 4 << 8;
  }

  void StringsGoInChunksOfEight() {
    QFETCH(QString, text);
    QFETCH(int, chunks);
    QFETCH(int, last);
    ParameterWindow w;
    QVERIFY(w.ok);
    w.TypeAndEnter(w.page().lbledSysStr2, text);
    const auto& got = w.Received();
    QCOMPARE(static_cast<int>(got.size()), chunks);
    Bytes joined;
    for (size_t i = 0; i < got.size(); ++i) {
      QCOMPARE(got[i].sub, uint8_t{0x14});
      QCOMPARE(got[i].index, static_cast<uint8_t>(i));
      QCOMPARE(static_cast<int>(got[i].data.size()), i + 1 == got.size() ? last : 8);
      joined.insert(joined.end(), got[i].data.begin(), got[i].data.end());
    }
    QCOMPARE(static_cast<int>(joined[0]), static_cast<int>(text.size()));
    QCOMPARE(w.window.device->mailbox().StringText(1), text.toStdString());
    QCOMPARE(w.page().lblSysIdentityNote->text(), QString());
  }

  void EachStringEditHasItsSubCommand() {
    ParameterWindow w;
    QVERIFY(w.ok);
    ParameterPage& p = w.page();
    w.TypeAndEnter(p.lbledSysStr1, "Norvane-inc");
    QCOMPARE(w.Received().size(), size_t{2});
    QCOMPARE(w.Received()[0].data, (Bytes{0x0B, 'N', 'o', 'r', 'v', 'a', 'n', 'e'}));
    QCOMPARE(w.Received()[1].data, (Bytes{'-', 'i', 'n', 'c'}));
    w.TypeAndEnter(p.lbledSysStr3, "NVUA170203");
    QCOMPARE(w.Received().back().sub, uint8_t{0x18});
    QCOMPARE(w.window.device->mailbox().StringText(0), std::string("Norvane-inc"));
    QCOMPARE(w.window.device->mailbox().StringText(2), std::string("NVUA170203"));
  }

  void VidAndPidGoAsTyped() {
    ParameterWindow w;
    QVERIFY(w.ok);
    ParameterPage& p = w.page();
    w.TypeAndEnter(p.lbledSysVID, "5e1a");
    p.lbledSysPID->Edit()->setFocus();
    QTest::keyClick(p.lbledSysPID->Edit(), Qt::Key_Enter);  // the keypad's Enter, default "6012"
    w.TypeAndEnter(p.lbledSysPID, "F0");
    const auto& got = w.Received();
    QCOMPARE(got.size(), size_t{3});
    QCOMPARE(got[0].sub, uint8_t{0x08});
    QCOMPARE(got[0].data, (Bytes{0x35, 0x65, 0x31, 0x61}));
    QCOMPARE(got[1].sub, uint8_t{0x0A});
    QCOMPARE(got[1].data, (Bytes{0x36, 0x30, 0x31, 0x32}));
    QCOMPARE(got[2].data, (Bytes{0x46, 0x30, 0x00, 0x00}));
  }

  void KeysOtherThanEnterSendNothing() {
    ParameterWindow w;
    QVERIFY(w.ok);
    ParameterPage& p = w.page();
    const auto requests = w.window.device->RequestCount();
    for (LabeledEdit* edit :
         {p.lbledSysVID, p.lbledSysPID, p.lbledSysStr1, p.lbledSysStr2, p.lbledSysStr3}) {
      edit->Edit()->setFocus();
      QTest::keyClicks(edit->Edit(), "x1");
      for (Qt::Key key : {Qt::Key_Escape, Qt::Key_Space, Qt::Key_Backspace, Qt::Key_F5}) {
        QTest::keyClick(edit->Edit(), key);
      }
    }
    QCOMPARE(w.window.device->RequestCount(), requests);
    QVERIFY(w.Received().empty());
  }

  void TooLongTextsAreRefusedWithNothingSent() {
    ParameterWindow w;
    QVERIFY(w.ok);
    ParameterPage& p = w.page();
    const auto requests = w.window.device->RequestCount();
    w.TypeAndEnter(p.lbledSysStr1, QString(32, 'N'));
    QCOMPARE(p.lblSysIdentityNote->text(),
             QString("String 1 not sent: it has 32 bytes, the device takes at most 31."));
    QVERIFY(p.lblSysIdentityNote->isVisible());
    w.TypeAndEnter(p.lbledSysVID, "5e1a0");
    QCOMPARE(p.lblSysIdentityNote->text(),
             QString("VID not sent: it has 5 bytes, the device takes at most 4."));
    QCOMPARE(w.window.device->RequestCount(), requests);
    QVERIFY(w.Received().empty());
    // A text that fits goes, and the note goes with it.
    w.TypeAndEnter(p.lbledSysVID, "5e1a");
    QCOMPARE(w.Received().size(), size_t{1});
    QCOMPARE(p.lblSysIdentityNote->text(), QString());
  }

  void ACharacterWithoutAnEightBitFormIsRefused() {
    ParameterWindow w;
    QVERIFY(w.ok);
    w.page().lbledSysStr2->setText(QString::fromUtf8("Norvane \u20AC"));
    w.page().lbledSysStr2->Edit()->setFocus();
    QTest::keyClick(w.page().lbledSysStr2->Edit(), Qt::Key_Return);
    QVERIFY(w.Received().empty());
    QCOMPARE(w.page().lblSysIdentityNote->text(),
             QString("String 2 not sent: the device takes 8-bit characters only."));
  }

  void TheUpdateNoteGoesWithTheNextExchange() {
    ParameterWindow w;
    QVERIFY(w.ok);
    ParameterPage& p = w.page();
    MainWindow& f = *w.window.form;
    std::ofstream(w.scratch.Path() / "KORVALEN_ORBIT.hex") << ":0400000001020304F2\n:00000001FF\n";
    f.Timer1Timer();
    QVERIFY(f.Panel->btnSimpleAuto->isEnabled());
    bool clicked = false;
    connect(&f, &MainWindow::ProgressShown, [&](const QString& text) {
      if (text != "Start Programming" || clicked) return;
      clicked = true;
      w.Click(p.btnSetPara);
    });
    w.Click(f.Panel->btnSimpleAuto);
    QVERIFY(clicked);
    QCOMPARE(f.Panel->lblISPProcStatus->text(), QString("Firmware update success!"));
    const QString note("A firmware update is running: nothing was sent to the device.");
    QCOMPARE(p.lblSysIdentityNote->text(), note);
    QVERIFY(w.Received().empty());

    w.Click(p.btnReadPara);
    QCOMPARE(w.Received().size(), size_t{1});
    QCOMPARE(p.lblSysIdentityNote->text(), QString());

    // A refused text's note is still true after an exchange, and stays.
    w.TypeAndEnter(p.lbledSysVID, "5e1a0");
    w.Click(p.btnSetPara);
    QCOMPARE(w.Received().size(), size_t{2});
    QCOMPARE(p.lblSysIdentityNote->text(),
             QString("VID not sent: it has 5 bytes, the device takes at most 4."));
  }

  void SilentFirmwareLeavesTheWindowUsable() {
    ParameterWindow w;
    QVERIFY(w.ok);
    w.window.device->faults().mailbox_silent = true;
    const auto start = w.window.clock.NowMicros();
    w.Click(w.page().btnSetPara);
    w.TypeAndEnter(w.page().lbledSysStr1, "Norvane-inc");
    // Each exchange gives up after 20 polls 10 ms apart.
    QVERIFY(w.window.clock.NowMicros() - start >= 3 * 200000u);
    QVERIFY(w.Received().empty());
  }
};

QTEST_MAIN(ParameterPageTest)
#include "ParameterPageTest.moc"
