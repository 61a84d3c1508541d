// The dialog seam: every message box and file dialog of the window goes
// through one interface, so tests can answer them without a modal loop.
#pragma once

#include <QString>
#include <optional>

namespace korvalen {

class Dialogs {
 public:
  virtual ~Dialogs() = default;
  // A warning with OK and Cancel; true for OK. Closing the box is Cancel.
  virtual bool AskOkCancel(const QString& title, const QString& text) = 0;
  // A message with an OK button only.
  virtual void Inform(const QString& title, const QString& text) = 0;
  // A message with an OK button only, shown without waiting for the answer:
  // for a box raised while a sequence runs, which must not stall it.
  virtual void Notify(const QString& title, const QString& text) = 0;
  // The standard error box for a value the user typed.
  virtual void ShowError(const QString& text) = 0;
  // The save-file dialog; nullopt when the user cancelled.
  virtual std::optional<QString> AskSaveFile(const QString& filter, const QString& default_suffix) = 0;
  // The open-file dialog for an existing file; nullopt when the user cancelled.
  virtual std::optional<QString> AskOpenFile(const QString& filter, const QString& default_suffix) = 0;
};

// The real boxes and dialogs, without an owner window.
class QtDialogs : public Dialogs {
 public:
  bool AskOkCancel(const QString& title, const QString& text) override;
  void Inform(const QString& title, const QString& text) override;
  void Notify(const QString& title, const QString& text) override;
  void ShowError(const QString& text) override;
  std::optional<QString> AskSaveFile(const QString& filter, const QString& default_suffix) override;
  std::optional<QString> AskOpenFile(const QString& filter, const QString& default_suffix) override;
};

}  // namespace korvalen
