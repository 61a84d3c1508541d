// Answers the message boxes a scripted run meets, the way a person would:
// it waits for the real modal box, remembers what it said and presses one
// of its buttons. Used by the demo's --autostart and by the window tests.
#pragma once

#include <QAbstractButton>
#include <QApplication>
#include <QMessageBox>
#include <QObject>
#include <QStringList>
#include <QTimer>

namespace korvalen {

class BoxAnswerer : public QObject {
 public:
  // Presses `answer` on each box that appears, as long as the object lives.
  // Boxes that have no such button get their escape button instead.
  explicit BoxAnswerer(QMessageBox::StandardButton answer, QObject* parent = nullptr)
      : QObject(parent), answer_(answer) {
    timer_.setInterval(kPollMs);
    QObject::connect(&timer_, &QTimer::timeout, this, [this] { Poll(); });
    timer_.start();
  }

  void SetAnswer(QMessageBox::StandardButton answer) { answer_ = answer; }
  // "title|text" of every box answered, in order.
  const QStringList& shown() const { return shown_; }

 private:
  static constexpr int kPollMs = 5;

  void Poll() {
    auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
    if (box == nullptr) {
      // A box shown without a modal loop of its own (open()) is no active
      // modal widget; find it among the top-level widgets.
      for (QWidget* widget : QApplication::topLevelWidgets()) {
        auto* candidate = qobject_cast<QMessageBox*>(widget);
        if (candidate != nullptr && candidate->isVisible()) box = candidate;
      }
    }
    if (box == nullptr || box->property(kAnsweredKey).toBool()) return;
    box->setProperty(kAnsweredKey, true);
    shown_ << box->windowTitle() + "|" + box->text();
    QAbstractButton* button = box->button(answer_);
    if (button == nullptr) button = box->escapeButton();
    if (button != nullptr) {
      button->click();
    } else {
      box->close();
    }
  }

  static constexpr const char* kAnsweredKey = "korvalenAnswered";
  QMessageBox::StandardButton answer_;
  QTimer timer_;
  QStringList shown_;
};

}  // namespace korvalen
