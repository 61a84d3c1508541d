// The control audit: every button, check box, radio button, edit, combo box,
// scroll bar and grid of the window is either in the table of controls with a handler,
// and then reacts to a real click or key as a person would give it, or in
// the list of controls that have none. A control in neither fails, so a new
// control must be placed; a control whose handler is not connected fails
// because nothing happens when it is clicked.
//
// Adding a control with a handler: add one row to kReactingControls (its
// objectName, the gesture that triggers it, and, if the window's state
// would not show the handler's work, a preparation that makes it show).
#include <QAbstractButton>
#include <QAbstractItemView>
#include <QAbstractScrollArea>
#include <QAbstractSlider>
#include <QAbstractSpinBox>
#include <QComboBox>
#include <QCryptographicHash>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRegularExpression>
#include <QTabBar>
#include <QTabWidget>
#include <QtTest>
#include <cstring>
#include <functional>

#include "tests/ui/UiTestSupport.h"
#include "ui/LabeledEdit.h"

using namespace korvalen;
using namespace korvalen::testing;

namespace {

enum class Gesture {
  kClick,  // a left mouse click in the middle of the control
  kEnter,  // the Enter key typed into the control
};

struct ReactingControl {
  const char* name;
  Gesture gesture;
  // Puts the window in a state where the handler's work shows; may be empty.
  std::function<void(ReadyWindow&)> prepare;
};

void Reveal(QWidget* control, QWidget* window);

// Chooses a radio button (or any control) with a real click.
void Choose(ReadyWindow& r, const char* name) {
  auto* control = r.window.form->findChild<QWidget*>(name);
  Reveal(control, r.window.form.get());
  QTest::mouseClick(control, Qt::LeftButton);
}

// Loads a 256-byte file holding text at offset 0 through Current File.
void LoadModifyFile(ReadyWindow& r, const char* text) {
  std::string bytes(256, '\x5A');
  bytes.replace(0, std::strlen(text), text);
  std::ofstream(r.scratch.Path() / "modify.bin", std::ios::binary) << bytes;
  r.window.dialogs.open_path = QString::fromStdString((r.scratch.Path() / "modify.bin").string());
  Choose(r, "CurrentFileBitBtn");
  r.window.dialogs.open_path.reset();
}

// Every control that has a handler. The window starts with the model's
// update file loaded and the boxes answered Cancel / no file.
const ReactingControl kReactingControls[] = {
    // Top panel.
    {"btnSimpleAuto", Gesture::kClick, {}},
    {"chkDetectUSB", Gesture::kClick, {}},
    // The file is removed first, so the reload shows that it is gone.
    {"USBLoadFileBitBtn", Gesture::kClick,
     [](ReadyWindow& r) {
       std::filesystem::remove(r.scratch.Path() / "KORVALEN_ORBIT_Mini.hex");
     }},
    // ISP page.
    {"btnUSBChipID", Gesture::kClick, {}},
    {"btnUSBReadStatus", Gesture::kClick, {}},
    {"btnUSBWriteEnable", Gesture::kClick, {}},
    {"btnUSBWriteDisable", Gesture::kClick, {}},
    {"btnEnterISP", Gesture::kClick, {}},
    {"btnUSBErase", Gesture::kClick, {}},
    {"btnUSBBlank", Gesture::kClick, {}},
    {"btnUSBProgram", Gesture::kClick, {}},
    {"btnUSBVerify", Gesture::kClick, {}},
    {"btnReadBack", Gesture::kClick, {}},
    {"lbledtUSBWriteStatusEdit", Gesture::kEnter, {}},
    {"rbnRange1", Gesture::kClick, {}},
    // An assigned range is chosen first, so "All" has something to undo.
    {"rbnRange0", Gesture::kClick,
     [](ReadyWindow& r) { (void)r.window.form->Flash().ChooseRange(false, 64, 64); }},
    {"btnUSBISPAuto", Gesture::kClick, {}},
    // A loaded file puts something in the working copy for Save to replace.
    {"Button1", Gesture::kClick, [](ReadyWindow& r) { LoadModifyFile(r, ""); }},
    // Register page.
    {"btnReadAll", Gesture::kClick, {}},
    // Enter on the empty first cell: the conversion error.
    {"RegStringGrid1", Gesture::kEnter, {}},
    {"chkBit0", Gesture::kClick, {}},
    {"chkBit1", Gesture::kClick, {}},
    {"chkBit2", Gesture::kClick, {}},
    {"chkBit3", Gesture::kClick, {}},
    {"chkBit4", Gesture::kClick, {}},
    {"chkBit5", Gesture::kClick, {}},
    {"chkBit6", Gesture::kClick, {}},
    {"chkBit7", Gesture::kClick, {}},
    // Information page.
    {"btnUpdateStatus", Gesture::kClick, {}},
    {"btnHID0", Gesture::kClick, {}},
    {"btnHID1", Gesture::kClick, {}},
    {"btnHID2", Gesture::kClick, {}},
    {"btnHID3", Gesture::kClick, {}},
    {"btnHID4", Gesture::kClick, {}},
    // I2C Access page. The address edit's own text is left out of the
    // state, so it is given text that is no number: the conversion error.
    {"edtMI2CAddr", Gesture::kEnter,
     [](ReadyWindow& r) { r.window.form->findChild<QLineEdit*>("edtMI2CAddr")->setText("zz"); }},
    {"btnReadMI2C", Gesture::kClick, {}},
    // Enter on the empty first cell: the conversion error.
    {"StringGridMIIC", Gesture::kEnter, {}},
    {"chkMI2CBit0", Gesture::kClick, {}},
    {"chkMI2CBit1", Gesture::kClick, {}},
    {"chkMI2CBit2", Gesture::kClick, {}},
    {"chkMI2CBit3", Gesture::kClick, {}},
    {"chkMI2CBit4", Gesture::kClick, {}},
    {"chkMI2CBit5", Gesture::kClick, {}},
    {"chkMI2CBit6", Gesture::kClick, {}},
    {"chkMI2CBit7", Gesture::kClick, {}},
    // "Special I2C access" on the Information page.
    {"edtMI2CAddr1", Gesture::kEnter, {}},
    {"srblen0", Gesture::kClick, {}},
    {"srblen1", Gesture::kClick, {}},
    {"btnWriteSpecI2C", Gesture::kClick, {}},
    {"btnReadSpecI2C", Gesture::kClick, {}},
    // Parameter page. A radio button is clicked where it is not yet chosen.
    {"btnReadPara", Gesture::kClick, {}},
    {"btnSetPara", Gesture::kClick, {}},
    {"rbnDSDOut1", Gesture::kClick, {}},
    {"rbnDSDOut0", Gesture::kClick, [](ReadyWindow& r) { Choose(r, "rbnDSDOut1"); }},
    {"rbnI2Slen1", Gesture::kClick, {}},
    {"rbnI2Slen0", Gesture::kClick, [](ReadyWindow& r) { Choose(r, "rbnI2Slen1"); }},
    {"rbnSPDIFlen0", Gesture::kClick, {}},
    {"rbnSPDIFlen1", Gesture::kClick, [](ReadyWindow& r) { Choose(r, "rbnSPDIFlen0"); }},
    {"rbnMCLKOutFreq0", Gesture::kClick, {}},
    {"rbnMCLKOutFreq1", Gesture::kClick, {}},
    {"rbnMCLKOutFreq2", Gesture::kClick, [](ReadyWindow& r) { Choose(r, "rbnMCLKOutFreq0"); }},
    {"rbnMCLKOutFreq3", Gesture::kClick, {}},
    {"rbnI2SFormat1", Gesture::kClick, {}},
    {"rbnI2SFormat0", Gesture::kClick, [](ReadyWindow& r) { Choose(r, "rbnI2SFormat1"); }},
    {"chkI2SLRSwap", Gesture::kClick, {}},
    {"chkDSDLRSwap", Gesture::kClick, {}},
    {"chkMCLKOutOff", Gesture::kClick, {}},
    {"chkI2SOutOff", Gesture::kClick, {}},
    {"chkSPDIFOutOff", Gesture::kClick, {}},
    {"lbledSysVIDEdit", Gesture::kEnter, {}},
    {"lbledSysPIDEdit", Gesture::kEnter, {}},
    {"lbledSysStr1Edit", Gesture::kEnter, {}},
    {"lbledSysStr2Edit", Gesture::kEnter, {}},
    {"lbledSysStr3Edit", Gesture::kEnter, {}},
    // Gen. Bin File page. Check, New File and Save are enabled by a loaded
    // file; Check then finds a marker put into the working copy afterwards.
    {"CurrentFileBitBtn", Gesture::kClick, {}},
    {"btnCheck", Gesture::kClick,
     [](ReadyWindow& r) {
       LoadModifyFile(r, "");
       std::memcpy(r.window.form->Images().ModifyImage->bytes.data(), "NVUSB_Table01", 13);
     }},
    {"btnSaveBitBin", Gesture::kClick, [](ReadyWindow& r) { LoadModifyFile(r, "NVUSB_Table01"); }},
    {"btnSaveBin", Gesture::kClick,
     [](ReadyWindow& r) {
       LoadModifyFile(r, "NVUSB_Table01");
       r.window.dialogs.save_path = "new.bin";
       QTest::mouseClick(r.window.form->findChild<QWidget*>("btnSaveBitBin"), Qt::LeftButton);
     }},
};

// Controls without a handler, by objectName (a regular expression), and why.
const std::pair<const char*, const char*> kControlsWithoutHandler[] = {
    {"cbxReadISPFile", "the file history, read by Auto"},
    {"chkISPMode|chkErase|chkBlank|chkProgram|chkVerify|chkReadFile|chkProtect",
     "the Auto sequence's choices, read when Auto starts"},
    {"lbledtFlashCmd[0-7]Edit", "the fixed opcodes, display only"},
    // Their Enter handlers keep the typed text and do nothing else.
    {"lbledtVIDEdit|lbledtPIDEdit", "take no part in detection"},
    {"lbledISPStartEdit|lbledISPRangeEdit", "read by the range buttons and Auto"},
    {"edtI2Ccmd[0-4]|edtI2Cdat[0-4]", "the raw transfer's bytes, read by Write and Read"},
    {"labedtNewVIDEdit|labedtNewPIDEdit|edtNewStr[0-4]",
     "new identity values: no table layout is defined, nothing reads them"},
};

bool IsControl(QWidget* widget) {
  return qobject_cast<QAbstractButton*>(widget) || qobject_cast<QLineEdit*>(widget) ||
         qobject_cast<QComboBox*>(widget) || qobject_cast<QAbstractItemView*>(widget) ||
         qobject_cast<QAbstractSlider*>(widget);
}

// The parts that composite widgets make for themselves (a grid's scroll
// bars and corner button, a combo box's edit, a tab bar's arrows). The
// scroll area the pages sit in holds controls; only its bars are its parts.
bool IsPartOfAnotherControl(QWidget* widget, QWidget* window) {
  for (QWidget* up = widget->parentWidget(); up != nullptr && up != window;
       up = up->parentWidget()) {
    if (auto* area = qobject_cast<QAbstractScrollArea*>(up);
        area != nullptr && area->objectName() == "PagesScroll") {
      return !area->viewport()->isAncestorOf(widget);
    }
    if (qobject_cast<QAbstractScrollArea*>(up) || qobject_cast<QComboBox*>(up) ||
        qobject_cast<QTabBar*>(up) || qobject_cast<QAbstractSpinBox*>(up)) {
      return true;
    }
  }
  return false;
}

QList<QWidget*> ControlsOf(QWidget* window) {
  QList<QWidget*> controls;
  for (QWidget* widget : window->findChildren<QWidget*>()) {
    if (IsControl(widget) && !IsPartOfAnotherControl(widget, window)) controls << widget;
  }
  return controls;
}

bool WithoutHandler(const QString& name) {
  for (const auto& [pattern, why] : kControlsWithoutHandler) {
    if (QRegularExpression(QRegularExpression::anchoredPattern(pattern)).match(name).hasMatch())
      return true;
  }
  return false;
}

QByteArray HashOf(const FirmwareImage& image) {
  return QCryptographicHash::hash(
      QByteArrayView(reinterpret_cast<const char*>(image.bytes.data()),
                     static_cast<qsizetype>(image.bytes.size())),
      QCryptographicHash::Sha1);
}

// Everything a handler could change that a person or the device would
// notice: the texts, states and colours of the window's widgets (the clicked
// control itself aside, since a check box ticks without any handler), the
// boxes shown, the requests the device saw, the images and the range.
QStringList StateOf(ReadyWindow& r, QWidget* clicked) {
  MainWindow& f = *r.window.form;
  QStringList state;
  for (QWidget* widget : f.findChildren<QWidget*>()) {
    if (widget == clicked || widget->objectName().isEmpty()) continue;
    QString line = widget->objectName() + (widget->isEnabled() ? " on" : " off");
    if (auto* label = qobject_cast<QLabel*>(widget)) line += " " + label->text();
    if (auto* button = qobject_cast<QAbstractButton*>(widget)) {
      line += " " + button->text() + (button->isChecked() ? " checked" : "");
    }
    if (auto* edit = qobject_cast<QLineEdit*>(widget)) line += " " + edit->text();
    line += " " + widget->palette().color(QPalette::Window).name();
    line += " " + widget->palette().color(QPalette::WindowText).name();
    state << line;
  }
  state << r.window.dialogs.shown;
  state << QString::number(r.window.device->RequestCount());
  state << QString::fromLatin1(HashOf(*f.Images().Image).toHex());
  state << QString::fromLatin1(HashOf(*f.Images().ModifyImage).toHex());
  state << QString::number(f.Flash().flash_range_start());
  state << QString::number(f.DetectEnabled);
  for (uint8_t byte : f.ParameterPg->DeviceSettings) state << QString::number(byte);
  return state;
}

// Shows the control as a person would find it: its page current, its
// group boxes and panels visible.
void Reveal(QWidget* control, QWidget* window) {
  for (QWidget* up = control; up != nullptr && up != window; up = up->parentWidget()) {
    if (auto* pages = qobject_cast<QTabWidget*>(up->parentWidget() ? up->parentWidget()->parentWidget()
                                                                   : nullptr)) {
      const int index = pages->indexOf(up);
      if (index >= 0) {
        pages->setTabVisible(index, true);
        pages->setCurrentIndex(index);
      }
    }
    up->show();
  }
}

}  // namespace

