// The compact updater's panel: the status square, the device line, the file
// line, Start, the progress line with its bar, and the notice below it;
// with the developer controls start-up hides. The main window owns it and
// says what it shows; the panel keeps how it is shown.
#pragma once

#include <QColor>
#include <QString>

class QCheckBox;
class QComboBox;
class QFrame;
class QLabel;
class QProgressBar;
class QPushButton;
class QWidget;

namespace korvalen {

class LabeledEdit;

// Sizes a label to its text, as the window's labels do after every change.
void FitLabelToText(QLabel* label);

// Resolution of the update's progress bar.
inline constexpr int kProgressSteps = 1000;

class TopPanel {
 public:
  // Builds the panel's controls into the window.
  explicit TopPanel(QWidget* window);

  QFrame* pnlUSB = nullptr;
  QLabel* lblDetectDevice = nullptr;
  QLabel* lblUpdaeFileStatus = nullptr;
  QLabel* lblISPProcStatus = nullptr;
  // Below the progress line: what to do when the device may still be in
  // update mode. Hidden while empty.
  QLabel* lblISPProcNotice = nullptr;
  // Under the progress line while the one-click update runs: how far it is
  // and the time left. Hidden from the verdict until the next Start.
  QProgressBar* prbUpdate = nullptr;
  QLabel* lblUpdateTimeLeft = nullptr;
  QFrame* pnlUSBExist = nullptr;
  QPushButton* btnSimpleAuto = nullptr;
  QLabel* lblFWVer = nullptr;
  QCheckBox* chkDetectUSB = nullptr;
  LabeledEdit* lbledtVID = nullptr;
  LabeledEdit* lbledtPID = nullptr;
  QPushButton* USBLoadFileBitBtn = nullptr;
  QComboBox* cbxReadISPFile = nullptr;  // the file history
  QLabel* Image1 = nullptr;

  // Start-up's arrangement: the developer controls hidden, the panel
  // across the window's width, the square in the button colour, no
  // progress text.
  void ApplyStartUpLayout(int window_width);

  QColor StatusSquareColour() const;
  void SetStatusSquare(const QColor& colour);
  // Each returns false when the line already showed the text.
  bool SetDeviceLine(const QString& text);
  bool SetFileLine(const QString& text);
  bool SetProgressLine(const QString& text);
  // The access advice is longer than one line: while it shows, the device
  // line wraps over the room of the file line, which has nothing to say then.
  void ShowAccessAdvice(bool shown);
  // point_size 0 keeps the size.
  void SetProgressLineStyle(const QColor& colour, int point_size);
  void ShowNotice(const QString& text);
  // The bar and its label, emptied, shown or hidden together.
  void ResetProgress();
  void SetProgressShown(bool shown);
  void ShowProgress(int steps, const QString& text);
};

}  // namespace korvalen
