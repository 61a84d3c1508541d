// The Gen. Bin File page. Current File loads the chosen image into the
// update's image and the working copy, then looks for the descriptor table.
#include "ui/GenBinPage.h"

#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

#include "image/TableMarker.h"
#include "image/UpdateFile.h"
#include "ui/LabeledEdit.h"
#include "ui/PageContext.h"
#include "ui/PathFromText.h"

namespace korvalen {
namespace {

const char kOpenFilter[] = "Hex File (*.hex *.h00);;Binary File (*.bin)";
const char kSaveFilter[] = "Binary File (*.bin)";
const char kLoadReady[] = "Load file ready";
const char kLoadInvalid[] = "Load file is invalid for modify";

QPushButton* MakeButton(QWidget* parent, const char* name, const char* caption, int x, int y) {
  auto* button = new QPushButton(caption, parent);
  button->setObjectName(name);
  button->setGeometry(x, y, 110, 26);
  return button;
}

QLabel* MakeText(QWidget* parent, const char* name, const char* caption, int x, int y, int w) {
  auto* label = new QLabel(caption, parent);
  label->setObjectName(name);
  label->setGeometry(x, y, w, 20);
  return label;
}

QLineEdit* MakeStringRow(QWidget* group, const char* label_name, const char* caption,
                         const char* name, const char* text, int y) {
  MakeText(group, label_name, caption, 10, y + 2, 110);
  auto* edit = new QLineEdit(text, group);
  edit->setObjectName(name);
  edit->setGeometry(124, y, 300, 24);
  return edit;
}

}  // namespace

GenBinPage::GenBinPage(PageContext& context, QWidget* tab) : context_(context) { Build(tab); }

void GenBinPage::Build(QWidget* tab) {
  Label13 =
      MakeText(tab, "Label13", "Modify User parameter and save to new Binary File", 8, 8, 500);
  CurrentFileBitBtn = MakeButton(tab, "CurrentFileBitBtn", "Current File", 8, 34);
  lblCurrentFilePath = MakeText(tab, "lblCurrentFilePath", "...", 126, 37, 450);
  btnCheck = MakeButton(tab, "btnCheck", "Check", 8, 66);
  btnCheck->setEnabled(false);
  lblStatusReport = MakeText(tab, "lblStatusReport", "", 126, 69, 250);
  lblSaveDone = MakeText(tab, "lblSaveDone", "", 380, 69, 190);
  lblModifyFileNote = MakeText(tab, "lblModifyFileNote", "", 8, 96, 570);

  GroupBox9 = new QGroupBox("User information New Setting ", tab);
  GroupBox9->setObjectName("GroupBox9");
  GroupBox9->setGeometry(8, 120, 570, 230);
  GroupBox9->setEnabled(false);
  labedtNewVID = new LabeledEdit("labedtNewVID", "VID:", "5E1A", GroupBox9);
  labedtNewVID->setGeometry(10, 24, 130, 24);
  labedtNewPID = new LabeledEdit("labedtNewPID", "PID:", "6012", GroupBox9);
  labedtNewPID->setGeometry(160, 24, 130, 24);
  edtNewStr0 = MakeStringRow(GroupBox9, "Label9", "Manufacture:", "edtNewStr0", "Norvane-inc", 56);
  edtNewStr1 =
      MakeStringRow(GroupBox9, "Label10", "Product Name:", "edtNewStr1", "Norvane-inc UAC22", 86);
  edtNewStr2 =
      MakeStringRow(GroupBox9, "Label11", "Serial Number:", "edtNewStr2", "NVUA170405", 116);
  edtNewStr3 = MakeStringRow(GroupBox9, "Label12", "Play Port:", "edtNewStr3",
                             "Primary Play Interface", 146);
  edtNewStr4 =
      MakeStringRow(GroupBox9, "Label14", "Record Port:", "edtNewStr4", "Record Interface", 176);

  btnSaveBitBin = MakeButton(tab, "btnSaveBitBin", "New File", 8, 360);
  btnSaveBitBin->setEnabled(false);
  lblSaveBinPath = MakeText(tab, "lblSaveBinPath", "...", 126, 363, 450);
  btnSaveBin = MakeButton(tab, "btnSaveBin", " Save", 8, 392);
  btnSaveBin->setEnabled(false);

  connect(CurrentFileBitBtn, &QPushButton::clicked, this, &GenBinPage::CurrentFileBitBtnClick);
  connect(btnCheck, &QPushButton::clicked, this, &GenBinPage::btnCheckClick);
  connect(btnSaveBitBin, &QPushButton::clicked, this, &GenBinPage::btnSaveBitBinClick);
  connect(btnSaveBin, &QPushButton::clicked, this, &GenBinPage::btnSaveBinClick);
}

void GenBinPage::CurrentFileBitBtnClick() {
  // The load replaces the image an update programs; not while one runs.
  if (context_.DeviceBusy()) {
    lblModifyFileNote->setText("A firmware update is running: no file was loaded.");
    return;
  }
  const auto path = context_.dialogs().AskOpenFile(kOpenFilter, "hex");
  if (!path) return;
  context_.images().ModifyFilePath = PathFromText(*path);
  ReadModifyFile();
  if (FindTableMarker()) {
    GroupBox9->setEnabled(true);
    btnSaveBitBin->setEnabled(true);
    lblStatusReport->setText(kLoadReady);
  } else {
    lblStatusReport->setText(kLoadInvalid);
  }
}

void GenBinPage::ReadModifyFile() {
  FirmwareImages& images = context_.images();
  lblCurrentFilePath->setText(TextFromPath(images.ModifyFilePath));
  // Into the update's image, on purpose: the ISP page's "All" range then
  // programs this file, and the main panel's file line says so.
  const LoadResult result = LoadImageFile(images.ModifyFilePath, *images.Image);
  context_.NoteImageChanged(result);
  lblModifyFileNote->setText(QString::fromStdString(result.message));
  FirmwareImage& modify = *images.ModifyImage;
  if (result.ok) {
    std::copy_n(images.Image->bytes.begin(), images.Image->length, modify.bytes.begin());
    modify.length = images.Image->length;
  } else {
    // Nothing of the chosen file is in the image; the old image is not it.
    modify.length = 0;
  }
  btnCheck->setEnabled(true);
}

bool GenBinPage::FindTableMarker() {
  return korvalen::FindTableMarker(*context_.images().ModifyImage).has_value();
}

void GenBinPage::btnCheckClick() {
  lblSaveDone->setText("");
  if (FindTableMarker()) GroupBox9->setEnabled(true);
}

void GenBinPage::btnSaveBitBinClick() {
  const auto path = context_.dialogs().AskSaveFile(kSaveFilter, "bin");
  if (!path) return;
  NewBinFilePath = PathFromText(*path);
  lblSaveBinPath->setText(*path);
  btnSaveBin->setEnabled(true);
}

void GenBinPage::btnSaveBinClick() { context_.images().CopyDefaultBlock(); }

}  // namespace korvalen
