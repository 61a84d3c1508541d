// An exception that escapes an event handler reaches the standard error box
// and ends the program with a failure status, instead of being lost in the
// event loop or taking the process down without a word. The handler is a
// posted event's: a mouse event unwound half-way through the toolkit's own
// delivery would leave the toolkit's bookkeeping behind, which the leak
// checker rightly reports.
#include <QEvent>
#include <QTimer>
#include <QtTest>
#include <cstdio>
#include <stdexcept>

#include "app/BoxAnswerer.h"
#include "ui/GuardedApplication.h"

using korvalen::BoxAnswerer;
using korvalen::GuardedApplication;

namespace {

class ThrowingHandler : public QObject {
 public:
  int handled = 0;
  bool event(QEvent* event) override {
    if (event->type() != QEvent::User) return QObject::event(event);
    ++handled;
    throw std::runtime_error("the handler failed");
  }
};

}  // namespace

int main(int argc, char** argv) {
  GuardedApplication app(argc, argv);
  app.setApplicationName("KORVALEN");
  BoxAnswerer answerer(QMessageBox::Ok);
  ThrowingHandler handler;
  // A second failure while the first is reported shows no second box.
  QCoreApplication::postEvent(&handler, new QEvent(QEvent::User));
  QCoreApplication::postEvent(&handler, new QEvent(QEvent::User));
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
  check(handler.handled >= 1, "the event reached the handler");
  check(answerer.shown() == QStringList{"KORVALEN|the handler failed"},
        "exactly one error box with the exception's text");
  if (ok) std::printf("PASS: escaped exception reported and the program ended\n");
  return ok ? 0 : 1;
}
