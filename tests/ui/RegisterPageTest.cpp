// The Register page through its controls: cells clicked, keys typed into
// the grid, bit boxes clicked, against the simulated chip.
#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTableWidget>
#include <QTimer>
#include <QtTest>

#include "tests/ui/UiTestSupport.h"
#include "ui/RegisterPage.h"

using namespace korvalen;
using namespace korvalen::testing;

namespace {

// A detected device, the window active with the engineering view open.
struct RegisterWindow {
  RegisterWindow() : w(sim::kSimOrbit) {
    ok = w.Detect();
    f().show();
    f().activateWindow();
    ok = ok && QTest::qWaitForWindowActive(&f());
    f().SetEngineeringView(true);
    f().MainPageControl->setCurrentWidget(f().TabSheet1);
  }
  MainWindow& f() { return *w.form; }
  RegisterPage& page() { return *w.form->RegisterPg; }
  QTableWidget* grid() { return w.form->RegisterPg->RegStringGrid1; }
  QPoint CellCentre(int column, int row) {
    return grid()->visualRect(grid()->model()->index(row, column)).center();
  }
  void ClickCell(int column, int row) {
    QTest::mouseClick(grid()->viewport(), Qt::LeftButton, {}, CellCentre(column, row));
  }
  // Types text into the current cell as a person does: the first key opens
  // the cell editor, the rest go to it.
  void TypeIntoCell(const QString& text) {
    QTest::keyClick(grid(), text[0].toLatin1());
    QWidget* editor = QApplication::focusWidget();
    QVERIFY(editor && editor != grid());
    QTest::keyClicks(editor, text.mid(1));
  }
  QWidget* KeyTarget() { return QApplication::focusWidget(); }
  QString Cell(int column, int row) {
    const QTableWidgetItem* item = grid()->item(row, column);
    return item ? item->text() : QString();
  }
  int Reg(uint8_t bank, uint8_t reg) { return w.device->PeekRegister(bank, reg); }

  SimWindow w;
  bool ok = false;
};

}  // namespace

class RegisterPageTest : public QObject {
  Q_OBJECT

 private Q_SLOTS:
  void SelectingACellReadsAndShowsTheRegister() {
    RegisterWindow r;
    QVERIFY(r.ok);
    r.w.device->PokeRegister(0, 0x35, 0xA6);
    r.ClickCell(6, 4);  // row 0x30, column 0x05
    QCOMPARE(r.page().lblRegAddr->text(), QString("Reg 0x35"));
    QCOMPARE(r.page().lblRegData->text(), QString("= 0xA6"));
    QCOMPARE(r.Cell(6, 4), QString("A6"));
    for (int i = 0; i < 8; ++i) QCOMPARE(r.page().chkBit[i]->isChecked(), ((0xA6 >> i) & 1) == 1);
    QCOMPARE(r.grid()->item(0, 6)->background().color(), QColor(0xC0, 0xC0, 0xC0));
    QCOMPARE(r.grid()->item(4, 0)->background().color(), QColor(0xC0, 0xC0, 0xC0));
    QVERIFY(r.grid()->item(0, 5)->background().color() != QColor(0xC0, 0xC0, 0xC0));
    QVERIFY(!r.w.link.HasHandle());
  }

  void EnterWritesTheLowByteAndShowsTheReadBack() {
    RegisterWindow r;
    QVERIFY(r.ok);
    r.ClickCell(3, 2);  // register 0x12
    r.TypeIntoCell("1A5");
    QTest::keyClick(r.KeyTarget(), Qt::Key_Return);
    QCOMPARE(r.Reg(0, 0x12), 0xA5);
    QCOMPARE(r.Cell(3, 2), QString("A5"));
    QVERIFY(r.page().chkBit[7]->isChecked());
    QVERIFY(!r.page().chkBit[6]->isChecked());

    // A register the firmware owns keeps its value: the read-back shows it.
    r.w.device->SetStatusRegisters(0x03, 0x00, 0x01);
    r.ClickCell(5, 11);  // 0xA4
    r.TypeIntoCell("77");
    QTest::keyClick(r.KeyTarget(), Qt::Key_Return);
    QCOMPARE(r.Cell(5, 11), QString("03"));
  }

  void BeforeAnySelectionKeysActOnRegisterZero() {
    RegisterWindow r;
    QVERIFY(r.ok);
    r.grid()->setFocus();
    QTest::keyClick(r.grid(), Qt::Key_Insert);
    QCOMPARE(int(r.w.device->CurrentBank()), 1);  // register 0 is the bank select
    QCOMPARE(r.Cell(1, 1), QString("01"));
  }

