#include "ui/TopPanel.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFrame>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <algorithm>

#include "ui/LabeledEdit.h"

namespace korvalen {

void FitLabelToText(QLabel* label) {
  // A wrapped label keeps the box it was given; any other one grows and
  // shrinks with its text, so no text is ever cut.
  if (!label->wordWrap()) label->adjustSize();
}

namespace {

constexpr int kPanelWidth = 537;
constexpr int kPanelHeight = 120;
// The device line's room while it shows the access advice: up to the Start
// button, and down to the progress line.
constexpr int kAdviceWidth = 318;
constexpr int kAdviceHeight = 76;
// The notice below the progress line: the width of the panel's texts, and
// room for three wrapped lines (where the device stopped, and what to do).
constexpr int kNoticeWidth = 420;
constexpr int kNoticeHeight = 66;

QLabel* MakeLabel(QWidget* parent, const char* name, const QString& text, int pixel_size, int x,
                  int y) {
  auto* label = new QLabel(text, parent);
  label->setObjectName(name);
  if (pixel_size > 0) {
    QFont font = label->font();
    font.setPixelSize(pixel_size);
    label->setFont(font);
  }
  label->move(x, y);
  FitLabelToText(label);
  return label;
}

}  // namespace

TopPanel::TopPanel(QWidget* window) {
  pnlUSB = new QFrame(window);
  pnlUSB->setObjectName("pnlUSB");
  pnlUSB->setAutoFillBackground(true);

  lblDetectDevice = MakeLabel(pnlUSB, "lblDetectDevice", "No device is available", 16, 100, 10);
  lblUpdaeFileStatus = MakeLabel(pnlUSB, "lblUpdaeFileStatus", "No Updated File !", 16, 100, 50);
  lblISPProcStatus =
      MakeLabel(pnlUSB, "lblISPProcStatus", "Abort Firmware update process", 21, 98, 88);
  // Under the top panel, in the room the compact window keeps above the
  // pages; it wraps, so the whole advice stays readable.
  lblISPProcNotice = MakeLabel(window, "lblISPProcNotice", "", 15, 98, 122);
  lblISPProcNotice->setWordWrap(true);
  lblISPProcNotice->resize(kNoticeWidth, kNoticeHeight);
  QPalette notice_palette = lblISPProcNotice->palette();
  notice_palette.setColor(QPalette::WindowText, Qt::red);
  lblISPProcNotice->setPalette(notice_palette);
  lblISPProcNotice->hide();

  prbUpdate = new QProgressBar(pnlUSB);
  prbUpdate->setObjectName("prbUpdate");
  prbUpdate->setRange(0, kProgressSteps);
  prbUpdate->setTextVisible(false);
  prbUpdate->setGeometry(100, 112, 300, 5);
  prbUpdate->hide();
  lblUpdateTimeLeft = MakeLabel(pnlUSB, "lblUpdateTimeLeft", "", 10, 408, 106);
  lblUpdateTimeLeft->setMinimumWidth(120);
  lblUpdateTimeLeft->hide();

  pnlUSBExist = new QFrame(pnlUSB);
  pnlUSBExist->setObjectName("pnlUSBExist");
  pnlUSBExist->setFrameShape(QFrame::Box);
  pnlUSBExist->setAutoFillBackground(true);
  pnlUSBExist->resize(73, 23);

  btnSimpleAuto = new QPushButton("Start", pnlUSB);
  btnSimpleAuto->setObjectName("btnSimpleAuto");
  btnSimpleAuto->setEnabled(false);

  lblFWVer = MakeLabel(pnlUSB, "lblFWVer", "Current Firmware:", 0, 100, 100);
  chkDetectUSB = new QCheckBox("Detect Device", pnlUSB);
  chkDetectUSB->setObjectName("chkDetectUSB");
  lbledtVID = new LabeledEdit("lbledtVID", "VID:", "5e1a", pnlUSB);
  lbledtPID = new LabeledEdit("lbledtPID", "PID:", "6012", pnlUSB);
  USBLoadFileBitBtn = new QPushButton("File", pnlUSB);
  USBLoadFileBitBtn->setObjectName("USBLoadFileBitBtn");
  cbxReadISPFile = new QComboBox(pnlUSB);
  cbxReadISPFile->setObjectName("cbxReadISPFile");
  cbxReadISPFile->setEditable(true);
  Image1 = new QLabel(window);
  Image1->setObjectName("Image1");
  Image1->resize(585, 185);
}

void TopPanel::ApplyStartUpLayout(int window_width) {
  for (QWidget* control : std::initializer_list<QWidget*>{
           USBLoadFileBitBtn, cbxReadISPFile, chkDetectUSB, lbledtVID, lbledtPID, lblFWVer}) {
    control->hide();
  }
  // The panel spans the window: its laid-out width of 537 would cut the file
  // line's "is Ready!" with the wider fonts of a Linux desktop.
  pnlUSB->setGeometry(0, 0, std::max(kPanelWidth, window_width), kPanelHeight);
  QPalette palette = pnlUSB->palette();
  palette.setColor(QPalette::Window, palette.color(QPalette::Button));
  pnlUSB->setPalette(palette);
  pnlUSBExist->move(20, 8);
  SetStatusSquare(palette.color(QPalette::Button));
  lblISPProcStatus->setText("");
  FitLabelToText(lblISPProcStatus);
  btnSimpleAuto->move(424, 0);
  Image1->hide();
}

QColor TopPanel::StatusSquareColour() const {
  return pnlUSBExist->palette().color(QPalette::Window);
}

void TopPanel::SetStatusSquare(const QColor& colour) {
  QPalette palette = pnlUSBExist->palette();
  palette.setColor(QPalette::Window, colour);
  pnlUSBExist->setPalette(palette);
}

namespace {

bool SetLine(QLabel* label, const QString& text) {
  if (label->text() == text) return false;
  label->setText(text);
  FitLabelToText(label);
  return true;
}

}  // namespace

bool TopPanel::SetDeviceLine(const QString& text) { return SetLine(lblDetectDevice, text); }

bool TopPanel::SetFileLine(const QString& text) { return SetLine(lblUpdaeFileStatus, text); }

bool TopPanel::SetProgressLine(const QString& text) { return SetLine(lblISPProcStatus, text); }

void TopPanel::ShowAccessAdvice(bool shown) {
  if (lblDetectDevice->wordWrap() == shown) return;
  lblDetectDevice->setWordWrap(shown);
  lblDetectDevice->setAlignment(Qt::AlignLeft | (shown ? Qt::AlignTop : Qt::AlignVCenter));
  if (shown) {
    lblDetectDevice->resize(kAdviceWidth, kAdviceHeight);
  } else {
    FitLabelToText(lblDetectDevice);
  }
  lblUpdaeFileStatus->setVisible(!shown);
}

void TopPanel::SetProgressLineStyle(const QColor& colour, int point_size) {
  QPalette palette = lblISPProcStatus->palette();
  palette.setColor(QPalette::WindowText, colour);
  lblISPProcStatus->setPalette(palette);
  if (point_size > 0) {
    QFont font = lblISPProcStatus->font();
    font.setPointSize(point_size);
    lblISPProcStatus->setFont(font);
    FitLabelToText(lblISPProcStatus);
  }
}

void TopPanel::ShowNotice(const QString& text) {
  lblISPProcNotice->setText(text);
  lblISPProcNotice->setVisible(!text.isEmpty());
}

void TopPanel::ResetProgress() {
  prbUpdate->setValue(0);
  lblUpdateTimeLeft->setText("");
}

void TopPanel::SetProgressShown(bool shown) {
  prbUpdate->setVisible(shown);
  lblUpdateTimeLeft->setVisible(shown);
}

void TopPanel::ShowProgress(int steps, const QString& text) {
  prbUpdate->setValue(steps);
  lblUpdateTimeLeft->setText(text);
}

}  // namespace korvalen
