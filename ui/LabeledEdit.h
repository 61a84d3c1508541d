// An edit with its caption label in front, the window's labelled edit.
#pragma once

#include <QLabel>
#include <QLineEdit>
#include <QWidget>

namespace korvalen {

class LabeledEdit : public QWidget {
  Q_OBJECT

 public:
  LabeledEdit(const QString& name, const QString& caption, const QString& text,
              QWidget* parent);

  QString text() const { return edit_->text(); }
  void setText(const QString& text) { edit_->setText(text); }
  QLineEdit* Edit() const { return edit_; }
  QLabel* Caption() const { return caption_; }

 Q_SIGNALS:
  // The Enter key was pressed in the edit.
  void EnterPressed();

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  QLabel* caption_;
  QLineEdit* edit_;
};

}  // namespace korvalen
