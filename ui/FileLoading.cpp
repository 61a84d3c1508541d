// The update file: finding the model's file on detection, and the file line
// and Start after a page loaded a file of its own.
#include <QPushButton>
#include <filesystem>

#include "image/UpdateFile.h"
#include "link/ModelTable.h"
#include "ui/MainWindow.h"

namespace korvalen {
namespace {

const QColor kFileReadyGreen(0, 255, 0);

}  // namespace

void MainWindow::ReadProgramFile1() {
  std::error_code error;
  const std::filesystem::path directory = std::filesystem::current_path(error);
  FirmwareImage& image = *images_.Image;
  const LoadResult result =
      LoadUpdateFile(directory, ModelTable[detection_.model_row()].file_key, image);
  images_.ProgramFilePath = result.path;
  SetFileLine(QString::fromStdString(UpdateFileStatusText(result)));
  if (!result.ok) {
    // A file that failed to load has left an erased image behind: nothing
    // of it may be programmed.
    if (result.error != LoadError::kNotFound) images_.ProgramFileReady = false;
    Panel->btnSimpleAuto->setEnabled(false);
    return;
  }
  Panel->SetStatusSquare(kFileReadyGreen);
  Panel->btnSimpleAuto->setEnabled(true);
  detection_.SetFileFound(true);
  images_.ProgramFileReady = true;
}

void MainWindow::USBLoadFileBitBtnClick() { ReadProgramFile1(); }

void MainWindow::ShowImageFile(const LoadResult& result) {
  if (result.error == LoadError::kUnknownType) return;  // nothing was loaded
  SetFileLine(QString::fromStdString(UpdateFileStatusText(result)));
  // The chosen file stands until the device goes: detection must not load
  // the model's file over it while the line names this one.
  detection_.SetFileFound(true);
  if (!result.ok) {
    // The failed load left an erased image: nothing of it may be programmed.
    images_.ProgramFileReady = false;
    Panel->btnSimpleAuto->setEnabled(false);
    Panel->SetStatusSquare(palette().color(QPalette::Button));
    return;
  }
  if (link_.IsPresent()) {
    Panel->SetStatusSquare(kFileReadyGreen);
    Panel->btnSimpleAuto->setEnabled(true);
  }
}

}  // namespace korvalen
