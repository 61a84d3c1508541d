// File and folder names outside every legacy code page, through the window:
// the update-file search in such a working directory, Current File on the
// Gen. Bin File page, the ISP page's file box and Read Back's dump. The files
// are made and read with QFile, which names files right on every system, so
// only the window's own conversions are under test.
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QPushButton>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QtTest>

#include "app/DemoFiles.h"
#include "tests/ui/UiTestSupport.h"
#include "ui/GenBinPage.h"

using namespace korvalen;
using namespace korvalen::testing;

namespace {

// A folder and a file name no single-byte code page holds all of.
const QString kWideFolder = QString::fromUtf8("固件-é-Ж");
const QString kWideFile = QString::fromUtf8("固件-é.bin");

QByteArray Bytes(const std::vector<uint8_t>& bytes) {
  return QByteArray(reinterpret_cast<const char*>(bytes.data()),
                    static_cast<qsizetype>(bytes.size()));
}

bool WriteQFile(const QString& path, const QByteArray& bytes) {
  QFile file(path);
  return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

// A scratch directory with the wide-named folder in it, made the current
// directory for the life of the object.
class WideDirectory {
 public:
  WideDirectory() : previous_(QDir::currentPath()) {
    QDir(root_.path()).mkdir(kWideFolder);
    path_ = root_.path() + "/" + kWideFolder;
    ok_ = QDir::setCurrent(path_);
  }
  ~WideDirectory() { QDir::setCurrent(previous_); }
  bool ok() const { return ok_; }
  QString File(const QString& name) const { return path_ + "/" + name; }

 private:
  QTemporaryDir root_;
  QString previous_;
  QString path_;
  bool ok_ = false;
};

bool FlashHolds(const SimWindow& window, const std::vector<uint8_t>& bytes) {
  const auto contents = window.device->flash().contents();
  return std::equal(bytes.begin(), bytes.end(), contents.begin());
}

}  // namespace

class WideNameTest : public QObject {
  Q_OBJECT

 private Q_SLOTS:
  void UpdateFileIsFoundInAWideNamedWorkingDirectory() {
    WideDirectory dir;
    QVERIFY(dir.ok());
    const std::vector<uint8_t> image = demo::MakeDemoImage();
    QVERIFY(WriteQFile(dir.File("KORVALEN_TIDE.hex"), QByteArray::fromStdString(demo::ToIntelHex(image))));
    SimWindow w(sim::kSimTide);
    QVERIFY(w.Detect());
    QCOMPARE(w.form->Panel->lblUpdaeFileStatus->text(),
             QString("Firmware Update file   KORVALEN_TIDE.hex    is Ready!"));
    QTest::mouseClick(w.form->Panel->btnSimpleAuto, Qt::LeftButton);
    QCOMPARE(w.form->Panel->lblISPProcStatus->text(), QString("Firmware update success!"));
    QVERIFY(FlashHolds(w, image));
  }

  void CurrentFileLoadsAWideNamedFileThatStartThenPrograms() {
    WideDirectory dir;
    QVERIFY(dir.ok());
    std::vector<uint8_t> bytes(0x3000);
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(i * 13 + 5);
    const QString chosen = dir.File(kWideFile);
    QVERIFY(WriteQFile(chosen, Bytes(bytes)));
    SimWindow w(sim::kSimTide);
    QVERIFY(w.Detect());
    MainWindow& f = *w.form;
    f.show();
    f.SetEngineeringView(true);
    f.MainPageControl->setCurrentWidget(f.tabGenBinFile);
    w.dialogs.open_path = chosen;
    QTest::mouseClick(f.GenBinPg->CurrentFileBitBtn, Qt::LeftButton);
    QCOMPARE(f.GenBinPg->lblCurrentFilePath->text(), chosen);
    QCOMPARE(f.Panel->lblUpdaeFileStatus->text(),
             QString("Firmware Update file   ") + kWideFile + "    is Ready!");
    QTest::mouseClick(f.Panel->btnSimpleAuto, Qt::LeftButton);
    QCOMPARE(f.Panel->lblISPProcStatus->text(), QString("Firmware update success!"));
    QVERIFY(FlashHolds(w, bytes));
  }

  void IspFileBoxAndReadBackDumpTakeWideNames() {
    WideDirectory dir;
    QVERIFY(dir.ok());
    std::vector<uint8_t> bytes(0x1000, 0x3C);
    const QString chosen = dir.File(kWideFile);
    QVERIFY(WriteQFile(chosen, Bytes(bytes)));
    SimWindow w(sim::kSimTide);
    QVERIFY(w.Detect());
    MainWindow& f = *w.form;
    f.show();
    f.SetEngineeringView(true);
    f.MainPageControl->setCurrentWidget(f.tabISP);
    // Auto reloads the file its box names before it programs.
    f.Panel->cbxReadISPFile->setCurrentText(chosen);
    QTest::mouseClick(f.IspPg->btnUSBISPAuto, Qt::LeftButton);
    QCOMPARE(f.IspPg->lblUSBChecksum->text(), QString("Checksum : 0xC000"));
    QVERIFY(FlashHolds(w, bytes));

    const QString dump = dir.File(QString::fromUtf8("转储-ü.bin"));
    w.dialogs.save_path = dump;
    QTest::mouseClick(f.IspPg->btnEnterISP, Qt::LeftButton);
    QTest::mouseClick(f.IspPg->btnReadBack, Qt::LeftButton);
    QFile written(dump);
    QVERIFY2(written.open(QIODevice::ReadOnly), qPrintable(f.IspPg->lblUSBProcessInfo->text()));
    QCOMPARE(written.size(), qint64{2048} * (16 * 6 + 1));
    QVERIFY(written.readAll().startsWith("0x3C, 0x3C, "));
  }
};

QTEST_MAIN(WideNameTest)
#include "WideNameTest.moc"
