// The Information page through its buttons against the simulated chip:
// the status read-out for each playback state, and the media keys.
#include <QLabel>
#include <QPushButton>
#include <QTabWidget>
#include <QtTest>

#include "sim/FaultSpec.h"
#include "sim/SimPlayback.h"
#include "tests/ui/UiTestSupport.h"
#include "ui/InformationPage.h"

using namespace korvalen;
using namespace korvalen::testing;

namespace {

struct InfoWindow {
  InfoWindow() : w(sim::kSimOrbit) {
    ok = w.Detect();
    w.form->SetEngineeringView(true);
    w.form->MainPageControl->setCurrentWidget(w.form->tabInformation);
  }
  InformationPage& page() { return *w.form->InformationPg; }
  void Update(uint8_t r164, uint8_t r166) {
    w.device->SetStatusRegisters(r164, 0x00, r166);
    QTest::mouseClick(page().btnUpdateStatus, Qt::LeftButton);
  }
  // Texts of the five status labels, a greyed one in brackets.
  QStringList Shown() {
    QStringList texts;
    for (QLabel* label : {page().lblConnect, page().lblMute, page().lblCurrentFormat1,
                          page().lblCurrentFreq1}) {
      texts << (label->isEnabled() ? label->text() : "[" + label->text() + "]");
    }
    return texts;
  }
  SimWindow w;
  bool ok = false;
};

}  // namespace

class InformationPageTest : public QObject {
  Q_OBJECT

 private Q_SLOTS:
  void UpdateShowsEachPlaybackState() {
    InfoWindow r;
    QVERIFY(r.ok);
    r.w.device->PokeRegister(0, 0, 5);  // another bank selected: Update selects bank 0
    r.Update(0x04, 0x01);
    QCOMPARE(r.Shown(), (QStringList{"USB connected", "Playing", "PCM", "176.4KHz"}));
    QVERIFY(r.page().lblCurrentFreq0->isEnabled());
    QCOMPARE(int(r.w.device->CurrentBank()), 0);
    QVERIFY(!r.w.link.HasHandle());

    r.Update(0x01, 0x03);
    QCOMPARE(r.Shown(), (QStringList{"USB connected", "Playing", "DSD", " DoP 128"}));
    r.Update(0x09, 0x03);
    QCOMPARE(r.page().lblCurrentFreq1->text(), QString(" DSD 128"));
    r.Update(0x05, 0x03);
    QCOMPARE(r.page().lblCurrentFreq1->text(), QString("        "));
    r.Update(0x1C, 0x01);
    QCOMPARE(r.page().lblCurrentFreq1->text(), QString("        "));  // PCM code 12
    r.Update(0x12, 0x01);
    QCOMPARE(r.page().lblCurrentFreq1->text(), QString(" 88.2KHz"));  // low four bits

    r.Update(0x03, 0x05);
    QCOMPARE(r.Shown(), (QStringList{"USB connected", "Mute", "[PCM]", "[ 88.2KHz]"}));
    QVERIFY(!r.page().lblCurrentFormat0->isEnabled());

    r.Update(0x00, 0x00);
    QCOMPARE(r.Shown(), (QStringList{"USB Disconnected", "[Mute]", "[PCM]", "[ 88.2KHz]"}));
    QVERIFY(!r.page().lblCurrentFreq0->isEnabled());
    QVERIFY(r.w.dialogs.shown.isEmpty());
  }

  void AGoneDeviceShowsTheLastValuesRead() {
    InfoWindow r;
    QVERIFY(r.ok);
    r.Update(0x03, 0x01);
    r.w.driver.Detach(r.w.device);
    QTest::mouseClick(r.page().btnUpdateStatus, Qt::LeftButton);
    QCOMPARE(r.Shown(), (QStringList{"USB connected", "Playing", "PCM", "   96KHz"}));
    QVERIFY(r.w.dialogs.shown.isEmpty());
  }

  void MediaKeysReachTheFirmware() {
    InfoWindow r;
    QVERIFY(r.ok);
    QStringList captions;
    for (QPushButton* button : r.page().btnHID) {
      captions << button->text();
      QTest::mouseClick(button, Qt::LeftButton);
    }
    QCOMPARE(captions,
             (QStringList{"HID Prev", "HID Vol -", "HID Play", "HID Vol +", "HID Next"}));
    QCOMPARE(r.w.device->mailbox().media_keys,
             (std::vector<uint8_t>{0x40, 0x02, 0x10, 0x01, 0x20}));
    QCOMPARE(int(r.w.device->PeekRegister(0, 144)), 0x31);  // not cleared
  }

  void MediaKeyPollsOnceWhenAnsweredAtOnceAndTenTimesWhenNever() {
    InfoWindow r;
    QVERIFY(r.ok);
    r.w.device->timing().media_key_delay_us = 0;
    auto start = r.w.device->RequestCount();
    QTest::mouseClick(r.page().btnHID[2], Qt::LeftButton);
    // bank select, 145, 144, one poll
    QCOMPARE(r.w.device->RequestCount() - start, 4u);

    sim::ApplyFaultSpecs(sim::ParseFaultSpec("mailbox-silent").specs, *r.w.device);
    start = r.w.device->RequestCount();
    const uint64_t before_us = r.w.clock.NowMicros();
    QTest::mouseClick(r.page().btnHID[0], Qt::LeftButton);
    QCOMPARE(r.w.device->RequestCount() - start, 13u);
    QVERIFY(r.w.clock.NowMicros() - before_us >= 100000);
    QVERIFY(r.w.dialogs.shown.isEmpty());
  }
};

QTEST_MAIN(InformationPageTest)
#include "InformationPageTest.moc"
