// The main window: a compact updater panel on top of six engineering pages
// that start-up hides. The class is split over one source file per page;
// this file declares all of it.
#pragma once

#include <QWidget>
#include <array>
#include <filesystem>
#include <memory>
#include <string>

#include "flash/DeviceDetection.h"
#include "flash/FlashOperations.h"
#include "flash/FlashView.h"
#include "flash/UpdateWording.h"
#include "flash/UpdateProgress.h"
#include "image/FirmwareImage.h"
#include "image/LoadResult.h"
#include "link/Clock.h"
#include "link/NorvaneUsb.h"
#include "ui/Dialogs.h"

class QCheckBox;
class QComboBox;
class QFrame;
class QGroupBox;
class QLabel;
class QLineEdit;
class QProgressBar;
class QPushButton;
class QRadioButton;
class QShortcut;
class QTableWidget;
class QTabWidget;
class QTimer;

namespace korvalen {

class LabeledEdit;
class UpdateSequences;
// The engineering pages, one source file each (ui/<Name>.cpp).
class RegisterPage;
class I2cPage;
class ParameterPage;
class InformationPage;
class GenBinPage;

// Sizes a label to its text, as the window's labels do after every change.
void FitLabelToText(QLabel* label);

// Resolution of the update's progress bar.
inline constexpr int kProgressSteps = 1000;

class TForm1 : public QWidget, public WordingView {
  Q_OBJECT

 public:
  // The link, clock and dialogs outlive the window; main() owns them.
  TForm1(NorvaneUsb& link, Clock& clock, Dialogs& dialogs, QWidget* parent = nullptr);
  ~TForm1() override;

  // --- Detection state -------------------------------------------------------
  bool DetectEnabled = false;
  // The device search: the identity tried, the model row, whether the
  // model's file was found.
  const DeviceDetection& Detection() const { return detection_; }
  // Kept by the update sequences: a sequence runs (detection pauses), and the
  // one-click update has ended (detection stops for the rest of the run).
  bool SequenceBusy() const;
  bool UpdateFinished() const;

  // --- Firmware image --------------------------------------------------------
  // Heap-held: 256 KiB each is too much for the window object's neighbours.
  std::unique_ptr<FirmwareImage> Image;        // FirmwareImage + FirmwareImageLength
  std::unique_ptr<FirmwareImage> ModifyImage;  // the Gen. Bin File page's working copy
  std::filesystem::path ProgramFilePath;
  std::filesystem::path ModifyFilePath;
  bool ProgramFileReady = false;
  std::array<uint8_t, 4> DeviceSettings{};  // the Parameter page's settings block

  // --- Top panel ---------------------------------------------------------------
  QFrame* pnlUSB = nullptr;
  QLabel* lblDetectDevice = nullptr;
  QLabel* lblUpdaeFileStatus = nullptr;
  QLabel* lblISPProcStatus = nullptr;
  // Below the progress line: what to do when the device may still be in
  // update mode. Hidden while empty.
  QLabel* lblISPProcNotice = nullptr;
  // Under the progress line while the one-click update runs: how far it is
  // and the time left. Not part of the progress line's texts.
  QProgressBar* prbUpdate = nullptr;
  QLabel* lblUpdateTimeLeft = nullptr;
  QFrame* pnlUSBExist = nullptr;
  QPushButton* btnSimpleAuto = nullptr;
  QLabel* lblFWVer = nullptr;
  QCheckBox* chkDetectUSB = nullptr;
  LabeledEdit* lbledtVID = nullptr;
  LabeledEdit* lbledtPID = nullptr;
  QPushButton* USBLoadFileBitBtn = nullptr;
  QComboBox* cbxReadISPFile = nullptr;
  QLabel* Image1 = nullptr;
  QTimer* Timer1 = nullptr;

  // --- Pages -----------------------------------------------------------------
  QTabWidget* MainPageControl = nullptr;
  QWidget* TabSheet1 = nullptr;  // Register
  QWidget* tabI2CAccess = nullptr;
  QWidget* tabISP = nullptr;
  QWidget* tabParameter = nullptr;
  QWidget* tabInformation = nullptr;
  QWidget* tabGenBinFile = nullptr;
  QTableWidget* RegStringGrid1 = nullptr;
  QTableWidget* StringGridMIIC = nullptr;

  // Controls and state of each engineering page, built by its own file's
  // Make...Page. nullptr: the page is not built yet and its tab stays
  // disabled. Built in this order, so a page may use those before it.
  std::unique_ptr<RegisterPage> RegisterPg;        // ui/RegisterPage.cpp
  std::unique_ptr<InformationPage> InformationPg;  // ui/InformationPage.cpp
  std::unique_ptr<I2cPage> I2cPg;                  // ui/I2cPage.cpp
  std::unique_ptr<ParameterPage> ParameterPg;      // ui/ParameterPage.cpp
  std::unique_ptr<GenBinPage> GenBinPg;            // ui/GenBinPage.cpp

  // Ctrl+Shift+E shows or hides the pages below the compact panel.
  QShortcut* EngineeringShortcut = nullptr;