class ControlAuditTest : public QObject {
  Q_OBJECT

 private Q_SLOTS:
  void EveryControlIsPlaced() {
    ReadyWindow r;
    QVERIFY(r.ok);
    QStringList reacting;
    for (const auto& row : kReactingControls) reacting << row.name;
    const QList<QWidget*> controls = ControlsOf(r.window.form.get());
    QVERIFY(controls.size() >= reacting.size());
    for (QWidget* control : controls) {
      const QString name = control->objectName();
      QVERIFY2(!name.isEmpty(),
               qPrintable(QString("a %1 has no objectName").arg(control->metaObject()->className())));
      QVERIFY2(reacting.contains(name) != WithoutHandler(name),
               qPrintable(name + " must be in exactly one of the audit's two lists"));
    }
    // Every row names a control that exists.
    for (const QString& name : reacting) {
      QVERIFY2(r.window.form->findChild<QWidget*>(name) != nullptr, qPrintable(name));
    }
  }

  void EveryControlWithAHandlerReactsToAPerson_data() {
    QTest::addColumn<int>("row");
    for (int i = 0; i < static_cast<int>(std::size(kReactingControls)); ++i) {
      QTest::newRow(kReactingControls[i].name) << i;
    }
  }

  void EveryControlWithAHandlerReactsToAPerson() {
    QFETCH(int, row);
    const ReactingControl& entry = kReactingControls[row];
    ReadyWindow r;
    QVERIFY(r.ok);
    r.window.dialogs.answer_ok = false;
    MainWindow& f = *r.window.form;
    auto* control = f.findChild<QWidget*>(entry.name);
    QVERIFY(control != nullptr);
    f.show();
    // A preparation may be what enables the control (a loaded file).
    if (entry.prepare) entry.prepare(r);
    Reveal(control, &f);
    QVERIFY2(control->isVisible() && control->isEnabled(), entry.name);
    const QStringList before = StateOf(r, control);
    switch (entry.gesture) {
      case Gesture::kClick:
        QTest::mouseClick(control, Qt::LeftButton);
        break;
      case Gesture::kEnter:
        control->setFocus();
        QTest::keyClick(control, Qt::Key_Return);
        break;
    }
    QVERIFY2(StateOf(r, control) != before,
             qPrintable(QString(entry.name) + " does not react: is its handler connected?"));
  }
};

QTEST_MAIN(ControlAuditTest)
#include "ControlAuditTest.moc"
