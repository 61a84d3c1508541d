// Start-up, the top panel and device detection.
#include "ui/MainWindow.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QCoreApplication>
#include <QGroupBox>
#include <QGuiApplication>
#include <QHeaderView>
#include <QLabel>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QScrollArea>
#include <QTabWidget>
#include <QTableWidget>
#include <QTimer>
#include <algorithm>

#include "flash/UpdateSequences.h"
#include "link/DeviceAccess.h"
#include "link/DeviceSettings.h"
#include "link/ModelTable.h"
#include "link/Registers.h"
#include "ui/FixedTexts.h"
#include "ui/GenBinPage.h"
#include "ui/HexGrid.h"
#include "ui/I2cPage.h"
#include "ui/InformationPage.h"
#include "ui/IspPage.h"
#include "ui/LabeledEdit.h"
#include "ui/ParameterPage.h"
#include "ui/RegisterPage.h"
#include "ui/ScreenDpi.h"

namespace korvalen {
namespace {

constexpr int kBaseWidth = 606;
constexpr int kBaseHeight = 200;
// Extra room for the wider text of a high-resolution screen.
constexpr int kHighDpi = 120;
constexpr int kHighDpiAllowance = 140;

}  // namespace

MainWindow::MainWindow(NorvaneUsb& link, Clock& clock, Dialogs& dialogs, QWidget* parent)
    : QWidget(parent),
      link_(link),
      clock_(clock),
      dialogs_(dialogs),
      flash_clock_(
          clock, [this] { PumpMessages(); }, kWaitPumpIntervalMs),
      ops_(std::make_unique<FlashOperations>(link, flash_clock_, *this, images_.Image->bytes,
                                             images_.Image->length)),
      seq_(std::make_unique<UpdateSequences>(link, flash_clock_, *this, *ops_)),
      detection_(link) {
  setObjectName("Form1");
  setWindowTitle("NorVane USB Maintain Tool");
  BuildTopPanel();
  history_ = std::make_unique<FileHistory>(*Panel->cbxReadISPFile);
  context_ = std::make_unique<PageContext>(link, clock, dialogs, images_, *history_,
                                           [this] { return DeviceBusy(); });
  connect(context_.get(), &PageContext::ImageChanged, this, &MainWindow::ShowImageFile);
  BuildPages();
  Timer1 = new QTimer(this);
  Timer1->setObjectName("Timer1");
  Timer1->setInterval(static_cast<int>(detection_.interval_ms()));
  connect(Timer1, &QTimer::timeout, this, &MainWindow::Timer1Timer);
  FormCreate();
  Timer1->start();
}

MainWindow::~MainWindow() = default;

void MainWindow::BuildTopPanel() {
  Panel = std::make_unique<TopPanel>(this);
  TopPanel& p = *Panel;
  connect(p.chkDetectUSB, &QCheckBox::toggled, this, &MainWindow::chkDetectUSBClick);
  connect(p.lbledtVID, &LabeledEdit::EnterPressed, this, &MainWindow::lbledtVIDPIDKeyDown);
  connect(p.lbledtPID, &LabeledEdit::EnterPressed, this, &MainWindow::lbledtVIDPIDKeyDown);
  connect(p.USBLoadFileBitBtn, &QPushButton::clicked, this, &MainWindow::USBLoadFileBitBtnClick);
  connect(p.btnSimpleAuto, &QPushButton::clicked, this, &MainWindow::btnSimpleAutoClick);
}

void MainWindow::BuildPages() {
  // The pages scroll inside the window when the screen has no room for
  // all of them (a small screen, or a large scale).
  PagesScroll = new QScrollArea(this);
  PagesScroll->setObjectName("PagesScroll");
  PagesScroll->setFrameShape(QFrame::NoFrame);
  PagesScroll->hide();
  MainPageControl = new QTabWidget;
  MainPageControl->setObjectName("MainPageControl");
  MainPageControl->resize(600, 480);
  const std::pair<QWidget**, const char*> pages[] = {{&TabSheet1, "Register"},
                                                     {&tabI2CAccess, "I2C Access"},
                                                     {&tabISP, "ISP"},
                                                     {&tabParameter, "Parameter"},
                                                     {&tabInformation, "Information"},
                                                     {&tabGenBinFile, "Gen. Bin File"}};
  const char* names[] = {"TabSheet1",    "tabI2CAccess",   "tabISP",
                         "tabParameter", "tabInformation", "tabGenBinFile"};
  int i = 0;
  for (const auto& [page, caption] : pages) {
    *page = new QWidget(MainPageControl);
    (*page)->setObjectName(names[i++]);
    MainPageControl->addTab(*page, caption);
  }
  PageContext& context = *context_;
  IspPg = std::make_unique<IspPage>(context, *ops_, *seq_, tabISP);
  RegisterPg = std::make_unique<RegisterPage>(context, TabSheet1);
  InformationPg = std::make_unique<InformationPage>(context, tabInformation);
  I2cPg = std::make_unique<I2cPage>(context, tabI2CAccess, InformationPg->GroupBox7);
  // Choosing the I2C Access page sets the I2C controller up on the device.
  connect(MainPageControl, &QTabWidget::currentChanged, this, [this](int index) {
    if (MainPageControl->widget(index) == tabI2CAccess) I2cPg->MainPageControlChange();
  });
  ParameterPg = std::make_unique<ParameterPage>(context, tabParameter);
  GenBinPg = std::make_unique<GenBinPage>(context, tabGenBinFile);
  PagesScroll->setWidget(MainPageControl);
  BuildEngineeringView();
}

void MainWindow::FormCreate() {
  // The extra room is for text the system draws larger at 120 dpi and up.
  // Where the toolkit scales the whole window itself (its own scaling, or
  // a manifest that makes the program DPI-aware), the text already has its
  // room: only the resolution left after that scaling counts.
  const QScreen* shown_on = screen();
  const qreal scaled = shown_on != nullptr ? shown_on->devicePixelRatio() : 1.0;
  const int allowance = HorizontalDotsPerInch() / scaled >= kHighDpi ? kHighDpiAllowance : 0;

  setWindowTitle(kWindowCaption);
  IspPg->ApplyIspDefaults();

  for (QTableWidget* grid : {RegisterPg->RegStringGrid1, I2cPg->StringGridMIIC}) {
    FillHexGridHeaders(grid);
  }
  MainPageControl->setCurrentWidget(TabSheet1);

  DetectEnabled = false;  // no sequence runs yet: SequenceBusy starts false
  Panel->lbledtVID->setText("5e1a");
  Panel->lbledtPID->setText("f800");
  Panel->chkDetectUSB->setChecked(true);
  ParameterPg->DeviceSettings = kStartupDeviceSettings;
  ParameterPg->ShowDeviceSettings();
  Panel->lbledtVID->setText("5e1a");
  Panel->lbledtPID->setText("f800");

  HideEngineeringTabs();

  setFixedSize(kBaseWidth + allowance, kBaseHeight + allowance);
  IspPg->SetIspSequenceControlsVisible(false);
  Panel->ApplyStartUpLayout(width());
  IspPg->btnSaveBinClick();
}

void MainWindow::Timer1Timer() {
  const DetectionTick tick = detection_.Tick({.enabled = DetectEnabled,
                                              .update_finished = UpdateFinished(),
                                              .sequence_busy = SequenceBusy()});
  if (tick.found == DetectionFound::kIdle) {
    Q_EMIT DetectionTicked();
    return;
  }
  Timer1->setInterval(static_cast<int>(tick.next_interval_ms));
  if (tick.searched) {
    SetFileLine("No Updated File !");
    Panel->SetProgressLine("");
  }
  ShowDetectionOutcome(tick);
  Q_EMIT DetectionTicked();
}

void MainWindow::StopDetectionTimer() { Timer1->stop(); }

int MainWindow::DetectionIntervalMs() const { return Timer1->interval(); }

void MainWindow::ShowDetectionOutcome(const DetectionTick& tick) {
  Panel->ShowAccessAdvice(tick.found == DetectionFound::kAccessDenied);
  switch (tick.found) {
    case DetectionFound::kIdle:
      return;
    case DetectionFound::kNothing:
    case DetectionFound::kAccessDenied:
    case DetectionFound::kInUse:
      // A device that refuses this user, or that another program is working
      // with, cannot be updated: no file, no Start.
      Panel->SetStatusSquare(palette().color(QPalette::Button));
      if (tick.found == DetectionFound::kInUse) {
        SetDeviceLine(
            QString::fromStdString(DeviceDisplayName(tick.device_id) + ": " + tick.in_use_text));
      } else if (tick.found == DetectionFound::kAccessDenied) {
        SetDeviceLine(QString::fromStdString(AccessDeniedMessage(tick.device_id)));
      } else {
        SetDeviceLine("No device is available");
      }
      Panel->btnSimpleAuto->setEnabled(false);
      return;
    case DetectionFound::kModel:
      SetDeviceLine(QString("Find Device ") + ModelTable[tick.model_row].display_name);
      break;
    case DetectionFound::kUpdate5E1A:
      SetDeviceLine("Firmware update device 5E1A is exist");
      break;
    case DetectionFound::kUpdate0C3D:
      SetDeviceLine("Firmware update device 0C3D is exist");
      break;
  }
  if (tick.load_file) ReadProgramFile1();
}

void MainWindow::SetDeviceLine(const QString& text) {
  if (Panel->SetDeviceLine(text)) Q_EMIT DeviceLineShown(text);
}

void MainWindow::SetFileLine(const QString& text) {
  if (Panel->SetFileLine(text)) Q_EMIT FileLineShown(text);
}

QColor MainWindow::StatusSquareColour() const { return Panel->StatusSquareColour(); }

void MainWindow::chkDetectUSBClick() {
  if (Panel->chkDetectUSB->isChecked()) {
    DetectEnabled = true;
    Panel->lbledtVID->setEnabled(false);
    Panel->lbledtPID->setEnabled(false);
    return;
  }
  DetectEnabled = false;
  Panel->SetStatusSquare(QColor(128, 128, 128));
  Panel->lbledtVID->setEnabled(true);
  Panel->lbledtPID->setEnabled(true);
  link_.ClearPresent();
}

// The edits keep what was typed; detection never reads them.
void MainWindow::lbledtVIDPIDKeyDown() {}

void MainWindow::GetFWVersion() {
  const FirmwareVersion version = ReadFirmwareVersion(link_);
  Panel->lblFWVer->setText(
      QString("Current Firmware:V%1.%2").arg(version.major).arg(version.minor));
  FitLabelToText(Panel->lblFWVer);
}

void MainWindow::closeEvent(QCloseEvent* event) {
  if (SequenceBusy()) {
    // Closing now would leave the flash half written and the chip in ISP mode.
    // Shown without a modal loop of its own: the sequence that is running
    // pumps this very event loop and must go on while the box is up.
    dialogs_.Notify("Dialog", "A firmware update is running. Please wait until it has finished.");
    event->ignore();
    return;
  }
  if (link_.IsPresent()) link_.Close();
  event->accept();
}

}  // namespace korvalen
