#include "ui/LabeledEdit.h"

#include <QHBoxLayout>
#include <QKeyEvent>

namespace korvalen {

LabeledEdit::LabeledEdit(const QString& name, const QString& caption, const QString& text,
                         QWidget* parent)
    : QWidget(parent), caption_(new QLabel(caption, this)), edit_(new QLineEdit(text, this)) {
  setObjectName(name);
  edit_->setObjectName(name + "Edit");
  auto* layout = new QHBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->addWidget(caption_);
  layout->addWidget(edit_, 1);
  edit_->installEventFilter(this);
}

bool LabeledEdit::eventFilter(QObject* watched, QEvent* event) {
  if (watched == edit_ && event->type() == QEvent::KeyPress) {
    const int key = static_cast<QKeyEvent*>(event)->key();
    if (key == Qt::Key_Return || key == Qt::Key_Enter) Q_EMIT EnterPressed();
  }
  return QWidget::eventFilter(watched, event);
}

}  // namespace korvalen