  // --- ISP page ----------------------------------------------------------------
  QGroupBox* GroupBox1 = nullptr;  // "Function Test"
  QPushButton* btnUSBChipID = nullptr;
  QPushButton* btnUSBReadStatus = nullptr;
  QPushButton* btnUSBWriteEnable = nullptr;
  QPushButton* btnUSBWriteDisable = nullptr;
  QPushButton* btnEnterISP = nullptr;
  QPushButton* btnUSBErase = nullptr;
  QPushButton* btnUSBBlank = nullptr;
  QPushButton* btnUSBProgram = nullptr;
  QPushButton* btnUSBVerify = nullptr;
  QPushButton* btnReadBack = nullptr;
  QLabel* lblUSBProcessInfo = nullptr;
  QLabel* lblUSBISPProcess = nullptr;
  QLabel* lblUSBISPStatusReg = nullptr;
  QLabel* lblUSBChipID = nullptr;
  QLabel* lblUSBStatus = nullptr;
  QLabel* lblUSBChecksum = nullptr;
  LabeledEdit* lbledtUSBWriteStatus = nullptr;
  QGroupBox* gbxISPRange = nullptr;
  QRadioButton* rbnRange0 = nullptr;
  QRadioButton* rbnRange1 = nullptr;
  LabeledEdit* lbledISPStart = nullptr;
  LabeledEdit* lbledISPRange = nullptr;
  QLabel* Label20 = nullptr;
  QLabel* Label21 = nullptr;
  QGroupBox* gbxFlashCMD = nullptr;
  QPushButton* btnUSBISPAuto = nullptr;
  QPushButton* Button1 = nullptr;  // " Save"
  QCheckBox* chkISPMode = nullptr;
  QCheckBox* chkErase = nullptr;
  QCheckBox* chkBlank = nullptr;
  QCheckBox* chkProgram = nullptr;
  QCheckBox* chkVerify = nullptr;
  QCheckBox* chkReadFile = nullptr;
  QCheckBox* chkProtect = nullptr;

  // The flash operation state and operations.
  FlashOperations& Flash() { return *ops_; }

  // A file chosen on a page has been loaded into Image (or failed to): the
  // file line names it or says why it is unusable, and Start follows it.
  void ShowImageFile(const LoadResult& result);

  // The status square's background colour.
  QColor StatusSquareColour() const;

  // --- Engineering view (ui/EngineeringView.cpp) ----------------------------
  // Shows the page control below the compact panel and grows the window to
  // hold it; off returns to the compact updater exactly as start-up left it.
  void SetEngineeringView(bool on);
  bool EngineeringView() const { return engineering_view_; }
  void ToggleEngineeringView() { SetEngineeringView(!engineering_view_); }

  // What the pages share with the window.
  NorvaneUsb& link() { return link_; }
  Clock& clock() { return clock_; }
  Dialogs& dialogs() { return dialogs_; }
  // True while the one-click update, Auto or a single flash operation holds
  // the link. The sequences pump messages, so page clicks get through; a
  // page handler's own Open/Close would take the handle from under the
  // update, so every page handler that talks to the device returns at once.
  bool UpdateOwnsDevice() const;
  // Lets pending window input run (a Stop press between two reads).
  void ProcessPendingInput() { PumpMessages(); }

 public Q_SLOTS:
  void FormCreate();
  void Timer1Timer();
  void chkDetectUSBClick();
  void lbledtVIDPIDKeyDown();
  void USBLoadFileBitBtnClick();
  void ReadProgramFile1();
  void ReadProgramFile();
  void AddToFileHistory();
  void GetFWVersion();
  void btnSaveBinClick();
  void ShowDeviceSettings();
  void btnSimpleAutoClick();
  void btnUSBISPAutoClick();
  void btnEnterISPClick();
  void btnUSBChipIDClick();
  void btnUSBReadStatusClick();
  void btnUSBWriteEnableClick();
  void btnUSBWriteDisableClick();
  void lbledtUSBWriteStatusKeyDown();
  void btnUSBEraseClick();
  void btnUSBBlankClick();
  void btnUSBProgramClick();
  void btnUSBVerifyClick();
  void btnReadBackClick();
  void rbnRangeClick();
  void lbledISPStartKeyDown();

 Q_SIGNALS:
  // A new text on the main panel's progress line, device line or file line.
  void ProgressShown(const QString& text);
  // A notice shown below the progress line.
  void NoticeShown(const QString& text);
  // The one-click update's verdict, as it is shown.
  void VerdictShown(korvalen::Verdict verdict);
  void DeviceLineShown(const QString& text);
  void FileLineShown(const QString& text);

 protected:
  void closeEvent(QCloseEvent* event) override;  // FormClose

 private:
  void BuildTopPanel();
  void BuildPages();
  void BuildIspPage(QWidget* page);
  void BuildEngineeringView();
  bool PageBuilt(QWidget* tab) const;
  void HideEngineeringTabs();
  void ApplyIspDefaults();
  void HideIspSequenceControls();
  void SetIspSequenceControlsVisible(bool visible);
  void SetStatusSquare(const QColor& colour);
  void SetDeviceLine(const QString& text);
  void ShowAccessAdvice(bool shown);
  void SetFileLine(const QString& text);

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
  void ShowDetectionOutcome(const DetectionTick& tick);

  NorvaneUsb& link_;
  Clock& clock_;
  Dialogs& dialogs_;
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
  std::unique_ptr<UpdateProgress> progress_;  // while the one-click update runs
  bool engineering_view_ = false;
  QSize compact_size_;
};

}  // namespace korvalen
