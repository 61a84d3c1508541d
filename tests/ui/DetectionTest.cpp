// The window's start-up state, the device detection and the update file it
// loads, driven tick by tick against simulated devices.
#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QTableWidget>
#include <QLabel>
#include <QPushButton>
#include <QTabWidget>
#include <QTimer>
#include <QtTest>
#include <fstream>

#include "app/DemoFiles.h"
#include "tests/ui/UiTestSupport.h"
#include "ui/LabeledEdit.h"

using namespace korvalen;
using namespace korvalen::testing;

namespace {

// A driver whose interface list the test sets; it refuses every request.
class ListDriver : public Driver {
 public:
  std::vector<std::string> paths;
  std::optional<std::vector<std::string>> EnumerateInterfaces(const Guid&) override {
    return paths;
  }
  DriverHandle OpenPath(const std::string&) override { return 1; }
  void CloseHandle(DriverHandle) override {}
  bool IoControl(DriverHandle, uint32_t, std::span<const uint8_t>, std::span<uint8_t>) override {
    return false;
  }
};

void WriteFile(const std::filesystem::path& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

std::string HexOf(size_t size, uint8_t seed) {
  std::vector<uint8_t> image(size);
  for (size_t i = 0; i < size; ++i) image[i] = static_cast<uint8_t>(seed + i);
  return demo::ToIntelHex(image);
}

}  // namespace

class DetectionTest : public QObject {
  Q_OBJECT

 private Q_SLOTS:
  void StartUpShowsTheCompactUpdater() {
    SimWindow w(sim::kSimOrbit);
    MainWindow& f = *w.form;
    QCOMPARE(f.windowTitle(), QString("KORVALEN Firmware Update Tool V1.2"));
    QCOMPARE(f.Panel->lblDetectDevice->text(), QString("No device is available"));
    QCOMPARE(f.Panel->lblUpdaeFileStatus->text(), QString("No Updated File !"));
    QCOMPARE(f.Panel->lblISPProcStatus->text(), QString());
    QCOMPARE(f.Panel->btnSimpleAuto->text(), QString("Start"));
    QVERIFY(!f.Panel->btnSimpleAuto->isEnabled());
    QCOMPARE(f.Panel->btnSimpleAuto->pos(), QPoint(424, 0));
    QCOMPARE(f.Panel->pnlUSBExist->pos(), QPoint(20, 8));
    QCOMPARE(f.Panel->pnlUSB->size(), QSize(606, 120));  // spans the window
    QCOMPARE(f.size(), QSize(606, 200));
    QVERIFY(f.MainPageControl->isHidden());
    for (QWidget* hidden : std::initializer_list<QWidget*>{
             f.Panel->lblFWVer, f.Panel->chkDetectUSB, f.Panel->lbledtVID, f.Panel->lbledtPID, f.Panel->USBLoadFileBitBtn,
             f.Panel->cbxReadISPFile, f.Panel->Image1, f.IspPg->gbxISPRange, f.IspPg->chkISPMode, f.IspPg->GroupBox1}) {
      QVERIFY2(hidden->isHidden(), qPrintable(hidden->objectName()));
    }
    QVERIFY(!f.IspPg->gbxFlashCMD->isHidden());
    QVERIFY(f.Panel->chkDetectUSB->isChecked());
    QVERIFY(f.DetectEnabled);
    QVERIFY(!f.Panel->lbledtVID->isEnabled());
    QCOMPARE(f.Panel->lbledtPID->text(), QString("f800"));
    QVERIFY(f.IspPg->chkISPMode->isChecked());
    QVERIFY(!f.IspPg->chkProtect->isChecked());
    QCOMPARE(f.IspPg->lbledISPStart->text(), QString("64"));
    QCOMPARE(f.Timer1->interval(), 1000);
    QCOMPARE(f.RegisterPg->RegStringGrid1->item(0, 16)->text(), QString("0F"));
    QCOMPARE(f.I2cPg->StringGridMIIC->item(16, 0)->text(), QString("F0"));
    QCOMPARE(f.Images().Image->length, 0u);
    QCOMPARE(w.device->RequestCount(), 0u);
  }

