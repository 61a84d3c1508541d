// The I2C Access page and the "Special I2C access" group through their
// controls: tabs, cells and buttons clicked, keys typed, checked against
// what reached the board's I2C slaves on the simulated bus.
#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QTabBar>
#include <QTabWidget>
#include <QTableWidget>
#include <QtTest>

#include "sim/FaultSpec.h"
#include "sim/SimI2c.h"
#include "tests/ui/UiTestSupport.h"
#include "ui/I2cPage.h"
#include "ui/InformationPage.h"

using namespace korvalen;
using namespace korvalen::testing;

namespace {

// A detected device with the board's slaves (a register port at 0x20, a
// command-coded controller at 0x60), the engineering view open on the
// I2C Access page.
struct I2cWindow {
  I2cWindow() : w(sim::kSimOrbit) {
    sim::AddBoardI2cSlaves(w.device->i2c());
    ok = w.Detect();
    f().show();
    f().activateWindow();
    ok = ok && QTest::qWaitForWindowActive(&f());
    f().SetEngineeringView(true);
    Choose(f().tabI2CAccess);
    bus().ClearEvents();
  }
  MainWindow& f() { return *w.form; }
  I2cPage& page() { return *w.form->I2cPg; }
  QTableWidget* grid() { return w.form->I2cPg->StringGridMIIC; }
  sim::SimI2cBus& bus() { return w.device->i2c(); }
  sim::SimI2cSlave& dac() { return *bus().Slave(0x20); }

  // Clicks the tab of a page.
  void Choose(QWidget* page) {
    QTabBar* tabs = f().MainPageControl->tabBar();
    const int index = f().MainPageControl->indexOf(page);
    QTest::mouseClick(tabs, Qt::LeftButton, {}, tabs->tabRect(index).center());
  }
  void ClickCell(int column, int row) {
    const QRect cell = grid()->visualRect(grid()->model()->index(row, column));
    QTest::mouseClick(grid()->viewport(), Qt::LeftButton, {}, cell.center());
  }
  // Types text into the current cell as a person does: the first key opens
  // the cell editor, the rest go to it.
  void TypeIntoCell(const QString& text) {
    QTest::keyClick(grid(), text[0].toLatin1());
    QWidget* editor = QApplication::focusWidget();
    QVERIFY(editor && editor != grid());
    QTest::keyClicks(editor, text.mid(1));
  }
  // Clicks a length bar's arrow: towards the right end or the left end.
  void Step(QScrollBar* bar, bool up, int times = 1) {
    const QPoint arrow(up ? bar->width() - 4 : 4, bar->height() / 2);
    for (int i = 0; i < times; ++i) QTest::mouseClick(bar, Qt::LeftButton, {}, arrow);
  }
  // Replaces an edit's text by typing, then presses Enter if asked.
  void Type(QLineEdit* edit, const QString& text, bool enter = false) {
    edit->setFocus();
    QTest::keyClick(edit, Qt::Key_A, Qt::ControlModifier);
    QTest::keyClick(edit, Qt::Key_Delete);
    QTest::keyClicks(edit, text);
    if (enter) QTest::keyClick(edit, Qt::Key_Return);
  }
  QString Cell(int column, int row) {
    const QTableWidgetItem* item = grid()->item(row, column);
    return item ? item->text() : QString();
  }
  QString TakeTrace() {
    const QString trace = QString::fromStdString(bus().Trace());
    bus().ClearEvents();
    return trace;
  }

  SimWindow w;
  bool ok = false;
};

// A key that types one character, as a keyboard with that key sends it.
void TypeCharacter(QWidget* widget, char16_t character) {
  QTest::sendKeyEvent(QTest::Click, widget, Qt::Key_unknown, QString(QChar(character)),
                      Qt::NoModifier);
}

// Ten refused address attempts, each after a (repeated) start, then the
// stop that ends the transaction.
QString Refused(const char* address) {
  QStringList trace;
  for (int i = 0; i < 10; ++i) trace << QString(i ? "Sr %1-" : "S %1-").arg(address);
  return trace.join(' ') + " P";
}

}  // namespace

class I2cPageTest : public QObject {
  Q_OBJECT

