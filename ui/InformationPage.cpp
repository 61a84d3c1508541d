// The Information page: Update reads the three status registers of bank 0
// and shows them; the media-key buttons hand a key code to the firmware.
// Neither shows a message, whatever the device answers.
#include "ui/InformationPage.h"

#include <QGroupBox>
#include <QLabel>
#include <QPushButton>

#include "link/MediaKey.h"
#include "ui/PageContext.h"

namespace korvalen {
namespace {

QLabel* MakeInfoLabel(QWidget* parent, const char* name, const char* text, int x, int y) {
  auto* label = new QLabel(text, parent);
  label->setObjectName(name);
  label->setGeometry(x, y, 160, 20);
  return label;
}

}  // namespace

InformationPage::InformationPage(PageContext& context, QWidget* tab) : context_(context) {
  btnUpdateStatus = new QPushButton("Update", tab);
  btnUpdateStatus->setObjectName("btnUpdateStatus");
  btnUpdateStatus->setGeometry(8, 8, 100, 25);
  connect(btnUpdateStatus, &QPushButton::clicked, this, &InformationPage::btnUpdateStatusClick);

  lblConnect = MakeInfoLabel(tab, "lblConnect", "USB connected", 8, 44);
  lblMute = MakeInfoLabel(tab, "lblMute", "Unmute", 8, 68);
  lblCurrentFormat0 = MakeInfoLabel(tab, "lblCurrentFormat0", "Input Format:", 8, 92);
  lblCurrentFormat1 = MakeInfoLabel(tab, "lblCurrentFormat1", "PCM", 110, 92);
  lblCurrentFreq0 = MakeInfoLabel(tab, "lblCurrentFreq0", "Input Freq:  ", 8, 116);
  lblCurrentFreq1 = MakeInfoLabel(tab, "lblCurrentFreq1", "176.4KHz", 110, 116);
  // The rate texts are right-aligned with blanks: a fixed pitch keeps them so.
  QFont fixed("Monospace");
  fixed.setStyleHint(QFont::TypeWriter);
  lblCurrentFreq1->setFont(fixed);

  for (size_t i = 0; i < kMediaKeys.size(); ++i) {
    auto* button = new QPushButton(kMediaKeys[i].caption, tab);
    button->setObjectName(QString("btnHID%1").arg(i));
    button->setGeometry(8 + static_cast<int>(i) * 96, 152, 90, 25);
    connect(button, &QPushButton::clicked, this, [this, button] { btnHIDClick(button); });
    btnHID[i] = button;
  }

  GroupBox7 = new QGroupBox("Special I2C access", tab);
  GroupBox7->setObjectName("GroupBox7");
  GroupBox7->setGeometry(8, 190, 576, 250);
}

void InformationPage::btnUpdateStatusClick() {
  if (context_.DeviceBusy()) return;
  ReadPlaybackStatus(context_.link(), status);
  const StatusDisplay shown = DecodePlaybackStatus(status);
  lblConnect->setText(shown.connect);
  lblMute->setEnabled(shown.mute_enabled);
  if (shown.mute) lblMute->setText(shown.mute);
  for (QLabel* label : {lblCurrentFormat0, lblCurrentFormat1, lblCurrentFreq0, lblCurrentFreq1}) {
    label->setEnabled(shown.format_enabled);
  }
  if (shown.format) lblCurrentFormat1->setText(shown.format);
  if (shown.rate) lblCurrentFreq1->setText(shown.rate);
}

void InformationPage::btnHIDClick(QPushButton* sender) {
  if (context_.DeviceBusy()) return;
  for (size_t i = 0; i < btnHID.size(); ++i) {
    if (btnHID[i] != sender) continue;
    SendMediaKey(context_.link(), context_.clock(), kMediaKeys[i].code);
    return;
  }
}

}  // namespace korvalen
