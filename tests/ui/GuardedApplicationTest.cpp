// An exception that escapes a click handler reaches the standard error box
// and ends the program with a failure status, instead of being lost in the
// event loop or taking the process down without a word.
#include <QPushButton>
#include <QTimer>
#include <QtTest>
#include <cstdio>
#include <stdexcept>

#include "app/BoxAnswerer.h"
#include "ui/GuardedApplication.h"

using korvalen::BoxAnswerer;
using korvalen::GuardedApplication;

int main(int argc, char** argv) {
  GuardedApplication app(argc, argv);
  app.setApplicationName("KORVALEN");
  BoxAnswerer answerer(QMessageBox::Ok);
  QPushButton button("Throw");
  button.show();
  int clicks = 0;
  QObject::connect(&button, &QPushButton::clicked, [&clicks] {
    ++clicks;
    throw std::runtime_error("the handler failed");
  });
  QTimer::singleShot(0, &button, [&button] { QTest::mouseClick(&button, Qt::LeftButton); });
  // A second failure while the first is reported shows no second box.
  QTimer::singleShot(0, &button, [&button] { QTest::mouseClick(&button, Qt::LeftButton); });
  QTimer::singleShot(20000, &app, [] {
    std::fprintf(stderr, "FAIL: the program did not end after the error\n");
    QCoreApplication::exit(99);
  });
  const int status = app.exec();

  bool ok = true;
  auto check = [&ok](bool condition, const char* what) {
    if (!condition) std::fprintf(stderr, "FAIL: %s\n", what);
    ok = ok && condition;
  };
  check(status == GuardedApplication::kExitAfterError, "exit status is the failure status");
  check(app.failed(), "the application knows it failed");
  check(clicks >= 1, "the click reached the handler");
  check(answerer.shown() == QStringList{"KORVALEN|the handler failed"},
        "exactly one error box with the exception's text");
  if (ok) std::printf("PASS: escaped exception reported and the program ended\n");
  return ok ? 0 : 1;
}