 private Q_SLOTS:
  void ChoosingThePageSetsTheControllerUpEveryTime() {
    I2cWindow r;
    QVERIFY(r.ok);
    QCOMPARE(int(r.w.device->CurrentBank()), 14);
    QCOMPARE(int(r.w.device->PeekRegister(14, 17)), 4);
    QVERIFY(!r.w.link.HasHandle());

    // The Information page's Update selects bank 0; coming back sets up again.
    r.Choose(r.f().tabInformation);
    QTest::mouseClick(r.f().InformationPg->btnUpdateStatus, Qt::LeftButton);
    QCOMPARE(int(r.w.device->CurrentBank()), 0);
    r.Choose(r.f().tabI2CAccess);
    QCOMPARE(int(r.w.device->CurrentBank()), 14);
    QVERIFY(!r.w.link.HasHandle());
    r.ClickCell(6, 1);  // register 0x05 of the DAC
    QCOMPARE(r.TakeTrace(), QString("S 20+ 05+ Sr 21+ r02- P"));
  }

  void SelectingACellReadsAndShowsTheRegister() {
    I2cWindow r;
    QVERIFY(r.ok);
    r.ClickCell(3, 1);  // register 0x02: clock locked and auto
    QCOMPARE(r.page().lblMI2CRegAddr->text(), QString("Reg 0x02"));
    QCOMPARE(r.page().lblMI2CRegData->text(), QString("= 0x81"));
    QCOMPARE(r.Cell(3, 1), QString("81"));
    for (int i = 0; i < 8; ++i) QCOMPARE(r.page().chkMI2CBit[i]->isChecked(), i == 0 || i == 7);
    const QColor silver(0xC0, 0xC0, 0xC0);
    QCOMPARE(r.grid()->item(0, 3)->background().color(), silver);
    QCOMPARE(r.grid()->item(1, 0)->background().color(), silver);
    QVERIFY(r.grid()->item(0, 2)->background().color() != silver);
    QVERIFY(r.grid()->item(2, 0)->background().color() != silver);
  }

  void TheSharedAddressFollowsEnterInEitherEdit() {
    I2cWindow r;
    QVERIFY(r.ok);
    // Before any Enter both places talk to 0x20, whatever the group shows.
    r.Choose(r.f().tabInformation);
    QCOMPARE(r.page().edtMI2CAddr1->text(), QString("60"));
    QTest::mouseClick(r.page().btnReadSpecI2C, Qt::LeftButton);
    QCOMPARE(r.TakeTrace(), QString("S 20+ 00+ Sr 21+ r8C- P"));

    // The group's edit sets the address and writes it into the page's edit,
    // keeping its own text as typed.
    r.Type(r.page().edtMI2CAddr1, "160", true);
    QCOMPARE(r.page().edtMI2CAddr1->text(), QString("160"));
    QCOMPARE(r.page().edtMI2CAddr->text(), QString("60"));
    r.Choose(r.f().tabI2CAccess);
    r.TakeTrace();
    r.ClickCell(2, 1);
    QVERIFY(r.TakeTrace().startsWith("S 60+ 01+ Sr 61+"));

    // The page's edit keeps the low byte and shows it as two digits.
    r.Type(r.page().edtMI2CAddr, "1A0", true);
    QCOMPARE(r.page().edtMI2CAddr->text(), QString("A0"));
    r.ClickCell(3, 1);
    QCOMPARE(r.TakeTrace(), Refused("A0"));

    // Text that is no number: the error box, the address unchanged.
    r.Type(r.page().edtMI2CAddr, "", true);
    r.Choose(r.f().tabInformation);
    r.Type(r.page().edtMI2CAddr1, "g1", true);
    QCOMPARE(r.w.dialogs.shown, (QStringList{"Error|'0x' is not a valid integer value",
                                             "Error|'0xg1' is not a valid integer value"}));
    QCOMPARE(r.page().edtMI2CAddr1->text(), QString("g1"));
    QCOMPARE(r.page().access.slave_address(), 0xA0);
    QVERIFY(r.TakeTrace().isEmpty());
  }