  void SearchAlternatesModelRowsAndUpdateIds() {
    SimWindow w(sim::kSimOrbit);
    const std::pair<const char*, int> expected[] = {
        {"vid_5e1a&pid_f071", 1000}, {"vid_5e1a&pid_6000", 100}, {"vid_5e1a&pid_f072", 100},
        {"vid_0c3d&pid_6000", 100},  {"vid_5e1a&pid_f0f0", 100}, {"vid_5e1a&pid_6000", 100},
        {"vid_5e1a&pid_f0f1", 100},  {"vid_0c3d&pid_6000", 100}, {"vid_5e1a&pid_f070", 100},
        {"vid_5e1a&pid_6000", 100},  {"vid_5e1a&pid_f071", 100}};
    for (const auto& [id, interval] : expected) {
      w.form->Timer1Timer();
      QCOMPARE(QString(w.link.DeviceId()), QString(id));
      QCOMPARE(w.form->Timer1->interval(), interval);
      QVERIFY(!w.link.IsPresent());
    }
  }

  void ModelFoundLoadsItsFileOnce() {
    ScratchDirectory scratch;
    WriteFile(scratch.Path() / "KORVALEN_TIDE.hex", HexOf(0x1000, 1));
    WriteFile(scratch.Path() / "KORVALEN_TIDE.bin", std::string(0x2000, '\x22'));
    SimWindow w(sim::kSimTide);
    QVERIFY(w.Detect());
    MainWindow& f = *w.form;
    QCOMPARE(f.Panel->lblDetectDevice->text(), QString("Find Device KORVALEN TIDE"));
    QCOMPARE(f.Panel->lblUpdaeFileStatus->text(),
             QString("Firmware Update file   KORVALEN_TIDE.hex    is Ready!"));
    QCOMPARE(f.StatusSquareColour(), QColor(0, 255, 0));
    QVERIFY(f.Panel->btnSimpleAuto->isEnabled());
    QCOMPARE(f.Images().Image->length, 0x1000u);
    QCOMPARE(int(f.Images().Image->bytes[5]), 6);

    // While the device stays, the file is not read again.
    WriteFile(scratch.Path() / "KORVALEN_TIDE.hex", HexOf(0x800, 9));
    f.Timer1Timer();
    f.Timer1Timer();
    QCOMPARE(f.Timer1->interval(), 1000);
    QCOMPARE(f.Images().Image->length, 0x1000u);
  }

  void UpdateIdentity5E1ALoadsRowZerosFileOnEveryTick() {
    ScratchDirectory scratch;
    WriteFile(scratch.Path() / "KORVALEN_ORBIT.bin", std::string(0x100, '\x10'));
    SimWindow w(sim::kSimUpdate5E1A);
    QVERIFY(w.Detect());
    MainWindow& f = *w.form;
    QCOMPARE(f.Panel->lblDetectDevice->text(), QString("Firmware update device 5E1A is exist"));
    QCOMPARE(f.Detection().model_row(), 0);
    QVERIFY(f.Panel->btnSimpleAuto->isEnabled());
    std::filesystem::remove(scratch.Path() / "KORVALEN_ORBIT.bin");
    f.Timer1Timer();
    QCOMPARE(f.Panel->lblUpdaeFileStatus->text(), QString("No Updated File !"));
    QVERIFY(!f.Panel->btnSimpleAuto->isEnabled());
  }

  void UpdateIdentity0C3DLoadsNoFile() {
    ScratchDirectory scratch;
    WriteFile(scratch.Path() / "KORVALEN_ORBIT.bin", std::string(0x100, '\x10'));
    SimWindow w(sim::kSimUpdate0C3D);
    QVERIFY(w.Detect());
    QCOMPARE(w.form->Panel->lblDetectDevice->text(), QString("Firmware update device 0C3D is exist"));
    QCOMPARE(w.form->Panel->lblUpdaeFileStatus->text(), QString("No Updated File !"));
    QVERIFY(!w.form->Panel->btnSimpleAuto->isEnabled());
    QCOMPARE(w.form->Images().Image->length, 0u);
  }

