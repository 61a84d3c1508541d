// What the main window hands each engineering page: the link, the clock,
// the dialogs, the firmware images, the file history, the I2C slave address
// the I2C pages share, and whether the device is busy with an update. A page
// is built from this and its own tab; it never sees the main window.
#pragma once

#include <QObject>
#include <QString>
#include <filesystem>
#include <functional>
#include <memory>

#include "flash/I2cAccess.h"
#include "image/FirmwareImage.h"
#include "image/LoadResult.h"
#include "link/Clock.h"
#include "link/NorvaneUsb.h"
#include "ui/Dialogs.h"

class QComboBox;

namespace korvalen {

// The image an update programs, the Gen. Bin File page's working copy, and
// the files they came from. Heap-held: 256 KiB each.
struct FirmwareImages {
  std::unique_ptr<FirmwareImage> Image = std::make_unique<FirmwareImage>();
  std::unique_ptr<FirmwareImage> ModifyImage = std::make_unique<FirmwareImage>();
  std::filesystem::path ProgramFilePath;
  std::filesystem::path ModifyFilePath;
  // Only a file that really loaded into Image counts as ready.
  bool ProgramFileReady = false;

  // The Save buttons: the erased default block into the working copy, and
  // into the update's image while that holds no file.
  void CopyDefaultBlock();
};

// The list of files the ISP page has loaded, shown in the main panel's
// (hidden) history box; its edit text is the file Auto reloads.
class FileHistory {
 public:
  // The box outlives this object.
  explicit FileHistory(QComboBox& box) : box_(box) {}
  // Adds the text once and makes it the current one.
  void Add(const QString& shown);
  QString CurrentText() const;

 private:
  QComboBox& box_;
};

class PageContext : public QObject {
  Q_OBJECT

 public:
  // All of it outlives the pages. device_busy answers DeviceBusy().
  PageContext(NorvaneUsb& link, Clock& clock, Dialogs& dialogs, FirmwareImages& images,
              FileHistory& history, std::function<bool()> device_busy);

  NorvaneUsb& link() const { return link_; }
  Clock& clock() const { return clock_; }
  Dialogs& dialogs() const { return dialogs_; }
  FirmwareImages& images() const { return images_; }
  FileHistory& history() const { return history_; }
  // The slave address the I2C Access page and the "Special I2C access"
  // group share, with the slave shadow and their transactions.
  I2cSlaveAccess& i2c() { return i2c_; }

  // True while the one-click update, Auto or a single flash operation holds
  // the link. The sequences pump messages, so page clicks get through; a
  // page handler's own Open/Close would take the handle from under the
  // update, so every page handler that talks to the device returns at once.
  bool DeviceBusy() const { return device_busy_(); }
  // Called by the main window wherever the answer may have changed (each
  // message pump of a running update, its start and its end); emits
  // DeviceBusyChanged when it did.
  void NoteDeviceBusy();
  // Lets pending window input run (a Stop press between two reads).
  void ProcessPendingInput();

  // A page loaded a file into images().Image (or failed to).
  void NoteImageChanged(const LoadResult& result) { Q_EMIT ImageChanged(result); }

 Q_SIGNALS:
  void DeviceBusyChanged(bool busy);
  // The update's image holds a new file, or a failed load erased it: the
  // main panel's file line and Start follow it.
  void ImageChanged(const korvalen::LoadResult& result);

 private:
  NorvaneUsb& link_;
  Clock& clock_;
  Dialogs& dialogs_;
  FirmwareImages& images_;
  FileHistory& history_;
  I2cSlaveAccess i2c_;
  std::function<bool()> device_busy_;
  bool busy_shown_ = false;
};

}  // namespace korvalen
