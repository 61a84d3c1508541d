// The Gen. Bin File page through real clicks, with the open and save dialogs
// answered by the script: the marker search, the controls it unlocks, and
// what a loaded file and Save do to the image that Start programs.
#include <QGroupBox>
#include <QLabel>
#include <QPushButton>
#include <QTabWidget>
#include <QtTest>
#include <cstring>

#include "tests/ui/UiTestSupport.h"
#include "ui/GenBinPage.h"

using namespace korvalen;
using namespace korvalen::testing;

namespace {

const char kOpenFilter[] = "Open|Hex File (*.hex *.h00);;Binary File (*.bin)";

std::vector<uint8_t> ImageWith(size_t size, uint32_t at, std::string_view text) {
  std::vector<uint8_t> bytes(size);
  for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<uint8_t>(i * 7 + 3);
  std::memcpy(bytes.data() + at, text.data(), text.size());
  return bytes;
}

// A detected model with its update file loaded, the page in view.
struct GenBinWindow {
  GenBinWindow() {
    MainWindow& f = *ready.window.form;
    f.show();
    f.SetEngineeringView(true);
    f.MainPageControl->setCurrentWidget(f.tabGenBinFile);
    ok = ready.ok && f.GenBinPg != nullptr &&
         f.MainPageControl->isTabEnabled(f.MainPageControl->indexOf(f.tabGenBinFile));
  }
  GenBinPage& page() { return *ready.window.form->GenBinPg; }
  MainWindow& form() { return *ready.window.form; }
  std::filesystem::path Write(const std::string& name, const std::vector<uint8_t>& bytes) {
    const auto path = ready.scratch.Path() / name;
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    return path;
  }
  // Current File, answering the open dialog with path.
  void Open(const std::filesystem::path& path) {
    ready.window.dialogs.open_path = QString::fromStdString(path.string());
    QTest::mouseClick(page().CurrentFileBitBtn, Qt::LeftButton);
  }
  void Click(QWidget* control) { QTest::mouseClick(control, Qt::LeftButton); }
  bool FlashHolds(const std::vector<uint8_t>& bytes) {
    const auto contents = ready.window.device->flash().contents();
    return std::equal(bytes.begin(), bytes.end(), contents.begin());
  }

  ReadyWindow ready;
  bool ok = false;
};

}  // namespace

class GenBinPageTest : public QObject {
  Q_OBJECT

 private Q_SLOTS:
  void MarkerFoundUnlocksTheGroupAndNewFile() {
    GenBinWindow w;
    QVERIFY(w.ok);
    GenBinPage& p = w.page();
    QVERIFY(!p.btnCheck->isEnabled());
    QVERIFY(!p.GroupBox9->isEnabled());
    QVERIFY(!p.btnSaveBitBin->isEnabled());
    QVERIFY(!p.btnSaveBin->isEnabled());
    const auto path = w.Write("marked.bin", ImageWith(0x2000, 0x1234, "NVUSB_Table01"));
    w.Open(path);
    QCOMPARE(w.ready.window.dialogs.shown.last(), QString(kOpenFilter));
    QCOMPARE(p.lblStatusReport->text(), QString("Load file ready"));
    QCOMPARE(p.lblCurrentFilePath->text(), QString::fromStdString(path.string()));
    QVERIFY(p.btnCheck->isEnabled());
    QVERIFY(p.GroupBox9->isEnabled());
    QVERIFY(p.btnSaveBitBin->isEnabled());
    QCOMPARE(w.form().Images().ModifyImage->length, 0x2000u);
    QCOMPARE(w.form().Images().ModifyImage->bytes[0x1234], uint8_t{'N'});
  }

  void TenCharactersCountNineDoNotAndUnlockedStaysUnlocked() {
    GenBinWindow w;
    QVERIFY(w.ok);
    GenBinPage& p = w.page();
    w.Open(w.Write("nine.bin", ImageWith(0x400, 0x80, "NVUSB_Tab!")));
    QCOMPARE(p.lblStatusReport->text(), QString("Load file is invalid for modify"));
    QVERIFY(p.btnCheck->isEnabled());
    QVERIFY(!p.GroupBox9->isEnabled());
    w.Open(w.Write("ten.bin", ImageWith(0x400, 0x80, "NVUSB_Tabl!")));
    QCOMPARE(p.lblStatusReport->text(), QString("Load file ready"));
    w.Open(w.Write("nine.bin", ImageWith(0x400, 0x80, "NVUSB_Tab!")));
    QCOMPARE(p.lblStatusReport->text(), QString("Load file is invalid for modify"));
    QVERIFY(p.GroupBox9->isEnabled());
    QVERIFY(p.btnSaveBitBin->isEnabled());
  }

  void MarkerNearTheEndOfAFullImageIsNotReadPastIt() {
    GenBinWindow w;
    QVERIFY(w.ok);
    w.Open(w.Write("full.bin", ImageWith(0x40000, 0x40000 - 5, "NVUSB")));
    QCOMPARE(w.page().lblStatusReport->text(), QString("Load file is invalid for modify"));
    QCOMPARE(w.form().Images().ModifyImage->length, 0x40000u);
  }

  void EmptyFileIsRefusedAndStartStaysOff() {
    GenBinWindow w;
    QVERIFY(w.ok);
    QVERIFY(w.form().Panel->btnSimpleAuto->isEnabled());
    w.Open(w.Write("empty.bin", {}));
    QCOMPARE(w.page().lblStatusReport->text(), QString("Load file is invalid for modify"));
    QVERIFY(!w.page().lblModifyFileNote->text().isEmpty());
    QVERIFY(w.form().Panel->lblUpdaeFileStatus->text().startsWith("Invalid update file: "));
    QVERIFY(!w.form().Panel->btnSimpleAuto->isEnabled());
    // Detection keeps the refusal in place while the device stays.
    w.form().Timer1Timer();
    QVERIFY(!w.form().Panel->btnSimpleAuto->isEnabled());
    QVERIFY(w.form().Panel->lblUpdaeFileStatus->text().startsWith("Invalid update file: "));
  }

