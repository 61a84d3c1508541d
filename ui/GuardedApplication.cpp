#include "ui/GuardedApplication.h"

#include <QMessageBox>
#include <exception>

namespace korvalen {

bool GuardedApplication::notify(QObject* receiver, QEvent* event) {
  try {
    return QApplication::notify(receiver, event);
  } catch (const std::exception& error) {
    Report(QString::fromUtf8(error.what()));
  } catch (...) {
    Report("Unknown error");
  }
  return false;
}

void GuardedApplication::Report(const QString& text) {
  // Only the first one is shown: the box's own loop may meet more of them.
  if (failed_) return;
  failed_ = true;
  QMessageBox::critical(nullptr, applicationName(), text, QMessageBox::Ok);
  exit(kExitAfterError);
}

}  // namespace korvalen
