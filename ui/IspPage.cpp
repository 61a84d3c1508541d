// The ISP page: single flash operations, the range choice and the controls
// of the Auto sequence. Handlers read controls and call the flash core.
#include "ui/IspPage.h"

#include <QCheckBox>
#include <QGroupBox>
#include <QLabel>
#include <QPushButton>
#include <QRadioButton>

#include "flash/FlashOperations.h"
#include "flash/UpdateSequences.h"
#include "image/UpdateFile.h"
#include "ui/Captions.h"
#include "ui/LabeledEdit.h"
#include "ui/PageContext.h"
#include "ui/PathFromText.h"
#include "ui/TypedNumbers.h"

namespace korvalen {
namespace {

QString ToQString(std::string_view text) {
  return QString::fromUtf8(text.data(), static_cast<int>(text.size()));
}

QPushButton* MakeButton(QWidget* parent, const char* name, const char* caption, int x, int y) {
  auto* button = new QPushButton(caption, parent);
  button->setObjectName(name);
  button->setGeometry(x, y, 100, 25);
  return button;
}

QCheckBox* MakeCheck(QWidget* parent, const char* name, const char* caption, int x, int y) {
  auto* box = new QCheckBox(caption, parent);
  box->setObjectName(name);
  box->move(x, y);
  return box;
}

QLabel* MakePageLabel(QWidget* parent, const char* name, const char* caption, int x, int y) {
  auto* label = new QLabel(caption, parent);
  label->setObjectName(name);
  label->setGeometry(x, y, 330, 20);
  return label;
}

}  // namespace

IspPage::IspPage(PageContext& context, FlashOperations& ops, UpdateSequences& seq, QWidget* tab)
    : context_(context), ops_(ops), seq_(seq) {
  Build(tab);
}

void IspPage::Build(QWidget* page) {
  GroupBox1 = new QGroupBox("Function Test", page);
  GroupBox1->setObjectName("GroupBox1");
  GroupBox1->setGeometry(8, 8, 232, 200);
  const struct {
    QPushButton** button;
    const char* name;
    const char* caption;
    void (IspPage::*handler)();
  } buttons[] = {
      {&btnUSBChipID, "btnUSBChipID", "Chip ID", &IspPage::btnUSBChipIDClick},
      {&btnUSBReadStatus, "btnUSBReadStatus", "Read Status", &IspPage::btnUSBReadStatusClick},
      {&btnUSBWriteEnable, "btnUSBWriteEnable", "Write Enable", &IspPage::btnUSBWriteEnableClick},
      {&btnUSBWriteDisable, "btnUSBWriteDisable", "Write Disable",
       &IspPage::btnUSBWriteDisableClick},
      {&btnEnterISP, "btnEnterISP", "Enter ISP", &IspPage::btnEnterISPClick},
      {&btnUSBErase, "btnUSBErase", "Erase", &IspPage::btnUSBEraseClick},
      {&btnUSBBlank, "btnUSBBlank", "Blank Check", &IspPage::btnUSBBlankClick},
      {&btnUSBProgram, "btnUSBProgram", "Program", &IspPage::btnUSBProgramClick},
      {&btnUSBVerify, "btnUSBVerify", "Verify", &IspPage::btnUSBVerifyClick},
      {&btnReadBack, "btnReadBack", "Read Flash", &IspPage::btnReadBackClick},
  };
  int i = 0;
  for (const auto& b : buttons) {
    *b.button = MakeButton(GroupBox1, b.name, b.caption, 8 + (i % 2) * 110, 20 + (i / 2) * 32);
    connect(*b.button, &QPushButton::clicked, this, b.handler);
    ++i;
  }

  lblUSBProcessInfo = MakePageLabel(page, "lblUSBProcessInfo", "Status:", 250, 8);
  lblUSBISPProcess = MakePageLabel(page, "lblUSBISPProcess", "Process Addr: 0x000000", 250, 30);
  lblUSBISPStatusReg = MakePageLabel(page, "lblUSBISPStatusReg", "Status Register: 0x00", 250, 52);
  lblUSBChipID = MakePageLabel(page, "lblUSBChipID", "0x00", 250, 74);
  lblUSBStatus = MakePageLabel(page, "lblUSBStatus", "0x00", 250, 96);
  lblUSBChecksum = MakePageLabel(page, "lblUSBChecksum", "Checksum :", 250, 118);
  lbledtUSBWriteStatus = new LabeledEdit("lbledtUSBWriteStatus", "Write Status : 0x", "", page);
  lbledtUSBWriteStatus->setGeometry(250, 140, 200, 24);
  connect(lbledtUSBWriteStatus, &LabeledEdit::EnterPressed, this,
          &IspPage::lbledtUSBWriteStatusKeyDown);
  BuildRangeGroup(page);
  BuildAutoControls(page);
}

void IspPage::BuildRangeGroup(QWidget* page) {
  gbxISPRange = new QGroupBox("Flash Access Range", page);
  gbxISPRange->setObjectName("gbxISPRange");
  gbxISPRange->setGeometry(8, 214, 232, 110);
  rbnRange0 = new QRadioButton("All", gbxISPRange);
  rbnRange0->setObjectName("rbnRange0");
  rbnRange0->move(8, 20);
  rbnRange0->setChecked(true);
  rbnRange1 = new QRadioButton("Assign Range", gbxISPRange);
  rbnRange1->setObjectName("rbnRange1");
  rbnRange1->move(80, 20);
  connect(rbnRange0, &QRadioButton::clicked, this, &IspPage::rbnRangeClick);
  connect(rbnRange1, &QRadioButton::clicked, this, &IspPage::rbnRangeClick);
  lbledISPStart = new LabeledEdit("lbledISPStart", "Start Addr:", "32", gbxISPRange);
  lbledISPStart->setGeometry(8, 46, 170, 24);
  lbledISPRange = new LabeledEdit("lbledISPRange", "Size: ", "32", gbxISPRange);
  lbledISPRange->setGeometry(8, 76, 170, 24);
  Label20 = MakePageLabel(gbxISPRange, "Label20", "KB", 184, 48);
  Label21 = MakePageLabel(gbxISPRange, "Label21", "KB", 184, 78);
  Label20->setFixedWidth(30);
  Label21->setFixedWidth(30);
  connect(lbledISPStart, &LabeledEdit::EnterPressed, this, &IspPage::lbledISPStartKeyDown);
  connect(lbledISPRange, &LabeledEdit::EnterPressed, this, &IspPage::lbledISPStartKeyDown);
}

void IspPage::BuildAutoControls(QWidget* page) {
  gbxFlashCMD = new QGroupBox("Flash Instruction", page);
  gbxFlashCMD->setObjectName("gbxFlashCMD");
  gbxFlashCMD->setGeometry(250, 170, 330, 130);
  const std::pair<const char*, const char*> opcodes[] = {
      {"Chip ID", "9F"},      {"Write Enable", "06"}, {"Write Disable", "04"},
      {"Read Status", "05"},  {"Write Status", "01"}, {"Erase All", "C7"},
      {"Page Program", "02"}, {"Read", "03"}};
  int i = 0;
  for (const auto& [caption, opcode] : opcodes) {
    auto* edit = new LabeledEdit(QString("lbledtFlashCmd%1").arg(i), caption, opcode, gbxFlashCMD);
    edit->Edit()->setReadOnly(true);  // display only: the opcodes are fixed
    edit->setGeometry(8 + (i % 2) * 160, 20 + (i / 2) * 26, 150, 24);
    ++i;
  }

  btnUSBISPAuto = MakeButton(page, "btnUSBISPAuto", "Auto", 8, 332);
  connect(btnUSBISPAuto, &QPushButton::clicked, this, &IspPage::btnUSBISPAutoClick);
  Button1 = MakeButton(page, "Button1", " Save", 118, 332);
  connect(Button1, &QPushButton::clicked, this, &IspPage::btnSaveBinClick);
  chkISPMode = MakeCheck(page, "chkISPMode", "ISP Mode", 8, 364);
  chkErase = MakeCheck(page, "chkErase", "Erase", 100, 364);
  chkBlank = MakeCheck(page, "chkBlank", "Blank", 170, 364);
  chkProgram = MakeCheck(page, "chkProgram", "Program", 240, 364);
  chkVerify = MakeCheck(page, "chkVerify", "Verify", 320, 364);
  chkReadFile = MakeCheck(page, "chkReadFile", "Reload File", 8, 390);
  chkProtect = MakeCheck(page, "chkProtect", "Flash Protect", 120, 390);
  chkProtect->setChecked(true);
}

void IspPage::ApplyIspDefaults() {
  chkISPMode->setChecked(true);
  chkProtect->setChecked(false);
  for (QCheckBox* box : {chkReadFile, chkErase, chkBlank, chkProgram, chkVerify}) {
    box->setChecked(true);
  }
  rbnRange0->setChecked(true);
  rbnRangeClick();
  lbledISPRange->setText("64");
  lbledISPStart->setText("64");
}

void IspPage::SetIspSequenceControlsVisible(bool visible) {
  for (QWidget* control :
       std::initializer_list<QWidget*>{gbxISPRange, chkISPMode, chkProtect, chkReadFile, chkErase,
                                       chkBlank, chkProgram, chkVerify, GroupBox1}) {
    control->setVisible(visible);
  }
}

void IspPage::btnEnterISPClick() {
  if (const auto on = ops_.ToggleIspMode()) {
    const std::string_view caption = *on ? kCaptionExitIsp : kCaptionEnterIsp;
    btnEnterISP->setText(QString::fromUtf8(caption.data(), static_cast<int>(caption.size())));
  }
}

void IspPage::btnUSBChipIDClick() {
  if (const auto text = ops_.ChipIdText()) lblUSBChipID->setText(QString::fromStdString(*text));
}

void IspPage::btnUSBReadStatusClick() {
  if (const auto text = ops_.StatusText()) lblUSBStatus->setText(QString::fromStdString(*text));
}

void IspPage::btnUSBWriteEnableClick() { ops_.WriteEnable(); }

void IspPage::btnUSBWriteDisableClick() { ops_.WriteDisable(); }

void IspPage::lbledtUSBWriteStatusKeyDown() {
  if (const auto error = ops_.WriteStatusFromText(lbledtUSBWriteStatus->text().toStdString())) {
    context_.dialogs().ShowError(QString::fromStdString(*error));
  }
}

void IspPage::btnUSBEraseClick() { ops_.EraseFlash(rbnRange0->isChecked()); }

void IspPage::btnUSBBlankClick() { ops_.BlankCheck(rbnRange0->isChecked()); }

void IspPage::btnUSBProgramClick() { ops_.Program(rbnRange0->isChecked()); }

void IspPage::btnUSBVerifyClick() { ops_.Verify(rbnRange0->isChecked()); }

void IspPage::btnReadBackClick() {
  if (ops_.busy()) return;
  const bool read_ok = ops_.ReadBack();
  // The dump is offered whatever the reads gave, so a partial read can be
  // looked at; unread bytes show as 0x5A.
  const auto path = context_.dialogs().AskSaveFile("Binary File (*.bin)", "bin");
  // A dump that could not be written keeps its error text in view.
  const bool saved = !path || !ops_.SaveReadBackDump(PathFromText(*path));
  if (read_ok && saved) lblUSBProcessInfo->setText("Read Flash content Success");
}

void IspPage::rbnRangeClick() {
  const bool all = rbnRange0->isChecked();
  for (QWidget* control :
       std::initializer_list<QWidget*>{lbledISPStart, lbledISPRange, Label20, Label21}) {
    control->setEnabled(!all);
  }
  int64_t start_kb = 0;
  int64_t size_kb = 0;
  if (!all) {
    const auto start = ParseDecimal(lbledISPStart->text());
    if (!start) return context_.dialogs().ShowError(InvalidIntegerText(lbledISPStart->text()));
    const auto size = ParseDecimal(lbledISPRange->text());
    if (!size) return context_.dialogs().ShowError(InvalidIntegerText(lbledISPRange->text()));
    start_kb = *start;
    size_kb = *size;
  }
  if (const auto error = ops_.ChooseRange(all, start_kb, size_kb)) {
    context_.dialogs().ShowError(QString::fromStdString(*error));
  }
}

// The range edits take effect only through the range buttons and Auto.
void IspPage::lbledISPStartKeyDown() {}

void IspPage::btnUSBISPAutoClick() {
  switch (seq_.AutoButtonAction()) {
    case ClickAction::kIgnore:
      return;
    case ClickAction::kStop:
      btnUSBISPAuto->setText(ToQString(kCaptionAuto));
      seq_.RequestStop();
      return;
    case ClickAction::kStart:
      break;
  }
  Dialogs& dialogs = context_.dialogs();
  if (!context_.link().IsPresent()) {
    dialogs.Inform(ToQString(kDialogTitle), ToQString(kNoDeviceText));
    return;
  }
  FirmwareImages& images = context_.images();
  switch (seq_.AutoPrecondition(images.ProgramFileReady,
                                context_.history().CurrentText().toStdString())) {
    case AutoBlocker::kNone:
      break;
    case AutoBlocker::kNoDevice:
      dialogs.Inform(ToQString(kDialogTitle), ToQString(kNoDeviceText));
      return;
    case AutoBlocker::kFileNotReady:
      dialogs.Inform(ToQString(kDialogTitle), ToQString(kFileNotReadyText));
      return;
  }
  AutoOptions options;
  options.isp_mode = chkISPMode->isChecked();
  options.erase = chkErase->isChecked();
  options.blank = chkBlank->isChecked();
  options.program = chkProgram->isChecked();
  options.verify = chkVerify->isChecked();
  options.protect = chkProtect->isChecked();
  options.all_range = rbnRange0->isChecked();
  if (!options.all_range) {
    for (auto [edit, value] : {std::pair{lbledISPStart, &options.start_kb},
                               std::pair{lbledISPRange, &options.size_kb}}) {
      const auto parsed = ParseDecimal(edit->text());
      if (!parsed) {
        dialogs.ShowError(InvalidIntegerText(edit->text()));
        return;
      }
      *value = *parsed;
    }
  }
  if (chkReadFile->isChecked()) {
    const QString box_text = context_.history().CurrentText();
    if (!box_text.isEmpty()) images.ProgramFilePath = PathFromText(box_text);
    ReadProgramFile();
    // A reload that failed has left nothing worth programming; erasing the
    // flash for it would leave the device without firmware.
    if (!images.ProgramFileReady) return;
  }
  if (!seq_.BeginAuto()) return;
  context_.NoteDeviceBusy();
  btnUSBISPAuto->setText(ToQString(kCaptionStop));
  seq_.RunAuto(options);
  btnUSBISPAuto->setText(ToQString(kCaptionAuto));
  context_.NoteDeviceBusy();
}

void IspPage::ReadProgramFile() {
  FirmwareImages& images = context_.images();
  if (images.ProgramFilePath.empty()) {
    context_.dialogs().Inform("Dialog", ToQString(kFileNotReadyText));
    images.ProgramFileReady = false;
    return;
  }
  AddToFileHistory();
  const LoadResult result = LoadImageFile(images.ProgramFilePath, *images.Image);
  lblUSBChecksum->setText(QString::fromStdString(ChecksumText(result.checksum)));
  // Only a file that really loaded counts as ready; a refused one says why.
  images.ProgramFileReady = result.ok;
  if (!result.ok) lblUSBProcessInfo->setText(QString::fromStdString(result.message));
}

void IspPage::AddToFileHistory() {
  context_.history().Add(TextFromPath(context_.images().ProgramFilePath));
}

void IspPage::btnSaveBinClick() { context_.images().CopyDefaultBlock(); }

void IspPage::ShowProcessInfo(const QString& text) { lblUSBProcessInfo->setText(text); }

void IspPage::ShowProcessAddress(const QString& text) { lblUSBISPProcess->setText(text); }

void IspPage::ShowStatusRegister(const QString& text) { lblUSBISPStatusReg->setText(text); }

}  // namespace korvalen
