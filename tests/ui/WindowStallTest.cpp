// The window keeps answering through a whole one-click update: a
// zero-interval timer marks every event-loop iteration, and the longest
// stretch of device time (virtual clock, slow requests) between two
// iterations stays under a tenth of a second, on every flash part, also
// when a read never becomes ready and the retry pause follows.
#include <QLabel>
#include <QPushButton>
#include <QTimer>
#include <QtTest>
#include <algorithm>

#include "tests/ui/UiTestSupport.h"

using namespace korvalen;
using namespace korvalen::testing;

namespace {

// Slower than most USB stacks answer a control request.
constexpr uint32_t kSlowRequestUs = 660;
// The slowest a full-speed control request takes.
constexpr uint32_t kSlowestRequestUs = 1000;
constexpr uint64_t kLongestStallUs = 100'000;

struct StallRun {
  uint64_t longest_us = 0;
  QString verdict;
};

StallRun RunAndMeasure(ReadyWindow& r) {
  MainWindow& f = *r.window.form;
  sim::VirtualClock& clock = r.window.clock;
  StallRun run;
  uint64_t last = clock.NowMicros();
  QTimer iteration;
  iteration.setInterval(0);
  QObject::connect(&iteration, &QTimer::timeout, [&] {
    run.longest_us = std::max(run.longest_us, clock.NowMicros() - last);
    last = clock.NowMicros();
  });
  iteration.start();
  QTest::mouseClick(f.Panel->btnSimpleAuto, Qt::LeftButton);  // returns with the verdict
  iteration.stop();
  run.longest_us = std::max(run.longest_us, clock.NowMicros() - last);
  run.verdict = f.Panel->lblISPProcStatus->text();
  return run;
}

}  // namespace

class WindowStallTest : public QObject {
  Q_OBJECT

 private Q_SLOTS:
  void NoStallOnAnyFlashPart() {
    for (const uint32_t latency : {kSlowRequestUs, kSlowestRequestUs}) {
      for (const sim::FlashModel& model : sim::FlashModels()) {
        ReadyWindow r(model.name);
        QVERIFY2(r.ok, model.name);
        r.window.device->timing().request_latency_us = latency;
        const StallRun run = RunAndMeasure(r);
        QCOMPARE(run.verdict, QString("Firmware update success!"));
        QVERIFY2(
            run.longest_us < kLongestStallUs,
            qPrintable(
                QString("%1 at %2 us: %3 us").arg(model.name).arg(latency).arg(run.longest_us)));
      }
    }
  }

  void NoStallWhenAReadIsNeverReadyAndTheAttemptIsRetried() {
    ReadyWindow r;
    QVERIFY(r.ok);
    r.window.device->timing().request_latency_us = kSlowRequestUs;
    // Three reads in a row of one chunk never become ready: the first
    // attempt fails its blank check, the pause follows, the second passes.
    r.window.device->faults().unready_read_address = 0x1000;
    r.window.device->faults().unready_reads = 3;
    QSignalSpy progress(r.window.form.get(), &MainWindow::ProgressShown);
    const StallRun run = RunAndMeasure(r);
    QCOMPARE(run.verdict, QString("Firmware update success!"));
    bool retried = false;
    for (const auto& args : progress) retried |= args.at(0).toString() == "ISP Fail and retry";
    QVERIFY(retried);
    QVERIFY2(run.longest_us < kLongestStallUs, qPrintable(QString("%1 us").arg(run.longest_us)));
  }
};

QTEST_MAIN(WindowStallTest)
#include "WindowStallTest.moc"