  void LoadedFileIsWhatStartProgramsAndTheFileLineSaysSo() {
    GenBinWindow w;
    QVERIFY(w.ok);
    const auto bytes = ImageWith(0x3000, 0x1234, "NVUSB_Table01");
    w.Open(w.Write("modify.bin", bytes));
    QCOMPARE(w.form().Panel->lblUpdaeFileStatus->text(),
             QString("Firmware Update file   modify.bin    is Ready!"));
    QVERIFY(w.form().Panel->btnSimpleAuto->isEnabled());
    w.form().Timer1Timer();  // the model's file is not loaded over it
    QCOMPARE(w.form().Panel->lblUpdaeFileStatus->text(),
             QString("Firmware Update file   modify.bin    is Ready!"));
    w.Click(w.form().Panel->btnSimpleAuto);
    QCOMPARE(w.form().Panel->lblISPProcStatus->text(), QString("Firmware update success!"));
    QVERIFY(w.FlashHolds(bytes));
  }

  void UnknownTypeLoadsNothingAndKeepsTheUpdateFile() {
    GenBinWindow w;
    QVERIFY(w.ok);
    const QString line = w.form().Panel->lblUpdaeFileStatus->text();
    w.Open(w.Write("notes.txt", ImageWith(0x100, 0x10, "NVUSB_Table01")));
    QCOMPARE(w.page().lblStatusReport->text(), QString("Load file is invalid for modify"));
    QCOMPARE(w.form().Panel->lblUpdaeFileStatus->text(), line);
    QVERIFY(w.form().Panel->btnSimpleAuto->isEnabled());
    w.Click(w.form().Panel->btnSimpleAuto);
    QVERIFY(w.ready.FlashHoldsImage());
  }

  void SaveNeverChangesTheImageAnUpdatePrograms() {
    GenBinWindow w;
    QVERIFY(w.ok);
    // The ISP page's Save after the model's file was loaded.
    w.form().MainPageControl->setCurrentWidget(w.form().tabISP);
    w.Click(w.form().IspPg->Button1);
    w.form().MainPageControl->setCurrentWidget(w.form().tabGenBinFile);
    // The page's Save after Current File and New File.
    const auto bytes = ImageWith(0x9000, 0x20, "NVUSB_Table01");
    w.Open(w.Write("modify.bin", bytes));
    w.ready.window.dialogs.save_path = QString::fromStdString((w.ready.scratch.Path() / "new.bin").string());
    w.Click(w.page().btnSaveBitBin);
    QVERIFY(w.page().btnSaveBin->isEnabled());
    QCOMPARE(w.page().lblSaveBinPath->text(), *w.ready.window.dialogs.save_path);
    QVERIFY(!std::filesystem::exists(w.ready.scratch.Path() / "new.bin"));
    w.Click(w.page().btnSaveBin);
    // The working copy takes the default block; the update's image does not.
    QCOMPARE(w.form().Images().ModifyImage->bytes[0x20], uint8_t{0xFF});
    QCOMPARE(w.form().Images().ModifyImage->length, 0x9000u);
    QCOMPARE(w.form().Images().Image->bytes[0x20], uint8_t{'N'});
    w.Click(w.form().Panel->btnSimpleAuto);
    QCOMPARE(w.form().Panel->lblISPProcStatus->text(), QString("Firmware update success!"));
    QVERIFY(w.FlashHolds(bytes));
  }

  void SaveOnTheIspPageKeepsTheModelsFile() {
    GenBinWindow w;
    QVERIFY(w.ok);
    w.form().MainPageControl->setCurrentWidget(w.form().tabISP);
    w.Click(w.form().IspPg->Button1);
    w.Click(w.form().Panel->btnSimpleAuto);
    QVERIFY(w.ready.FlashHoldsImage());
  }

  void CancelledDialogsChangeNothing() {
    GenBinWindow w;
    QVERIFY(w.ok);
    w.ready.window.dialogs.open_path.reset();
    w.Click(w.page().CurrentFileBitBtn);
    QCOMPARE(w.page().lblCurrentFilePath->text(), QString("..."));
    QVERIFY(!w.page().btnCheck->isEnabled());
    QVERIFY(w.form().Images().ModifyFilePath.empty());
    w.Open(w.Write("marked.bin", ImageWith(0x100, 0, "NVUSB_Table01")));
    w.ready.window.dialogs.save_path.reset();
    w.Click(w.page().btnSaveBitBin);
    QCOMPARE(w.page().lblSaveBinPath->text(), QString("..."));
    QVERIFY(!w.page().btnSaveBin->isEnabled());
  }

  void CheckSearchesTheWorkingCopyAgain() {
    GenBinWindow w;
    QVERIFY(w.ok);
    GenBinPage& p = w.page();
    w.Open(w.Write("plain.bin", ImageWith(0x100, 0, "")));
    QVERIFY(!p.GroupBox9->isEnabled());
    p.lblSaveDone->setText("saved");
    w.Click(p.btnCheck);
    QCOMPARE(p.lblSaveDone->text(), QString());
    QVERIFY(!p.GroupBox9->isEnabled());
    QCOMPARE(p.lblStatusReport->text(), QString("Load file is invalid for modify"));
  }
};

QTEST_MAIN(GenBinPageTest)
#include "GenBinPageTest.moc"