  void RawWriteAndReadAreOneTransactionEach() {
    I2cWindow r;
    QVERIFY(r.ok);
    r.Choose(r.f().tabInformation);
    r.Type(r.page().edtMI2CAddr1, "60", true);
    // Command length 3, data length 1.
    r.Step(r.page().srblen0, true, 2);
    QCOMPARE(r.page().lbllencmd->text(), QString("3"));
    QVERIFY(r.page().edtI2Ccmd[2]->isEnabled());
    QVERIFY(!r.page().edtI2Ccmd[3]->isEnabled());
    // Two digits each: "1" is 0x10, "123" 0x12, "G5" 0x05. Edit 3 is off.
    r.Type(r.page().edtI2Ccmd[0], "1");
    r.Type(r.page().edtI2Ccmd[1], "123");
    r.Type(r.page().edtI2Ccmd[2], "G5");
    r.Type(r.page().edtI2Cdat[0], "a5");
    QTest::mouseClick(r.page().btnWriteSpecI2C, Qt::LeftButton);
    QCOMPARE(r.TakeTrace(), QString("S 60+ 10+ 12+ 05+ A5+ P"));

    // Read: the same command, a repeated start, one byte not acknowledged;
    // only the first data edit shows it.
    r.page().edtI2Cdat[1]->setText("77");
    QTest::mouseClick(r.page().btnReadSpecI2C, Qt::LeftButton);
    QCOMPARE(r.TakeTrace(), QString("S 60+ 10+ 12+ 05+ Sr 61+ r12- P"));
    QCOMPARE(r.page().edtI2Cdat[0]->text(), QString("12"));
    QCOMPARE(r.page().edtI2Cdat[1]->text(), QString("77"));

    // A length bar moved back disables the edits past it, keeping their texts.
    r.Step(r.page().srblen1, true, 6);
    QCOMPARE(r.page().lbllendat->text(), QString("5"));
    for (QLineEdit* edit : r.page().edtI2Cdat) QVERIFY(edit->isEnabled());
    r.Type(r.page().edtI2Cdat[4], "3C");
    r.Step(r.page().srblen1, false, 3);
    QCOMPARE(r.page().lbllendat->text(), QString("2"));
    QVERIFY(r.page().edtI2Cdat[1]->isEnabled());
    QVERIFY(!r.page().edtI2Cdat[2]->isEnabled());
    QCOMPARE(r.page().edtI2Cdat[4]->text(), QString("3C"));
  }

  void GridKeysConvertTheCellThenWriteAndShowTheReadBack() {
    I2cWindow r;
    QVERIFY(r.ok);
    r.ClickCell(1, 2);  // register 0x10
    r.TakeTrace();
    r.TypeIntoCell("7F");
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Insert);
    QCOMPARE(r.TakeTrace(), QString("S 20+ 10+ 80+ P S 20+ 10+ Sr 21+ r80- P"));
    QCOMPARE(r.Cell(1, 2), QString("80"));
    QVERIFY(r.page().chkMI2CBit[7]->isChecked());

