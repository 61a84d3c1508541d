// The application object of the window's programs. An exception that escapes
// an event handler ends up in notify(), which a try/catch around exec() never
// sees: it is shown in the standard error box and the program ends.
#pragma once

#include <QApplication>

namespace korvalen {

class GuardedApplication : public QApplication {
 public:
  // Exit status of a program ended by an escaped exception.
  static constexpr int kExitAfterError = 1;

  GuardedApplication(int& argc, char** argv) : QApplication(argc, argv) {}

  bool notify(QObject* receiver, QEvent* event) override;

  // Whether an escaped exception has ended the program.
  bool failed() const { return failed_; }

 private:
  void Report(const QString& text);

  bool failed_ = false;
};

}  // namespace korvalen
