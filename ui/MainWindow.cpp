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
void FitLabelToText(QLabel* label) {
  // A wrapped label keeps the box it was given; any other one grows and
  // shrinks with its text, so no text is ever cut.
  if (!label->wordWrap()) label->adjustSize();
}

namespace {

constexpr int kBaseWidth = 606;
constexpr int kPanelWidth = 537;
constexpr int kPanelHeight = 120;
constexpr int kBaseHeight = 200;
// Extra room for the wider text of a high-resolution screen.
constexpr int kHighDpi = 120;
constexpr int kHighDpiAllowance = 140;
// The device line's room while it shows the access advice: up to the Start
// button, and down to the progress line.
constexpr int kAdviceWidth = 318;
constexpr int kAdviceHeight = 76;
// The notice below the progress line: the width of the panel's texts, and
// room for three wrapped lines (where the device stopped, and what to do).
constexpr int kNoticeWidth = 420;
constexpr int kNoticeHeight = 66;

QLabel* MakeLabel(QWidget* parent, const char* name, const QString& text, int pixel_size, int x,
                  int y) {
  auto* label = new QLabel(text, parent);
  label->setObjectName(name);
  if (pixel_size > 0) {
    QFont font = label->font();
    font.setPixelSize(pixel_size);
    label->setFont(font);
  }
  label->move(x, y);
  FitLabelToText(label);
  return label;
}

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
  history_ = std::make_unique<FileHistory>(*cbxReadISPFile);
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
  pnlUSB = new QFrame(this);
  pnlUSB->setObjectName("pnlUSB");
  pnlUSB->setAutoFillBackground(true);

  lblDetectDevice = MakeLabel(pnlUSB, "lblDetectDevice", "No device is available", 16, 100, 10);
  lblUpdaeFileStatus = MakeLabel(pnlUSB, "lblUpdaeFileStatus", "No Updated File !", 16, 100, 50);
  lblISPProcStatus =
      MakeLabel(pnlUSB, "lblISPProcStatus", "Abort Firmware update process", 21, 98, 88);
  // Under the top panel, in the room the compact window keeps above the
  // pages; it wraps, so the whole advice stays readable.
  lblISPProcNotice = MakeLabel(this, "lblISPProcNotice", "", 15, 98, 122);
  lblISPProcNotice->setWordWrap(true);
  lblISPProcNotice->resize(kNoticeWidth, kNoticeHeight);
  QPalette notice_palette = lblISPProcNotice->palette();
  notice_palette.setColor(QPalette::WindowText, Qt::red);
  lblISPProcNotice->setPalette(notice_palette);
  lblISPProcNotice->hide();

  prbUpdate = new QProgressBar(pnlUSB);
  prbUpdate->setObjectName("prbUpdate");
  prbUpdate->setRange(0, kProgressSteps);
  prbUpdate->setTextVisible(false);
  prbUpdate->setGeometry(100, 112, 300, 5);
  prbUpdate->hide();
  lblUpdateTimeLeft = MakeLabel(pnlUSB, "lblUpdateTimeLeft", "", 10, 408, 106);
  lblUpdateTimeLeft->setMinimumWidth(120);
  lblUpdateTimeLeft->hide();

  pnlUSBExist = new QFrame(pnlUSB);
  pnlUSBExist->setObjectName("pnlUSBExist");
  pnlUSBExist->setFrameShape(QFrame::Box);
  pnlUSBExist->setAutoFillBackground(true);
  pnlUSBExist->resize(73, 23);

  btnSimpleAuto = new QPushButton("Start", pnlUSB);
  btnSimpleAuto->setObjectName("btnSimpleAuto");
  btnSimpleAuto->setEnabled(false);

  lblFWVer = MakeLabel(pnlUSB, "lblFWVer", "Current Firmware:", 0, 100, 100);
  chkDetectUSB = new QCheckBox("Detect Device", pnlUSB);
  chkDetectUSB->setObjectName("chkDetectUSB");
  lbledtVID = new LabeledEdit("lbledtVID", "VID:", "5e1a", pnlUSB);
  lbledtPID = new LabeledEdit("lbledtPID", "PID:", "6012", pnlUSB);
  USBLoadFileBitBtn = new QPushButton("File", pnlUSB);
  USBLoadFileBitBtn->setObjectName("USBLoadFileBitBtn");
  cbxReadISPFile = new QComboBox(pnlUSB);
  cbxReadISPFile->setObjectName("cbxReadISPFile");
  cbxReadISPFile->setEditable(true);
  Image1 = new QLabel(this);
  Image1->setObjectName("Image1");
  Image1->resize(585, 185);

  connect(chkDetectUSB, &QCheckBox::toggled, this, &MainWindow::chkDetectUSBClick);
  connect(lbledtVID, &LabeledEdit::EnterPressed, this, &MainWindow::lbledtVIDPIDKeyDown);
  connect(lbledtPID, &LabeledEdit::EnterPressed, this, &MainWindow::lbledtVIDPIDKeyDown);
  connect(USBLoadFileBitBtn, &QPushButton::clicked, this, &MainWindow::USBLoadFileBitBtnClick);
  connect(btnSimpleAuto, &QPushButton::clicked, this, &MainWindow::btnSimpleAutoClick);
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
  const int allowance =
      HorizontalDotsPerInch() / scaled >= kHighDpi ? kHighDpiAllowance : 0;

  setWindowTitle(kWindowCaption);
  IspPg->ApplyIspDefaults();

