#include "ui/Dialogs.h"

#include <QApplication>
#include <QFileDialog>
#include <QMessageBox>

namespace korvalen {

bool QtDialogs::AskOkCancel(const QString& title, const QString& text) {
  return QMessageBox::warning(nullptr, title, text, QMessageBox::Ok | QMessageBox::Cancel,
                              QMessageBox::Cancel) == QMessageBox::Ok;
}

void QtDialogs::Inform(const QString& title, const QString& text) {
  QMessageBox::information(nullptr, title, text, QMessageBox::Ok);
}

void QtDialogs::Notify(const QString& title, const QString& text) {
  auto* box = new QMessageBox(QMessageBox::Information, title, text, QMessageBox::Ok);
  box->setAttribute(Qt::WA_DeleteOnClose);
  box->open();
}

void QtDialogs::ShowError(const QString& text) {
  QMessageBox::critical(nullptr, QApplication::applicationName(), text, QMessageBox::Ok);
}

std::optional<QString> QtDialogs::AskSaveFile(const QString& filter,
                                              const QString& default_suffix) {
  QFileDialog dialog(nullptr, QString(), QString(), filter);
  dialog.setAcceptMode(QFileDialog::AcceptSave);
  dialog.setDefaultSuffix(default_suffix);
  if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return std::nullopt;
  return dialog.selectedFiles().front();
}

std::optional<QString> QtDialogs::AskOpenFile(const QString& filter,
                                              const QString& default_suffix) {
  QFileDialog dialog(nullptr, QString(), QString(), filter);
  dialog.setAcceptMode(QFileDialog::AcceptOpen);
  dialog.setFileMode(QFileDialog::ExistingFile);
  dialog.setDefaultSuffix(default_suffix);
  if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return std::nullopt;
  return dialog.selectedFiles().front();
}

}  // namespace korvalen
