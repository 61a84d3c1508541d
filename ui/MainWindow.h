// The main window: the compact updater panel (device line, file line,
// status square, Start, progress, verdict, notice) and the device search,
// above six engineering pages that start-up hides. Each page is a class of
// its own built from a PageContext; the window implements the flash view
// once and forwards the ISP page's walk labels to that page.
#pragma once

#include <QWidget>
#include <memory>
#include <string>

#include "flash/DeviceDetection.h"
#include "flash/FlashOperations.h"
#include "flash/FlashView.h"
#include "flash/UpdateProgress.h"
#include "flash/UpdateWording.h"
#include "image/LoadResult.h"
#include "link/Clock.h"
#include "link/NorvaneUsb.h"
#include "ui/Dialogs.h"
#include "ui/PageContext.h"
#include "ui/TopPanel.h"

class QLabel;
class QScrollArea;
class QShortcut;
class QTabWidget;
class QTimer;

namespace korvalen {

class GenBinPage;
class I2cPage;
class InformationPage;
class IspPage;
class ParameterPage;
class RegisterPage;
class UpdateSequences;

class MainWindow : public QWidget, public WordingView {
  Q_OBJECT

 public:
  // The link, clock and dialogs outlive the window; main() owns them.
  MainWindow(NorvaneUsb& link, Clock& clock, Dialogs& dialogs, QWidget* parent = nullptr);
  ~MainWindow() override;

  // --- What a program driving the window uses (the demo's scripted runs,
  // the installation check). Everything else is the window's own.
  // Stops the detection timer: the caller then runs each tick itself.
  void StopDetectionTimer();
  // Runs one detection tick now, as the timer would.
  void RunDetectionTick() { Timer1Timer(); }
  // How long the timer waits before the next tick.
  int DetectionIntervalMs() const;
  // Start can be pressed: a device is there and its file is ready.
  bool StartEnabled() const;
  // Presses Start as a person would; returns once the update it began has
  // ended (or at once, when Start was not enabled).
  void ClickStart();
  // A sequence runs (detection pauses), and the one-click update has ended
  // (detection stops for the rest of the run).
  bool SequenceBusy() const;
  bool UpdateFinished() const;
  // True while the one-click update, Auto or a single flash operation holds
  // the link; the pages ask the same through their context.
  bool DeviceBusy() const;

  // --- Engineering view (ui/EngineeringView.cpp) ----------------------------
  // Shows the page control below the compact panel and grows the window to
  // hold it; off returns to the compact updater exactly as start-up left it.
  void SetEngineeringView(bool on);
  bool EngineeringView() const { return engineering_view_; }
  void ToggleEngineeringView() { SetEngineeringView(!engineering_view_); }

  // --- State the pages share ------------------------------------------------
  bool DetectEnabled = false;
  // The device search: the identity tried, the model row, whether the
  // model's file was found.
  const DeviceDetection& Detection() const { return detection_; }
  FirmwareImages& Images() { return images_; }
  PageContext& Context() { return *context_; }
  FlashOperations& Flash() { return *ops_; }
  // The status square's background colour.
  QColor StatusSquareColour() const;

  // --- Top panel ---------------------------------------------------------------
  std::unique_ptr<TopPanel> Panel;
  QTimer* Timer1 = nullptr;
  // Ctrl+Shift+E shows or hides the pages below the compact panel.
  QShortcut* EngineeringShortcut = nullptr;

  // --- Pages -----------------------------------------------------------------
  // The page control, inside a scroll area below the compact panel.
  QScrollArea* PagesScroll = nullptr;
  QTabWidget* MainPageControl = nullptr;
  QWidget* TabSheet1 = nullptr;  // Register
  QWidget* tabI2CAccess = nullptr;
  QWidget* tabISP = nullptr;
  QWidget* tabParameter = nullptr;
  QWidget* tabInformation = nullptr;
  QWidget* tabGenBinFile = nullptr;
  // Built in this order: the I2C page builds into the Information page's
  // "Special I2C access" group.
  std::unique_ptr<IspPage> IspPg;
  std::unique_ptr<RegisterPage> RegisterPg;
  std::unique_ptr<InformationPage> InformationPg;
  std::unique_ptr<I2cPage> I2cPg;
  std::unique_ptr<ParameterPage> ParameterPg;
  std::unique_ptr<GenBinPage> GenBinPg;

 public Q_SLOTS:
  void FormCreate();
  void Timer1Timer();
  void chkDetectUSBClick();
  void lbledtVIDPIDKeyDown();
  void USBLoadFileBitBtnClick();
  void ReadProgramFile1();
  void GetFWVersion();
  void btnSimpleAutoClick();
  // A file chosen on a page has been loaded into the update's image (or
  // failed to): the file line names it or says why it is unusable, and
  // Start follows it.
  void ShowImageFile(const korvalen::LoadResult& result);

 Q_SIGNALS:
  // A new text on the main panel's progress line, device line or file line.
  void ProgressShown(const QString& text);
  // A notice shown below the progress line.
  void NoticeShown(const QString& text);
  // The one-click update's verdict, as it is shown.
  void VerdictShown(korvalen::Verdict verdict);
  void DeviceLineShown(const QString& text);
  void FileLineShown(const QString& text);
  // A detection tick has run.
  void DetectionTicked();

 protected:
  void closeEvent(QCloseEvent* event) override;  // FormClose

 private:
  void BuildTopPanel();
  void BuildPages();
  void BuildEngineeringView();
  bool PageBuilt(QWidget* tab) const;
  // The height the pages get below the compact panel on this screen.
  int RoomForPages() const;
  void HideEngineeringTabs();
  void SetDeviceLine(const QString& text);
  void SetFileLine(const QString& text);
  void ShowDetectionOutcome(const DetectionTick& tick);

  // FlashView, worded by WordingView: the labels of the ISP page and the
  // main panel.
  void ShowProcessInfo(std::string_view text) override;
  void ShowProcessAddress(std::string_view text) override;
  void ShowStatusRegister(std::string_view text) override;
  void ShowUpdateStatus(std::string_view text) override;
  void SetUpdateStatusStyle(StatusColour colour, StatusSize size) override;
  void ShowUpdateNotice(std::string_view text) override;
  void PumpMessages() override;
  void NoteProgress(ProgressStep step, uint64_t done, uint64_t total) override;
  void VerdictReached(const UpdateVerdict& verdict) override;

  NorvaneUsb& link_;
  Clock& clock_;
  Dialogs& dialogs_;
  FirmwareImages images_;
  // The flash operations and sequences wait on this clock, which keeps the
  // window answering through their long waits (the retry pause, a read that
  // never becomes ready): it pumps whenever this long has passed without a
  // pump. The pages wait on clock_ itself; their short waits stay unpumped
  // so no click can run in the middle of a page's mailbox exchange.
  static constexpr uint32_t kWaitPumpIntervalMs = 10;
  PumpingClock flash_clock_;
  std::unique_ptr<FlashOperations> ops_;
  std::unique_ptr<UpdateSequences> seq_;
  DeviceDetection detection_;
  std::unique_ptr<FileHistory> history_;
  std::unique_ptr<PageContext> context_;
  std::unique_ptr<UpdateProgress> progress_;  // while the one-click update runs
  bool engineering_view_ = false;
  QSize compact_size_;
};

}  // namespace korvalen