    r.ClickCell(2, 2);  // register 0x11
    r.TakeTrace();
    r.TypeIntoCell("FF");
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Insert);
    QVERIFY(r.TakeTrace().isEmpty());
    QCOMPARE(int(r.dac().Register(0x11)), 0);
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Delete);
    QCOMPARE(int(r.dac().Register(0x11)), 0xFE);

    // Enter keeps the low byte; bit 7 of 0x02 ignores writes, and the cell
    // shows what the slave kept.
    r.ClickCell(3, 1);
    r.TypeIntoCell("105");
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Return);
    QCOMPARE(int(r.dac().Register(0x02)), 0x85);
    QCOMPARE(r.Cell(3, 1), QString("85"));

    // Text that does not convert: the error box for Insert too, nothing sent.
    r.ClickCell(4, 1);
    r.TakeTrace();
    r.TypeIntoCell("-1");
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Insert);
    QCOMPARE(r.w.dialogs.shown, QStringList{"Error|'0x-1' is not a valid integer value"});
    QVERIFY(r.TakeTrace().isEmpty());
    QCOMPARE(int(r.dac().Register(0x03)), 0xFF);
  }

  void HeadersCanNeitherBeChosenNorEdited() {
    I2cWindow r;
    QVERIFY(r.ok);
    r.ClickCell(6, 1);  // register 0x05 holds 0x02
    r.TakeTrace();
    // Clicks on the corner and on headers read nothing and leave register
    // 0x05 current: Delete steps it, with its own cell's text.
    r.ClickCell(0, 0);
    r.ClickCell(0, 3);
    r.ClickCell(9, 0);
    QVERIFY(r.TakeTrace().isEmpty());
    QCOMPARE(r.page().lblMI2CRegAddr->text(), QString("Reg 0x05"));
    QTest::keyClick(r.grid(), Qt::Key_Delete);
    QCOMPARE(r.TakeTrace(), QString("S 20+ 05+ 01+ P S 20+ 05+ Sr 21+ r01- P"));
    QVERIFY(r.w.dialogs.shown.isEmpty());

    // No editor opens on a header: what is typed next goes to register 0x05.
    QTest::mouseDClick(r.grid()->viewport(), Qt::LeftButton, {},
                       r.grid()->visualRect(r.grid()->model()->index(0, 4)).center());
    QCOMPARE(QApplication::focusWidget(), r.grid());
    r.TypeIntoCell("7");
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Return);
    QCOMPARE(int(r.dac().Register(0x05)), 0x07);
    QCOMPARE(r.Cell(4, 0), QString("03"));
    QCOMPARE(r.Cell(0, 1), QString("00"));
  }

  void TheConversionErrorShowsTheTextAsTyped() {
    I2cWindow r;
    QVERIFY(r.ok);
    // Outside ASCII, inside and outside Latin-1.
    r.ClickCell(2, 1);
    r.TakeTrace();
    r.TypeIntoCell("1");
    TypeCharacter(QApplication::focusWidget(), u'Ω');
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Return);
    r.Type(r.page().edtMI2CAddr, "");
    TypeCharacter(r.page().edtMI2CAddr, u'é');
    QTest::keyClicks(r.page().edtMI2CAddr, "5");
    QTest::keyClick(r.page().edtMI2CAddr, Qt::Key_Return);
    QCOMPARE(r.w.dialogs.shown, (QStringList{"Error|'0x1Ω' is not a valid integer value",
                                             "Error|'0xé5' is not a valid integer value"}));
    QVERIFY(r.TakeTrace().isEmpty());
    QCOMPARE(r.page().access.slave_address(), 0x20);
  }

  void BitBoxesWriteTheCurrentCellOnMouseRelease() {
    I2cWindow r;
    QVERIFY(r.ok);
    // No cell chosen yet: register 0x00, the chip id, which ignores writes.
    QTest::mouseClick(r.page().chkMI2CBit[0], Qt::LeftButton);
    QCOMPARE(r.TakeTrace(), QString("S 20+ 00+ 01+ P S 20+ 00+ Sr 21+ r8C- P"));
    QCOMPARE(r.Cell(1, 1), QString("8C"));
    QCOMPARE(r.page().lblMI2CRegData->text(), QString("= 0x8C"));
    QVERIFY(!r.page().chkMI2CBit[0]->isChecked());
    QVERIFY(r.page().chkMI2CBit[7]->isChecked());

    r.ClickCell(6, 1);  // register 0x05 holds 0x02
    r.ClickCell(1, 1);
    r.ClickCell(6, 1);
    QCOMPARE(r.page().lblMI2CRegAddr->text(), QString("Reg 0x05"));
    r.TakeTrace();
    // The space bar changes only the box; a release of any mouse button over
    // a box writes what the boxes show, and the slave gets its time.
    r.page().chkMI2CBit[6]->setFocus();
    QTest::keyClick(r.page().chkMI2CBit[6], Qt::Key_Space);
    QVERIFY(r.page().chkMI2CBit[6]->isChecked());
    QVERIFY(r.TakeTrace().isEmpty());
    const uint64_t before = r.w.clock.NowMicros();
    QTest::mouseClick(r.page().chkMI2CBit[3], Qt::RightButton);
    QVERIFY(r.w.clock.NowMicros() - before >= 30000);
    QCOMPARE(r.TakeTrace(), QString("S 20+ 05+ 42+ P S 20+ 05+ Sr 21+ r42- P"));
    QCOMPARE(r.page().lblMI2CRegData->text(), QString("= 0x42"));
  }

  void ReadPassFillsTheGridAndStopsWhenPressedAgain() {
    I2cWindow r;
    QVERIFY(r.ok);
    QTest::mouseClick(r.page().btnReadMI2C, Qt::LeftButton);
    QCOMPARE(r.page().btnReadMI2C->text(), QString("Read"));
    QCOMPARE(r.Cell(1, 1), QString("8C"));
    QCOMPARE(r.Cell(16, 1), QString("41"));
    QCOMPARE(r.Cell(16, 16), QString("00"));
    // One transaction per register, each ending with a byte not acknowledged.
    QCOMPARE(r.TakeTrace().count("- P"), 256);

    I2cWindow s;
    QVERIFY(s.ok);
    bool stopped = false;
    connect(s.grid()->model(), &QAbstractItemModel::dataChanged, [&] {
      if (!stopped && !s.Cell(4, 2).isEmpty()) {  // register 0x13 is shown
        stopped = true;
        QCOMPARE(s.page().btnReadMI2C->text(), QString("Stop"));
        QTest::mouseClick(s.page().btnReadMI2C, Qt::LeftButton);
      }
    });
    QTest::mouseClick(s.page().btnReadMI2C, Qt::LeftButton);
    QVERIFY(stopped);
    QCOMPARE(s.page().btnReadMI2C->text(), QString("Read"));
    QCOMPARE(s.Cell(4, 2), QString("00"));
    QCOMPARE(s.Cell(5, 2), QString());  // register 0x14: the pass stopped before it
    QCOMPARE(s.TakeTrace().count("- P"), 0x14);
    QVERIFY(!s.w.link.HasHandle());
  }

  void ACellChosenDuringTheReadPassLeavesTheRestOfThePassIntact() {
    I2cWindow r;
    QVERIFY(r.ok);
    for (int reg = 0x10; reg < 0x100; ++reg) r.dac().SetRegister(reg, 0x5A);
    bool clicked = false;
    connect(r.grid()->model(), &QAbstractItemModel::dataChanged, [&] {
      if (!clicked && !r.Cell(1, 3).isEmpty()) {  // register 0x20 is shown
        clicked = true;
        r.ClickCell(3, 1);  // its own transaction, between two of the pass
      }
    });
    QTest::mouseClick(r.page().btnReadMI2C, Qt::LeftButton);
    QVERIFY(clicked);
    QCOMPARE(r.page().lblMI2CRegData->text(), QString("= 0x81"));
    QCOMPARE(r.Cell(2, 3), QString("5A"));
    QCOMPARE(r.Cell(16, 16), QString("5A"));
    QVERIFY(!r.w.link.HasHandle());
  }

  void ASilentSlaveLeavesTheShadowAsItWas() {
    I2cWindow r;
    QVERIFY(r.ok);
    r.ClickCell(4, 1);  // register 0x03: FF
    sim::ApplyFaultSpecs(sim::ParseFaultSpec("i2c-nak:0x20").specs, *r.w.device);
    r.ClickCell(5, 1);
    r.ClickCell(4, 1);
    QCOMPARE(r.Cell(4, 1), QString("FF"));
    QCOMPARE(r.page().lblMI2CRegData->text(), QString("= 0xFF"));
    r.TakeTrace();
    // After a refused write the cell shows the value that was to be written.
    r.TypeIntoCell("12");
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Return);
    QCOMPARE(r.TakeTrace(), Refused("20") + " " + Refused("20"));
    QCOMPARE(r.Cell(4, 1), QString("12"));
    QCOMPARE(int(r.dac().Register(0x03)), 0xFF);

    // A raw read without an answer leaves the data edits as they were.
    r.Choose(r.f().tabInformation);
    r.page().edtI2Cdat[0]->setText("5A");
    QTest::mouseClick(r.page().btnReadSpecI2C, Qt::LeftButton);
    QCOMPARE(r.TakeTrace(), Refused("20"));
    QCOMPARE(r.page().edtI2Cdat[0]->text(), QString("5A"));
    QVERIFY(r.w.dialogs.shown.isEmpty());
  }

  void NothingReachesTheBusWhileTheUpdateRuns() {
    ScratchDirectory scratch;
    I2cWindow r;
    QVERIFY(r.ok);
    std::ofstream(scratch.Path() / "KORVALEN_ORBIT.hex") << ":0400000001020304F2\n:00000001FF\n";
    r.f().Timer1Timer();
    QVERIFY(r.f().Panel->btnSimpleAuto->isEnabled());
    bool clicked = false;
    connect(r.w.form.get(), &MainWindow::ProgressShown, [&](const QString& text) {
      if (text != "Start Programming" || clicked) return;
      clicked = true;
      r.Choose(r.f().tabInformation);
      r.Choose(r.f().tabI2CAccess);
      r.ClickCell(4, 4);
      QTest::keyClick(r.grid(), Qt::Key_Insert);
      QTest::mouseClick(r.page().chkMI2CBit[3], Qt::LeftButton);
      QTest::mouseClick(r.page().btnReadMI2C, Qt::LeftButton);
      r.Choose(r.f().tabInformation);
      QTest::mouseClick(r.page().btnWriteSpecI2C, Qt::LeftButton);
      QTest::mouseClick(r.page().btnReadSpecI2C, Qt::LeftButton);
    });
    QTest::mouseClick(r.f().Panel->btnSimpleAuto, Qt::LeftButton);
    QVERIFY(clicked);
    QCOMPARE(r.f().Panel->lblISPProcStatus->text(), QString("Firmware update success!"));
    QVERIFY(r.TakeTrace().isEmpty());
    QCOMPARE(int(r.dac().Register(0x33)), 0);
  }
};

QTEST_MAIN(I2cPageTest)
#include "I2cPageTest.moc"
