// The Parameter page. Handlers read controls, change the settings block
// or hand a typed text to the settings core, and write the controls back.
#include "ui/ParameterPage.h"

#include <QCheckBox>
#include <QGroupBox>
#include <QLabel>
#include <QPushButton>
#include <QRadioButton>

#include "link/DeviceSettings.h"
#include "ui/LabeledEdit.h"
#include "ui/PageContext.h"

namespace korvalen {
namespace {

constexpr int kMclkChoices = 4;
const char kMclkPrefix[] = "rbnMCLKOutFreq";
const char kUpdateRunningNote[] = "A firmware update is running: nothing was sent to the device.";

QRadioButton* MakeRadio(QWidget* parent, const char* name, const char* caption, int x, int y) {
  auto* button = new QRadioButton(caption, parent);
  button->setObjectName(name);
  button->move(x, y);
  return button;
}

QCheckBox* MakeCheck(QWidget* parent, const char* name, const char* caption, int x, int y) {
  auto* box = new QCheckBox(caption, parent);
  box->setObjectName(name);
  box->move(x, y);
  return box;
}

QGroupBox* MakeGroup(QWidget* parent, const char* name, const char* caption, int x, int y, int w,
                     int h) {
  auto* group = new QGroupBox(caption, parent);
  group->setObjectName(name);
  group->setGeometry(x, y, w, h);
  return group;
}

QLabel* MakeText(QWidget* parent, const char* name, const char* caption, int x, int y, int w) {
  auto* label = new QLabel(caption, parent);
  label->setObjectName(name);
  label->setGeometry(x, y, w, 20);
  return label;
}

// The edit's text as the 8-bit characters the device takes; false when a
// character has no 8-bit form (it could only be sent changed).
bool EightBitText(const QString& text, std::string* bytes) {
  for (QChar c : text) {
    if (c.unicode() > 0xFF) return false;
  }
  *bytes = text.toLatin1().toStdString();
  return true;
}

}  // namespace

ParameterPage::ParameterPage(PageContext& context, QWidget* tab) : context_(context) { Build(tab); }

void ParameterPage::Build(QWidget* tab) {
  lblEepAvail = MakeText(tab, "lblEepAvail", "EEPROM Exist", 8, 8, 260);
  QFont bold = lblEepAvail->font();
  bold.setBold(true);
  bold.setPixelSize(16);
  lblEepAvail->setFont(bold);
  lblEepAvail->setMinimumHeight(24);
  btnReadPara = new QPushButton("Read back", tab);
  btnReadPara->setObjectName("btnReadPara");
  btnReadPara->setGeometry(340, 6, 100, 26);
  btnSetPara = new QPushButton("Set", tab);
  btnSetPara->setObjectName("btnSetPara");
  btnSetPara->setGeometry(450, 6, 100, 26);
  Label8 = MakeText(tab, "Label8", "System General Setting", 8, 40, 300);

  GroupBox2 = MakeGroup(tab, "GroupBox2", "Output when  DSD in", 8, 62, 150, 70);
  rbnDSDOut0 = MakeRadio(GroupBox2, "rbnDSDOut0", "DSD", 10, 22);
  rbnDSDOut1 = MakeRadio(GroupBox2, "rbnDSDOut1", "DoP", 10, 44);
  GroupBox3 = MakeGroup(tab, "GroupBox3", "I2S Output length", 166, 62, 150, 70);
  rbnI2Slen0 = MakeRadio(GroupBox3, "rbnI2Slen0", "32 bit", 10, 22);
  rbnI2Slen1 = MakeRadio(GroupBox3, "rbnI2Slen1", "24 bit", 10, 44);
  GroupBox4 = MakeGroup(tab, "GroupBox4", "SPDIF Output length", 324, 62, 150, 70);
  rbnSPDIFlen0 = MakeRadio(GroupBox4, "rbnSPDIFlen0", "32 bit", 10, 22);
  rbnSPDIFlen1 = MakeRadio(GroupBox4, "rbnSPDIFlen1", "24 bit", 10, 44);
  GroupBox5 = MakeGroup(tab, "GroupBox5", "I2S MCLK Output Frequency", 8, 138, 308, 52);
  const char* mclk[kMclkChoices] = {"128 Fs", "256 Fs", "512 Fs", "1024 Fs"};
  for (int n = 0; n < kMclkChoices; ++n) {
    auto* button = MakeRadio(GroupBox5, "", mclk[n], 10 + n * 74, 24);
    button->setObjectName(kMclkPrefix + QString::number(n));
    rbnMCLKOutFreq[n] = button;
    connect(button, &QRadioButton::toggled, this, [this](bool on) {
      if (on) rbnMCLKOutFreqClick();
    });
  }
  GroupBox6 = MakeGroup(tab, "GroupBox6", "I2S Format ", 324, 138, 200, 52);
  rbnI2SFormat0 = MakeRadio(GroupBox6, "rbnI2SFormat0", "Standard", 10, 24);
  rbnI2SFormat1 = MakeRadio(GroupBox6, "rbnI2SFormat1", "Left Justify", 100, 24);
  // The designer's selection; window creation shows the start-up block over it.
  rbnMCLKOutFreq[0]->setChecked(true);

  chkI2SLRSwap = MakeCheck(tab, "chkI2SLRSwap", "I2S Output Channel Swap", 8, 198);
  chkDSDLRSwap = MakeCheck(tab, "chkDSDLRSwap", "DSD Output Channel Swap", 8, 222);
  chkMCLKOutOff = MakeCheck(tab, "chkMCLKOutOff", "MCLK Output Off", 324, 198);
  chkI2SOutOff = MakeCheck(tab, "chkI2SOutOff", "I2S Output Off", 324, 222);
  chkSPDIFOutOff = MakeCheck(tab, "chkSPDIFOutOff", "SPDIF Output Off", 324, 246);

  lbledSysVID = new LabeledEdit("lbledSysVID", "VID:", "5e10", tab);
  lbledSysVID->setGeometry(8, 276, 130, 24);
  lbledSysPID = new LabeledEdit("lbledSysPID", "PID:", "6012", tab);
  lbledSysPID->setGeometry(150, 276, 130, 24);
  Label2 = MakeText(tab, "Label2", "Prodcut Information String (Max. 31 character)", 8, 306, 400);
  const struct {
    LabeledEdit** edit;
    const char* name;
    const char* caption;
    const char* text;
    const char* note_name;
    const char* note;
  } strings[] = {
      {&lbledSysStr1, "lbledSysStr1", "String 1:", "Norvane-inc", "Label4", "(Manufacturer)"},
      {&lbledSysStr2, "lbledSysStr2", "String 2:", "Norvane-inc UAC2 22", "Label5", "(Model Name)"},
      {&lbledSysStr3, "lbledSysStr3", "String 3:", "NVUA170203", "Label7", "(Serial Number)"},
  };
  int row = 0;
  for (const auto& s : strings) {
    *s.edit = new LabeledEdit(s.name, s.caption, s.text, tab);
    (*s.edit)->setGeometry(8, 328 + row * 28, 330, 24);
    MakeText(tab, s.note_name, s.note, 346, 330 + row * 28, 200);
    LabeledEdit* edit = *s.edit;
    connect(edit, &LabeledEdit::EnterPressed, this, [this, edit] { lbledSysStrKeyDown(edit); });
    ++row;
  }
  lblSysIdentityNote = MakeText(tab, "lblSysIdentityNote", "", 8, 412, 570);
  QPalette warning = lblSysIdentityNote->palette();
  warning.setColor(QPalette::WindowText, QColor(192, 0, 0));
  lblSysIdentityNote->setPalette(warning);

  connect(btnReadPara, &QPushButton::clicked, this, &ParameterPage::btnReadParaClick);
  connect(btnSetPara, &QPushButton::clicked, this, &ParameterPage::btnSetParaClick);
  // Each option handler derives its bits from the control's state, so it
  // may run for programmatic changes too (ShowDeviceSettings) without harm.
  connect(rbnDSDOut0, &QRadioButton::toggled, this, &ParameterPage::rbnDSDOutClick);
  connect(rbnI2Slen0, &QRadioButton::toggled, this, &ParameterPage::rbnI2SlenClick);
  connect(rbnSPDIFlen0, &QRadioButton::toggled, this, &ParameterPage::rbnSPDIFlenClick);
  connect(rbnI2SFormat0, &QRadioButton::toggled, this, &ParameterPage::rbnI2SFormatClick);
  connect(chkI2SLRSwap, &QCheckBox::toggled, this, &ParameterPage::chkI2SLRSwapClick);
  connect(chkDSDLRSwap, &QCheckBox::toggled, this, &ParameterPage::chkDSDLRSwapClick);
  connect(chkMCLKOutOff, &QCheckBox::toggled, this, &ParameterPage::chkMCLKOutOffClick);
  connect(chkI2SOutOff, &QCheckBox::toggled, this, &ParameterPage::chkI2SOutOffClick);
  connect(chkSPDIFOutOff, &QCheckBox::toggled, this, &ParameterPage::chkSPDIFOutOffClick);
  connect(lbledSysVID, &LabeledEdit::EnterPressed, this,
          [this] { lbledSysVIDPIDKeyDown(lbledSysVID); });
  connect(lbledSysPID, &LabeledEdit::EnterPressed, this,
          [this] { lbledSysVIDPIDKeyDown(lbledSysPID); });
}

void ParameterPage::ShowDeviceSettings() {
  const DeviceSettingsBlock block = DeviceSettings;
  lblEepAvail->setText(QString::fromLatin1(EepromText(block)));
  (GetFlag(block, SettingsFlag::kI2s32Bit) ? rbnI2Slen0 : rbnI2Slen1)->setChecked(true);
  (GetFlag(block, SettingsFlag::kSpdif32Bit) ? rbnSPDIFlen0 : rbnSPDIFlen1)->setChecked(true);
  chkI2SLRSwap->setChecked(GetFlag(block, SettingsFlag::kI2sSwap));
  chkDSDLRSwap->setChecked(GetFlag(block, SettingsFlag::kDsdSwap));
  (GetFlag(block, SettingsFlag::kLeftJustify) ? rbnI2SFormat1 : rbnI2SFormat0)->setChecked(true);
  (GetFlag(block, SettingsFlag::kDsdAsDsd) ? rbnDSDOut0 : rbnDSDOut1)->setChecked(true);
  rbnMCLKOutFreq[MclkIndex(block)]->setChecked(true);
  chkMCLKOutOff->setChecked(GetFlag(block, SettingsFlag::kMclkOutOff));
  chkI2SOutOff->setChecked(GetFlag(block, SettingsFlag::kI2sOutOff));
  chkSPDIFOutOff->setChecked(GetFlag(block, SettingsFlag::kSpdifOutOff));
}

void ParameterPage::rbnI2SlenClick() {
  SetFlag(DeviceSettings, SettingsFlag::kI2s32Bit, rbnI2Slen0->isChecked());
}

void ParameterPage::rbnSPDIFlenClick() {
  SetFlag(DeviceSettings, SettingsFlag::kSpdif32Bit, rbnSPDIFlen0->isChecked());
}

void ParameterPage::chkI2SLRSwapClick() {
  SetFlag(DeviceSettings, SettingsFlag::kI2sSwap, chkI2SLRSwap->isChecked());
}

void ParameterPage::chkDSDLRSwapClick() {
  SetFlag(DeviceSettings, SettingsFlag::kDsdSwap, chkDSDLRSwap->isChecked());
}

void ParameterPage::rbnMCLKOutFreqClick() {
  for (int n = 0; n < kMclkChoices; ++n) {
    if (rbnMCLKOutFreq[n]->isChecked()) SetMclkIndex(DeviceSettings, n);
  }
}

void ParameterPage::rbnI2SFormatClick() {
  SetFlag(DeviceSettings, SettingsFlag::kLeftJustify, !rbnI2SFormat0->isChecked());
}

void ParameterPage::rbnDSDOutClick() {
  SetFlag(DeviceSettings, SettingsFlag::kDsdAsDsd, rbnDSDOut0->isChecked());
}

void ParameterPage::chkMCLKOutOffClick() {
  SetFlag(DeviceSettings, SettingsFlag::kMclkOutOff, chkMCLKOutOff->isChecked());
}

void ParameterPage::chkI2SOutOffClick() {
  SetFlag(DeviceSettings, SettingsFlag::kI2sOutOff, chkI2SOutOff->isChecked());
}

void ParameterPage::chkSPDIFOutOffClick() {
  SetFlag(DeviceSettings, SettingsFlag::kSpdifOutOff, chkSPDIFOutOff->isChecked());
}

bool ParameterPage::RefuseWhileUpdating() {
  if (!context_.DeviceBusy()) return false;
  lblSysIdentityNote->setText(kUpdateRunningNote);
  return true;
}

void ParameterPage::ClearUpdateRunningNote() {
  // Once an exchange has gone through, "nothing was sent" is no longer so;
  // a note about a refused identity text still holds and stays.
  if (lblSysIdentityNote->text() == kUpdateRunningNote) lblSysIdentityNote->clear();
}

void ParameterPage::btnReadParaClick() {
  if (RefuseWhileUpdating()) return;
  if (ReadDeviceSettings(context_.link(), context_.clock(), DeviceSettings)) {
    ClearUpdateRunningNote();
  }
  ShowDeviceSettings();
}

void ParameterPage::btnSetParaClick() {
  if (RefuseWhileUpdating()) return;
  if (WriteDeviceSettings(context_.link(), context_.clock(), DeviceSettings)) {
    ClearUpdateRunningNote();
  }
}

void ParameterPage::lbledSysVIDPIDKeyDown(LabeledEdit* sender) {
  SendIdentity(sender,
               static_cast<int>(sender == lbledSysVID ? IdentityField::kVid : IdentityField::kPid));
}

void ParameterPage::lbledSysStrKeyDown(LabeledEdit* sender) {
  const IdentityField field = sender == lbledSysStr1   ? IdentityField::kManufacturer
                              : sender == lbledSysStr2 ? IdentityField::kProduct
                                                       : IdentityField::kSerialNumber;
  SendIdentity(sender, static_cast<int>(field));
}

void ParameterPage::SendIdentity(LabeledEdit* sender, int field_number) {
  if (RefuseWhileUpdating()) return;
  const auto field = static_cast<IdentityField>(field_number);
  std::string text;
  if (!EightBitText(sender->text(), &text)) {
    lblSysIdentityNote->setText(QString::fromLatin1(IdentityName(field)) +
                                " not sent: the device takes 8-bit characters only.");
    return;
  }
  const IdentityPlan plan = SendIdentityText(context_.link(), context_.clock(), field, text);
  lblSysIdentityNote->setText(QString::fromStdString(plan.message));
}

}  // namespace korvalen