  void HeadersCanNeitherBeChosenNorEdited() {
    RegisterWindow r;
    QVERIFY(r.ok);
    // Bank 1 selected from the grid: the bank select's shadow entry is 1, so
    // a Delete that reached register 0x00 would select bank 0 again.
    r.grid()->setFocus();
    QTest::keyClick(r.grid(), Qt::Key_Insert);
    QCOMPARE(int(r.w.device->CurrentBank()), 1);
    r.ClickCell(2, 1);  // register 0x01 of bank 1 holds 0x00
    QCOMPARE(r.page().lblRegAddr->text(), QString("Reg 0x01"));

    const auto before = r.w.device->RequestCount();
    r.ClickCell(0, 0);
    QTest::keyClick(r.grid(), Qt::Key_Delete);
    QCOMPARE(r.w.device->RequestCount(), before);
    QCOMPARE(int(r.w.device->CurrentBank()), 1);
    QCOMPARE(r.grid()->currentRow(), 1);
    QCOMPARE(r.grid()->currentColumn(), 2);

    // A click on a row header reads nothing; Insert steps the data cell
    // still current, not a register of that row.
    r.ClickCell(0, 2);
    QCOMPARE(r.w.device->RequestCount(), before);
    QCOMPARE(r.page().lblRegAddr->text(), QString("Reg 0x01"));
    QTest::keyClick(r.grid(), Qt::Key_Insert);
    QCOMPARE(r.Reg(1, 0x01), 1);
    QCOMPARE(r.Reg(1, 0x10), 0);

    // No editor opens on a header, so its text cannot be typed over.
    QTest::mouseDClick(r.grid()->viewport(), Qt::LeftButton, {}, r.CellCentre(5, 0));
    QCOMPARE(QApplication::focusWidget(), r.grid());
    QCOMPARE(r.Cell(5, 0), QString("04"));

    // The cursor keys stop at the first data row and column.
    r.ClickCell(1, 1);
    QTest::keyClick(r.grid(), Qt::Key_Up);
    QTest::keyClick(r.grid(), Qt::Key_Left);
    QCOMPARE(r.grid()->currentRow(), 1);
    QCOMPARE(r.grid()->currentColumn(), 1);
    QCOMPARE(r.Cell(0, 0), QString());
    QCOMPARE(r.Cell(1, 0), QString("00"));
  }

  void InsertAndDeleteStepTheShadowNotTheText() {
    RegisterWindow r;
    QVERIFY(r.ok);
    r.w.device->PokeRegister(0, 0x20, 0xFF);
    r.ClickCell(1, 3);
    const auto before = r.w.device->RequestCount();
    QTest::keyClick(r.grid(), Qt::Key_Insert);
    QCOMPARE(r.w.device->RequestCount(), before);  // Insert at 0xFF sends nothing
    QTest::keyClick(r.grid(), Qt::Key_Delete);
    QCOMPARE(r.Reg(0, 0x20), 0xFE);

    r.w.device->PokeRegister(0, 0x21, 0x00);
    r.ClickCell(2, 3);
    const auto at_zero = r.w.device->RequestCount();
    QTest::keyClick(r.grid(), Qt::Key_Delete);
    QCOMPARE(r.w.device->RequestCount(), at_zero);  // Delete at 0x00 sends nothing

    // Typed but not entered: Insert steps the old value.
    r.w.device->PokeRegister(0, 0x22, 0x10);
    r.ClickCell(3, 3);
    r.TypeIntoCell("50");
    QTest::keyClick(r.KeyTarget(), Qt::Key_Insert);
    QCOMPARE(r.Reg(0, 0x22), 0x11);
  }

  void BadTextShowsTheConversionErrorAndSendsNothing() {
    RegisterWindow r;
    QVERIFY(r.ok);
    r.ClickCell(2, 2);
    const auto before = r.w.device->RequestCount();
    r.TypeIntoCell("x9");
    QTest::keyClick(r.KeyTarget(), Qt::Key_Return);
    QCOMPARE(r.w.dialogs.shown, QStringList{"Error|'0xx9' is not a valid integer value"});
    QCOMPARE(r.w.device->RequestCount(), before);
  }