  for (QTableWidget* grid : {RegisterPg->RegStringGrid1, I2cPg->StringGridMIIC}) {
    FillHexGridHeaders(grid);
  }
  MainPageControl->setCurrentWidget(TabSheet1);

  DetectEnabled = false;  // no sequence runs yet: SequenceBusy starts false
  lbledtVID->setText("5e1a");
  lbledtPID->setText("f800");
  chkDetectUSB->setChecked(true);
  ParameterPg->DeviceSettings = kStartupDeviceSettings;
  ParameterPg->ShowDeviceSettings();
  lbledtVID->setText("5e1a");
  lbledtPID->setText("f800");

  HideEngineeringTabs();

  setFixedSize(kBaseWidth + allowance, kBaseHeight + allowance);
  IspPg->SetIspSequenceControlsVisible(false);
  for (QWidget* control : std::initializer_list<QWidget*>{
           USBLoadFileBitBtn, cbxReadISPFile, chkDetectUSB, lbledtVID, lbledtPID, lblFWVer}) {
    control->hide();
  }

  // The panel spans the window: its laid-out width of 537 would cut the file
  // line's "is Ready!" with the wider fonts of a Linux desktop.
  pnlUSB->setGeometry(0, 0, std::max(kPanelWidth, width()), kPanelHeight);
  QPalette palette = pnlUSB->palette();
  palette.setColor(QPalette::Window, palette.color(QPalette::Button));
  pnlUSB->setPalette(palette);
  pnlUSBExist->move(20, 8);
  SetStatusSquare(palette.color(QPalette::Button));
  lblISPProcStatus->setText("");
  FitLabelToText(lblISPProcStatus);
  btnSimpleAuto->move(424, 0);
  Image1->hide();
  IspPg->btnSaveBinClick();
}

QColor MainWindow::StatusSquareColour() const {
  return pnlUSBExist->palette().color(QPalette::Window);
}

void MainWindow::SetStatusSquare(const QColor& colour) {
  QPalette palette = pnlUSBExist->palette();
  palette.setColor(QPalette::Window, colour);
  pnlUSBExist->setPalette(palette);
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
    lblISPProcStatus->setText("");
    FitLabelToText(lblISPProcStatus);
  }
  ShowDetectionOutcome(tick);
  Q_EMIT DetectionTicked();
}

void MainWindow::StopDetectionTimer() { Timer1->stop(); }

int MainWindow::DetectionIntervalMs() const { return Timer1->interval(); }

void MainWindow::ShowDetectionOutcome(const DetectionTick& tick) {
  ShowAccessAdvice(tick.found == DetectionFound::kAccessDenied);
  switch (tick.found) {
    case DetectionFound::kIdle:
      return;
    case DetectionFound::kNothing:
    case DetectionFound::kAccessDenied:
    case DetectionFound::kInUse:
      // A device that refuses this user, or that another program is working
      // with, cannot be updated: no file, no Start.
      SetStatusSquare(palette().color(QPalette::Button));
      if (tick.found == DetectionFound::kInUse) {
        SetDeviceLine(
            QString::fromStdString(DeviceDisplayName(tick.device_id) + ": " + tick.in_use_text));
      } else if (tick.found == DetectionFound::kAccessDenied) {
        SetDeviceLine(QString::fromStdString(AccessDeniedMessage(tick.device_id)));
      } else {
        SetDeviceLine("No device is available");
      }
      btnSimpleAuto->setEnabled(false);
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

// The advice is longer than one line: while it shows, the device line wraps
// over the room of the file line, which has nothing to say then.
void MainWindow::ShowAccessAdvice(bool shown) {
  if (lblDetectDevice->wordWrap() == shown) return;
  lblDetectDevice->setWordWrap(shown);
  lblDetectDevice->setAlignment(Qt::AlignLeft | (shown ? Qt::AlignTop : Qt::AlignVCenter));
  if (shown) {
    lblDetectDevice->resize(kAdviceWidth, kAdviceHeight);
  } else {
    FitLabelToText(lblDetectDevice);
  }
  lblUpdaeFileStatus->setVisible(!shown);
}

void MainWindow::SetDeviceLine(const QString& text) {
  if (lblDetectDevice->text() == text) return;
  lblDetectDevice->setText(text);
  FitLabelToText(lblDetectDevice);
  Q_EMIT DeviceLineShown(text);
}

void MainWindow::SetFileLine(const QString& text) {
  if (lblUpdaeFileStatus->text() == text) return;
  lblUpdaeFileStatus->setText(text);
  FitLabelToText(lblUpdaeFileStatus);
  Q_EMIT FileLineShown(text);
}

void MainWindow::chkDetectUSBClick() {
  if (chkDetectUSB->isChecked()) {
    DetectEnabled = true;
    lbledtVID->setEnabled(false);
    lbledtPID->setEnabled(false);
    return;
  }
  DetectEnabled = false;
  SetStatusSquare(QColor(128, 128, 128));
  lbledtVID->setEnabled(true);
  lbledtPID->setEnabled(true);
  link_.ClearPresent();
}

// The edits keep what was typed; detection never reads them.
void MainWindow::lbledtVIDPIDKeyDown() {}

void MainWindow::GetFWVersion() {
  const FirmwareVersion version = ReadFirmwareVersion(link_);
  lblFWVer->setText(QString("Current Firmware:V%1.%2").arg(version.major).arg(version.minor));
  FitLabelToText(lblFWVer);
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