  void RemovedDeviceIsNoticedAndTheNextOneLoadsAgain() {
    ScratchDirectory scratch;
    WriteFile(scratch.Path() / "KORVALEN_TIDE.bin", std::string(0x100, '\x10'));
    SimWindow w(sim::kSimTide);
    QVERIFY(w.Detect());
    MainWindow& f = *w.form;
    w.driver.Detach(w.device);
    f.Timer1Timer();
    QVERIFY(!w.link.IsPresent());
    QCOMPARE(f.Panel->lblDetectDevice->text(), QString("No device is available"));
    QVERIFY(!f.Panel->btnSimpleAuto->isEnabled());
    QVERIFY(f.Detection().file_found());
    f.Timer1Timer();
    QVERIFY(!f.Detection().file_found());
    QCOMPARE(f.Panel->lblUpdaeFileStatus->text(), QString("No Updated File !"));
  }

  void InvalidUpdateFileNeverEnablesStart() {
    ScratchDirectory scratch;
    std::string hex = HexOf(0x40, 3);
    hex[12] = 'G';  // not a hexadecimal digit in the first record
    WriteFile(scratch.Path() / "KORVALEN_TIDE.hex", hex);
    SimWindow w(sim::kSimTide);
    QVERIFY(w.Detect());
    MainWindow& f = *w.form;
    QVERIFY(f.Panel->lblUpdaeFileStatus->text().startsWith("Invalid update file: "));
    QVERIFY2(f.Panel->lblUpdaeFileStatus->text().contains("KORVALEN_TIDE.hex"),
             qPrintable(f.Panel->lblUpdaeFileStatus->text()));
    QVERIFY(!f.Panel->btnSimpleAuto->isEnabled());
    QVERIFY(f.StatusSquareColour() != QColor(0, 255, 0));
    QVERIFY(!f.Detection().file_found());
  }

  void MatchingIsCaseSensitive() {
    ListDriver driver;
    driver.paths = {"\\\\?\\USB#VID_5E1A&PID_F071#1#{50894FA4}"};
    sim::VirtualClock clock;
    ScriptedDialogs dialogs;
    NorvaneUsb link(driver);
    MainWindow form(link, clock, dialogs);
    form.Timer1->stop();
    form.Timer1Timer();
    QCOMPARE(QString(link.DeviceId()), QString("vid_5e1a&pid_f071"));
    QVERIFY(!link.IsPresent());
    QCOMPARE(form.Panel->lblDetectDevice->text(), QString("No device is available"));
  }

  void UntickedDetectionStopsAndGreysTheSquare() {
    SimWindow w(sim::kSimTide);
    w.driver.Attach(w.device);
    w.form->Panel->chkDetectUSB->setChecked(false);
    QVERIFY(!w.form->DetectEnabled);
    QCOMPARE(w.form->StatusSquareColour(), QColor(128, 128, 128));
    const auto requests = w.device->RequestCount();
    for (int i = 0; i < 5; ++i) w.form->Timer1Timer();
    QCOMPARE(w.device->RequestCount(), requests);
    QCOMPARE(QString(w.link.DeviceId()), QString("vid_0c3d&pid_6000"));
  }

  void ReadProgramFileKeepsOneHistoryEntryPerPath() {
    ScratchDirectory scratch;
    WriteFile(scratch.Path() / "image.bin", std::string(0x8000, '\xFF'));
    SimWindow w(sim::kSimTide);
    MainWindow& f = *w.form;
    f.Images().ProgramFilePath = (scratch.Path() / "image.bin").string();
    f.IspPg->ReadProgramFile();
    f.IspPg->ReadProgramFile();
    QCOMPARE(f.Panel->cbxReadISPFile->count(), 1);
    QCOMPARE(f.IspPg->lblUSBChecksum->text(), QString("Checksum : 0x8000"));
    QVERIFY(f.Images().ProgramFileReady);

    f.Images().ProgramFilePath.clear();
    f.IspPg->ReadProgramFile();
    QCOMPARE(w.dialogs.shown.last(), QString("Dialog|Program File Not Ready !!    "));
    QVERIFY(!f.Images().ProgramFileReady);
  }
};

QTEST_MAIN(DetectionTest)
#include "DetectionTest.moc"