  void TheRealErrorBoxNamesTheTextWithItsPrefix() {
    // The window with the real message boxes, answered from a timer.
    sim::VirtualClock clock;
    sim::SimDriver driver;
    auto device = std::make_shared<sim::SimDevice>(clock, sim::kSimOrbit,
                                                   *sim::FindFlashModel(sim::kDefaultFlashModel));
    driver.Attach(device);
    NorvaneUsb link(driver);
    QtDialogs dialogs;
    MainWindow form(link, clock, dialogs);
    form.Timer1->stop();
    for (int i = 0; i < 12 && !link.IsPresent(); ++i) form.Timer1Timer();
    QVERIFY(link.IsPresent());
    form.show();
    form.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&form));
    form.SetEngineeringView(true);
    form.MainPageControl->setCurrentWidget(form.TabSheet1);
    QTableWidget* grid = form.RegisterPg->RegStringGrid1;
    grid->setFocus();
    QString box_text;
    QTimer answer;
    answer.setInterval(10);
    connect(&answer, &QTimer::timeout, [&] {
      auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
      if (!box) return;
      box_text = box->text();
      box->button(QMessageBox::Ok)->click();
      answer.stop();
    });
    answer.start();
    const auto before = device->RequestCount();
    QTest::keyClick(grid, Qt::Key_Return);  // the first cell is empty
    QCOMPARE(box_text, QString("'0x' is not a valid integer value"));
    QCOMPARE(device->RequestCount(), before);
  }

  void BitBoxesWriteOnMouseReleaseOnly() {
    RegisterWindow r;
    QVERIFY(r.ok);
    r.ClickCell(9, 1);  // register 0x08
    QTest::mouseClick(r.page().chkBit[4], Qt::LeftButton);
    QTRY_COMPARE(r.Reg(0, 0x08), 0x10);
    QCOMPARE(r.page().lblRegData->text(), QString("= 0x10"));

    const auto before = r.w.device->RequestCount();
    r.page().chkBit[0]->setFocus();
    QTest::keyClick(r.page().chkBit[0], Qt::Key_Space);
    QCoreApplication::processEvents();
    QVERIFY(r.page().chkBit[0]->isChecked());
    QCOMPARE(r.w.device->RequestCount(), before);  // space changes only the box

    QTest::mouseClick(r.page().chkBit[6], Qt::RightButton);
    QTRY_COMPARE(r.Reg(0, 0x08), 0x11);  // a right release writes what the boxes show
  }

  void StopMidPassLeavesLaterCellsUntouched() {
    RegisterWindow r;
    QVERIFY(r.ok);
    for (int reg = 0; reg < 256; ++reg) r.w.device->PokeRegister(0, reg, 0x5A);
    r.w.device->PokeRegister(0, 0, 0);
    int reads = 0;
    bool stopped = false;
    connect(r.grid()->model(), &QAbstractItemModel::dataChanged, [&] {
      if (++reads == 20 && !stopped) {
        stopped = true;
        QTest::mouseClick(r.page().btnReadAll, Qt::LeftButton);
      }
    });
    QTest::mouseClick(r.page().btnReadAll, Qt::LeftButton);
    QVERIFY(stopped);
    QCOMPARE(r.page().btnReadAll->text(), QString("Read Bank"));
    QCOMPARE(r.Cell(2, 1), QString("5A"));
    QCOMPARE(r.Cell(16, 16), QString());
    QCOMPARE(r.Cell(1, 3), QString());
  }

  void ACellChosenDuringTheReadPassLeavesTheRestOfThePassIntact() {
    RegisterWindow r;
    QVERIFY(r.ok);
    for (int reg = 1; reg < 256; ++reg) r.w.device->PokeRegister(0, reg, 0x5A);
    r.w.device->PokeRegister(0, 0x02, 0x81);
    bool clicked = false;
    connect(r.grid()->model(), &QAbstractItemModel::dataChanged, [&] {
      if (!clicked && !r.Cell(1, 3).isEmpty()) {  // register 0x20 is shown
        clicked = true;
        r.ClickCell(3, 1);  // its own transaction, between two of the pass
      }
    });
    QTest::mouseClick(r.page().btnReadAll, Qt::LeftButton);
    QVERIFY(clicked);
    QCOMPARE(r.page().lblRegData->text(), QString("= 0x81"));
    QCOMPARE(r.Cell(2, 3), QString("5A"));
    QCOMPARE(r.Cell(16, 16), QString("5A"));
    QVERIFY(!r.w.link.HasHandle());
  }

  void PageClicksDuringTheUpdateSendNothing() {
    ScratchDirectory scratch;
    RegisterWindow r;
    QVERIFY(r.ok);
    std::ofstream(scratch.Path() / "KORVALEN_ORBIT.hex") << ":0400000001020304F2\n:00000001FF\n";
    r.w.form->Timer1Timer();
    QVERIFY(r.f().Panel->btnSimpleAuto->isEnabled());
    bool clicked = false;
    connect(r.w.form.get(), &MainWindow::ProgressShown, [&](const QString& text) {
      if (text != "Start Programming" || clicked) return;
      clicked = true;
      r.ClickCell(4, 4);
      QTest::keyClick(r.grid(), Qt::Key_Insert);
      QTest::mouseClick(r.page().btnReadAll, Qt::LeftButton);
    });
    QTest::mouseClick(r.f().Panel->btnSimpleAuto, Qt::LeftButton);
    QVERIFY(clicked);
    QCOMPARE(r.f().Panel->lblISPProcStatus->text(), QString("Firmware update success!"));
    QCOMPARE(r.page().lblRegData->text(), QString("= 0x00"));
    for (uint8_t bank : {0, 13}) QCOMPARE(r.Reg(bank, 0x33), 0);
  }
};

QTEST_MAIN(RegisterPageTest)
#include "RegisterPageTest.moc"
