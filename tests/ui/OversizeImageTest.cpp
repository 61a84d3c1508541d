// An update file larger than the device's flash, through the window: Start
// is clicked, the warning answered, and the refusal shows on the progress
// line while the flash keeps what it held.
#include <QLabel>
#include <QPushButton>
#include <QSignalSpy>
#include <QtTest>
#include <fstream>

#include "app/DemoFiles.h"
#include "tests/ui/UiTestSupport.h"

using namespace korvalen;
using namespace korvalen::testing;

class OversizeImageTest : public QObject {
  Q_OBJECT

 private Q_SLOTS:
  void StartRefusesAnImageLargerThanTheFlash() {
    ScratchDirectory scratch;
    std::vector<uint8_t> image(256 * 1024);
    for (size_t i = 0; i < image.size(); ++i) image[i] = static_cast<uint8_t>(i * 13 + 1);
    std::ofstream(scratch.Path() / "KORVALEN_ORBIT_Mini.hex", std::ios::binary)
        << demo::ToIntelHex(image);
    SimWindow window(sim::kSimOrbitMini, sim::kFlashMx25l1021e);  // a 128 KiB part
    window.device->flash().Fill(0x5A);
    QVERIFY(window.Detect());
    MainWindow& f = *window.form;
    QVERIFY(f.Panel->btnSimpleAuto->isEnabled());

    QSignalSpy progress(&f, &MainWindow::ProgressShown);
    QTest::mouseClick(f.Panel->btnSimpleAuto, Qt::LeftButton);

    const QString refusal =
        "Firmware update Fail! The update file (262144 bytes) does not fit the flash "
        "(131072 bytes).";
    QCOMPARE(f.Panel->lblISPProcStatus->text(), refusal);
    QCOMPARE(progress.last().at(0).toString(), refusal);
    for (const auto& args : progress) QVERIFY(!args.at(0).toString().startsWith("Flash Erase"));
    QCOMPARE(f.Panel->lblISPProcStatus->palette().color(QPalette::WindowText), QColor(Qt::red));
    QCOMPARE(f.Panel->btnSimpleAuto->text(), QString("Finish"));
    QVERIFY(!f.Panel->btnSimpleAuto->isEnabled());
    const auto contents = window.device->flash().contents();
    QVERIFY(std::all_of(contents.begin(), contents.end(), [](uint8_t b) { return b == 0x5A; }));
    QCOMPARE(window.device->flash().stats().chip_erases, 0u);
    QVERIFY(!window.device->IspMode());
  }
};

QTEST_MAIN(OversizeImageTest)
#include "OversizeImageTest.moc"
