// The update file: finding the model's file, loading a chosen file for the
// ISP page, the file history and the default image.
#include <QComboBox>
#include <QLabel>
#include <QPushButton>
#include <filesystem>
#include <vector>

#include "image/FileHistory.h"
#include "image/UpdateFile.h"
#include "link/ModelTable.h"
#include "ui/PathFromText.h"
#include "ui/Unit1.h"

namespace korvalen {
namespace {

constexpr char kProgramFileNotReady[] = "Program File Not Ready !!    ";
const QColor kFileReadyGreen(0, 255, 0);

}  // namespace

void TForm1::ReadProgramFile1() {
  std::error_code error;
  const std::filesystem::path directory = std::filesystem::current_path(error);
  const LoadResult result = LoadUpdateFile(directory, ModelTable[detection_.model_row()].file_key, *Image);
  ProgramFilePath = result.path;
  SetFileLine(QString::fromStdString(UpdateFileStatusText(result)));
  if (!result.ok) {
    // A file that failed to load has left an erased image behind: nothing
    // of it may be programmed.
    if (result.error != LoadError::kNotFound) ProgramFileReady = false;
    btnSimpleAuto->setEnabled(false);
    return;
  }
  SetStatusSquare(kFileReadyGreen);
  btnSimpleAuto->setEnabled(true);
  detection_.SetFileFound(true);
  ProgramFileReady = true;
}

void TForm1::ReadProgramFile() {
  if (ProgramFilePath.empty()) {
    dialogs_.Inform("Dialog", kProgramFileNotReady);
    ProgramFileReady = false;
    return;
  }
  AddToFileHistory();
  const LoadResult result = LoadImageFile(ProgramFilePath, *Image);
  lblUSBChecksum->setText(QString::fromStdString(ChecksumText(result.checksum)));
  // Only a file that really loaded counts as ready; a refused one says why.
  ProgramFileReady = result.ok;
  if (!result.ok) lblUSBProcessInfo->setText(QString::fromStdString(result.message));
}

void TForm1::AddToFileHistory() {
  std::vector<std::string> history;
  for (int i = 0; i < cbxReadISPFile->count(); ++i) {
    history.push_back(cbxReadISPFile->itemText(i).toStdString());
  }
  const QString shown = TextFromPath(ProgramFilePath);
  if (korvalen::AddToFileHistory(history, shown.toStdString())) cbxReadISPFile->addItem(shown);
  cbxReadISPFile->setCurrentText(shown);
}

void TForm1::USBLoadFileBitBtnClick() { ReadProgramFile1(); }

void TForm1::ShowImageFile(const LoadResult& result) {
  if (result.error == LoadError::kUnknownType) return;  // nothing was loaded
  SetFileLine(QString::fromStdString(UpdateFileStatusText(result)));
  // The chosen file stands until the device goes: detection must not load
  // the model's file over it while the line names this one.
  detection_.SetFileFound(true);
  if (!result.ok) {
    // The failed load left an erased image: nothing of it may be programmed.
    ProgramFileReady = false;
    btnSimpleAuto->setEnabled(false);
    SetStatusSquare(palette().color(QPalette::Button));
    return;
  }
  if (link_.IsPresent()) {
    SetStatusSquare(kFileReadyGreen);
    btnSimpleAuto->setEnabled(true);
  }
}

void TForm1::btnSaveBinClick() {
  CopyDefaultImage(*ModifyImage);
  // The default block is erased flash. Once a file is in the image, copying
  // it in would make the next update program 32 KiB of 0xFF over the start
  // of that file while the file line still names it: a device that no
  // longer boots, reported as a success. Only an image that holds no file
  // (start-up, or a failed load) takes the block.
  if (Image->length == 0) CopyDefaultImage(*Image);
}

}  // namespace korvalen
