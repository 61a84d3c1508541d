#include "ui/PageContext.h"

#include <QComboBox>
#include <QCoreApplication>
#include <string>
#include <vector>

#include "image/FileHistory.h"

namespace korvalen {

void FirmwareImages::CopyDefaultBlock() {
  CopyDefaultImage(*ModifyImage);
  // The default block is erased flash. Once a file is in the image, copying
  // it in would make the next update program 32 KiB of 0xFF over the start
  // of that file while the file line still names it: a device that no
  // longer boots, reported as a success. Only an image that holds no file
  // (start-up, or a failed load) takes the block.
  if (Image->length == 0) CopyDefaultImage(*Image);
}

void FileHistory::Add(const QString& shown) {
  std::vector<std::string> entries;
  for (int i = 0; i < box_.count(); ++i) entries.push_back(box_.itemText(i).toStdString());
  if (AddToFileHistory(entries, shown.toStdString())) box_.addItem(shown);
  box_.setCurrentText(shown);
}

QString FileHistory::CurrentText() const { return box_.currentText(); }

PageContext::PageContext(NorvaneUsb& link, Clock& clock, Dialogs& dialogs, FirmwareImages& images,
                         FileHistory& history, std::function<bool()> device_busy)
    : link_(link),
      clock_(clock),
      dialogs_(dialogs),
      images_(images),
      history_(history),
      i2c_(link, clock),
      device_busy_(std::move(device_busy)) {}

void PageContext::NoteDeviceBusy() {
  const bool busy = DeviceBusy();
  if (busy == busy_shown_) return;
  busy_shown_ = busy;
  Q_EMIT DeviceBusyChanged(busy);
}

void PageContext::ProcessPendingInput() { QCoreApplication::processEvents(); }

}  // namespace korvalen
