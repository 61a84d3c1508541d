// The I2C Access page and the "Special I2C access" group of the Information
// page. The page reads a slave register on cell selection and writes on
// Enter, Insert and Delete in the grid and on a mouse release over a bit
// box, each write followed by a read-back that is what the page shows. The
// group sends one raw transfer. Neither selects a register bank: choosing
// the page sets the I2C controller up, and that lasts until something else
// selects another bank.
#include "ui/I2cPage.h"

#include <QApplication>
#include <QCheckBox>
#include <QFontMetrics>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QTabWidget>
#include <QTableWidget>
#include <algorithm>
#include <string>
#include <vector>

#include "image/HexDigits.h"
#include "ui/InformationPage.h"
#include "ui/Unit1.h"

namespace korvalen {
namespace {

constexpr int kCells = 16;
const QColor kSelectedHeader(0xC0, 0xC0, 0xC0);

QString Hex2(uint8_t value) { return QString::asprintf("%02X", value); }

QLabel* MakeLabel(QWidget* parent, const char* name, const QString& text, int x, int y,
                  int width) {
  auto* label = new QLabel(text, parent);
  if (name) label->setObjectName(name);
  label->setGeometry(x, y, width, 20);
  return label;
}

QLineEdit* MakeEdit(QWidget* parent, const QString& name, const char* text, int x, int y) {
  auto* edit = new QLineEdit(text, parent);
  edit->setObjectName(name);
  edit->setGeometry(x, y, 36, 22);
  return edit;
}

QScrollBar* MakeLengthBar(QWidget* parent, const char* name, int x, int y) {
  auto* bar = new QScrollBar(Qt::Horizontal, parent);
  bar->setObjectName(name);
  bar->setRange(kI2cRawMinLength, kI2cRawMaxLength);
  bar->setPageStep(1);
  bar->setValue(kI2cRawMinLength);
  bar->setGeometry(x, y, 120, 18);
  return bar;
}

// The group's fields are bytes sent as they are: one byte per character.
std::vector<std::string> TextsOf(const std::array<QLineEdit*, kI2cRawMaxLength>& edits) {
  std::vector<std::string> texts;
  for (const QLineEdit* edit : edits) texts.push_back(edit->text().toLatin1().toStdString());
  return texts;
}

}  // namespace

I2cPage::I2cPage(TForm1& form, QWidget* tab)
    : access(form.link(), form.clock()), form_(form), tab_(tab) {
  BuildAccessPage(tab);
  BuildSpecialGroup(form.InformationPg->GroupBox7);
  connect(form.MainPageControl, &QTabWidget::currentChanged, this,
          &I2cPage::MainPageControlChange);
}

void I2cPage::BuildAccessPage(QWidget* tab) {
  QTableWidget* grid = form_.StringGridMIIC;
  grid->setCurrentCell(1, 1);  // before the connection: start-up reads nothing
  connect(grid, &QTableWidget::currentCellChanged, this, [this](int row, int column, int, int) {
    if (row >= 1 && column >= 1) StringGridMIICSelectCell(column, row);
  });
  // Keys go to the grid or, while a cell is edited, to its cell editor,
  // which is made on demand: an application filter sees both first and
  // passes every key on.
  QApplication::instance()->installEventFilter(this);

  MakeLabel(tab, "lblMI2CAddr", "Slave Address: 0x", 8, 364, 110);
  edtMI2CAddr = MakeEdit(tab, "edtMI2CAddr", "20", 118, 363);
  MakeLabel(tab, "lblMI2CAddrHint", "(enter)", 158, 364, 50);
  connect(edtMI2CAddr, &QLineEdit::returnPressed, this, &I2cPage::edtMI2CAddrKeyDown);

  btnReadMI2C = new QPushButton("Read", tab);
  btnReadMI2C->setObjectName("btnReadMI2C");
  btnReadMI2C->setGeometry(8, 394, 100, 25);
  connect(btnReadMI2C, &QPushButton::clicked, this, &I2cPage::btnReadMI2CClick);

  lblMI2CRegAddr = MakeLabel(tab, "lblMI2CRegAddr", "Reg 0x00", 124, 398, 70);
  lblMI2CRegData = MakeLabel(tab, "lblMI2CRegData", "= 0x00", 196, 398, 70);

  lblMI2CBitNumbers = MakeLabel(tab, "lblMI2CBitNumbers", "7 6 5 4 3 2 1 0", 290, 360, 260);
  QFont fixed("Monospace");
  fixed.setStyleHint(QFont::TypeWriter);
  fixed.setPixelSize(20);  // wide enough for a box under every digit
  lblMI2CBitNumbers->setFont(fixed);
  lblMI2CBitNumbers->resize(260, 22);
  // Each box sits under its digit of the fixed-pitch label.
  const QFontMetrics metrics(fixed);
  const int step = metrics.horizontalAdvance("0 ");
  const int digit = metrics.horizontalAdvance("0");
  for (int i = 0; i < 8; ++i) {
    auto* box = new QCheckBox(tab);
    box->setObjectName(QString("chkMI2CBit%1").arg(i));
    box->setGeometry(290 + (7 - i) * step + digit / 2 - 7, 384, 18, 18);
    chkMI2CBit[i] = box;
  }
}

void I2cPage::BuildSpecialGroup(QWidget* group) {
  MakeLabel(group, "lblMI2CAddr1", "Slave Address: 0x", 12, 26, 110);
  edtMI2CAddr1 = MakeEdit(group, "edtMI2CAddr1", "60", 122, 25);
  MakeLabel(group, "lblMI2CAddr1Hint", "(enter)", 162, 26, 50);
  connect(edtMI2CAddr1, &QLineEdit::returnPressed, this, &I2cPage::edtMI2CAddr1KeyDown);

  MakeLabel(group, "lblCmdLen", "Command Len.", 12, 60, 90);
  srblen0 = MakeLengthBar(group, "srblen0", 104, 61);
  lbllencmd = MakeLabel(group, "lbllencmd", "1", 232, 60, 20);
  MakeLabel(group, "lblDatLen", "Data Len.", 290, 60, 70);
  srblen1 = MakeLengthBar(group, "srblen1", 362, 61);
  lbllendat = MakeLabel(group, "lbllendat", "1", 490, 60, 20);
  connect(srblen0, &QScrollBar::valueChanged, this, &I2cPage::srblen0Change);
  connect(srblen1, &QScrollBar::valueChanged, this, &I2cPage::srblen1Change);

  MakeLabel(group, "lblI2Ccmd", "Command", 12, 96, 70);
  MakeLabel(group, "lblI2Cdat", "Data", 12, 128, 70);
  for (int i = 0; i < kI2cRawMaxLength; ++i) {
    edtI2Ccmd[i] = MakeEdit(group, QString("edtI2Ccmd%1").arg(i), "00", 84 + i * 44, 95);
    edtI2Cdat[i] = MakeEdit(group, QString("edtI2Cdat%1").arg(i), "00", 84 + i * 44, 127);
    edtI2Ccmd[i]->setEnabled(i == 0);
    edtI2Cdat[i]->setEnabled(i == 0);
  }

  btnWriteSpecI2C = new QPushButton("Write", group);
  btnWriteSpecI2C->setObjectName("btnWriteSpecI2C");
  btnWriteSpecI2C->setGeometry(84, 166, 80, 25);
  connect(btnWriteSpecI2C, &QPushButton::clicked, this, &I2cPage::btnWriteSpecI2CClick);
  btnReadSpecI2C = new QPushButton("Read", group);
  btnReadSpecI2C->setObjectName("btnReadSpecI2C");
  btnReadSpecI2C->setGeometry(172, 166, 80, 25);
  connect(btnReadSpecI2C, &QPushButton::clicked, this, &I2cPage::btnReadSpecI2CClick);
}

bool I2cPage::eventFilter(QObject* watched, QEvent* event) {
  if (event->type() == QEvent::KeyPress) {
    auto* widget = qobject_cast<QWidget*>(watched);
    QTableWidget* grid = form_.StringGridMIIC;
    const bool in_grid = widget == grid;
    const bool in_editor = widget && widget->parentWidget() == grid->viewport();
    auto* key = static_cast<QKeyEvent*>(event);
    // A key the editor leaves alone travels on to the grid: handle it once.
    const bool again = in_grid && key == last_key_ && key->timestamp() == last_key_time_;
    if ((in_grid || in_editor) && !again) {
      last_key_ = in_editor ? key : nullptr;
      last_key_time_ = key->timestamp();
      StringGridMIICKeyDown(key->key());
    }
    return false;
  }
  if (event->type() == QEvent::MouseButtonRelease &&
      std::find(chkMI2CBit.begin(), chkMI2CBit.end(), watched) != chkMI2CBit.end()) {
    // The box's own click handling comes first (it may tick the box), then
    // the write, for any mouse button.
    watched->event(event);
    chkMI2CBitMouseUp();
    return true;
  }
  return false;
}

QLineEdit* I2cPage::CellEditor() const {
  auto* editor = qobject_cast<QLineEdit*>(QApplication::focusWidget());
  if (editor && editor->parentWidget() == form_.StringGridMIIC->viewport()) return editor;
  return nullptr;
}

QString I2cPage::CurrentCellText() const {
  // While the cell is being edited, the editor holds the typed text.
  if (const QLineEdit* editor = CellEditor()) return editor->text();
  if (const QTableWidgetItem* item = form_.StringGridMIIC->currentItem()) return item->text();
  return QString();
}

uint8_t I2cPage::CurrentRegister() const {
  const QTableWidget* grid = form_.StringGridMIIC;
  const int row = std::max(grid->currentRow(), 1);
  const int column = std::max(grid->currentColumn(), 1);
  return static_cast<uint8_t>((row - 1) * kCells + (column - 1));
}

void I2cPage::ShowInCell(int column, int row, uint8_t value) {
  QTableWidget* grid = form_.StringGridMIIC;
  if (!grid->item(row, column)) grid->setItem(row, column, new QTableWidgetItem);
  grid->item(row, column)->setText(Hex2(value));
  // An open editor commits its text when it closes: make that the value too.
  const bool current = grid->currentRow() == row && grid->currentColumn() == column;
  if (QLineEdit* editor = CellEditor(); editor && current) editor->setText(Hex2(value));
}

void I2cPage::ShowBits(uint8_t value) {
  for (int i = 0; i < 8; ++i) chkMI2CBit[i]->setChecked((value >> i) & 1);
}

void I2cPage::HighlightHeaders(int column, int row) {
  QTableWidget* grid = form_.StringGridMIIC;
  const QBrush plain = grid->palette().button();
  for (int i = 1; i <= kCells; ++i) {
    if (QTableWidgetItem* header = grid->item(0, i)) {
      header->setBackground(i == column ? QBrush(kSelectedHeader) : plain);
    }
    if (QTableWidgetItem* header = grid->item(i, 0)) {
      header->setBackground(i == row ? QBrush(kSelectedHeader) : plain);
    }
  }
}

std::optional<uint8_t> I2cPage::TakeAddress(const QLineEdit* edit) {
  const std::string typed = edit->text().toLatin1().toStdString();
  const std::optional<uint8_t> address = SlaveAddressFromText(typed);
  if (!address) form_.dialogs().ShowError(QString::fromStdString(TypedHexError(typed)));
  return address;
}

I2cRawTransfer I2cPage::TransferFromFields() const {
  return PackRawTransfer(TextsOf(edtI2Ccmd), srblen0->value(), TextsOf(edtI2Cdat),
                         srblen1->value());
}

void I2cPage::MainPageControlChange(int index) {
  if (form_.MainPageControl->widget(index) != tab_) return;
  // The set-up runs whether or not a device is present; its requests then
  // fail quietly. Not while an update holds the link, though.
  if (form_.UpdateOwnsDevice()) return;
  access.Setup();
}

void I2cPage::edtMI2CAddrKeyDown() {
  const std::optional<uint8_t> address = TakeAddress(edtMI2CAddr);
  if (!address) return;
  access.set_slave_address(*address);
  edtMI2CAddr->setText(Hex2(*address));
}

void I2cPage::edtMI2CAddr1KeyDown() {
  const std::optional<uint8_t> address = TakeAddress(edtMI2CAddr1);
  if (!address) return;
  access.set_slave_address(*address);
  // The page's edit shows the address now in use; this one keeps the typing.
  edtMI2CAddr->setText(Hex2(*address));
}

void I2cPage::btnReadMI2CClick() {
  if (!form_.link().IsPresent() || form_.UpdateOwnsDevice()) return;
  if (running) {
    // The running pass sees the cleared flag before its next read.
    running = false;
    btnReadMI2C->setText("Read");
    return;
  }
  btnReadMI2C->setText("Stop");
  running = true;
  NorvaneUsb& link = form_.link();
  access.ReadAll([this, &link](uint8_t reg) {
    ShowInCell(reg % kCells + 1, reg / kCells + 1, access.Shadow(reg));
    form_.ProcessPendingInput();
    // A handler that ran in between closed the link after its own
    // transaction; the rest of the pass would read nothing but zeros.
    if (running && !link.HasHandle()) link.Open();
    return running;
  });
  running = false;
  btnReadMI2C->setText("Read");
}

void I2cPage::StringGridMIICSelectCell(int column, int row) {
  const auto reg = static_cast<uint8_t>((row - 1) * kCells + (column - 1));
  HighlightHeaders(column, row);
  lblMI2CRegAddr->setText("Reg 0x" + Hex2(reg));
  if (form_.UpdateOwnsDevice()) return;
  access.ReadRegister(reg);
  const uint8_t value = access.Shadow(reg);
  ShowInCell(column, row, value);
  ShowBits(value);
  lblMI2CRegData->setText("= 0x" + Hex2(value));
}

void I2cPage::StringGridMIICKeyDown(int key) {
  I2cGridKey grid_key;
  if (key == Qt::Key_Return || key == Qt::Key_Enter) {
    grid_key = I2cGridKey::kEnter;
  } else if (key == Qt::Key_Insert) {
    grid_key = I2cGridKey::kInsert;
  } else if (key == Qt::Key_Delete) {
    grid_key = I2cGridKey::kDelete;
  } else {
    return;
  }
  const std::string typed = CurrentCellText().toLatin1().toStdString();
  const std::optional<uint32_t> value = ParseTypedHex(typed);
  if (!value) {
    form_.dialogs().ShowError(QString::fromStdString(TypedHexError(typed)));
    return;
  }
  if (form_.UpdateOwnsDevice()) return;
  const uint8_t reg = CurrentRegister();
  const bool sends = SteppedValue(grid_key, static_cast<uint8_t>(*value & 0xFF)).has_value();
  access.GridKey(grid_key, reg, typed);
  if (!sends) return;  // the converted value stays in the shadow, the cell as typed
  const QTableWidget* grid = form_.StringGridMIIC;
  ShowInCell(std::max(grid->currentColumn(), 1), std::max(grid->currentRow(), 1),
             access.Shadow(reg));
  ShowBits(access.Shadow(reg));
}

void I2cPage::chkMI2CBitMouseUp() {
  if (form_.UpdateOwnsDevice()) return;
  uint8_t byte = 0;
  for (int i = 0; i < 8; ++i) {
    if (chkMI2CBit[i]->isChecked()) byte |= static_cast<uint8_t>(1 << i);
  }
  const uint8_t reg = CurrentRegister();
  access.WriteBits(reg, byte);
  const uint8_t value = access.Shadow(reg);
  const QTableWidget* grid = form_.StringGridMIIC;
  ShowInCell(std::max(grid->currentColumn(), 1), std::max(grid->currentRow(), 1), value);
  ShowBits(value);
  lblMI2CRegAddr->setText("Reg 0x" + Hex2(reg));
  lblMI2CRegData->setText("= 0x" + Hex2(value));
}

void I2cPage::srblen0Change() {
  const int length = srblen0->value();
  lbllencmd->setText(QString::number(length));
  // Edits past the length keep their texts for when the length grows again.
  for (int i = 0; i < kI2cRawMaxLength; ++i) edtI2Ccmd[i]->setEnabled(i < length);
}

void I2cPage::srblen1Change() {
  const int length = srblen1->value();
  lbllendat->setText(QString::number(length));
  for (int i = 0; i < kI2cRawMaxLength; ++i) edtI2Cdat[i]->setEnabled(i < length);
}

void I2cPage::btnWriteSpecI2CClick() {
  if (!form_.link().IsPresent() || form_.UpdateOwnsDevice()) return;
  access.WriteRaw(TransferFromFields());
}

void I2cPage::btnReadSpecI2CClick() {
  if (!form_.link().IsPresent() || form_.UpdateOwnsDevice()) return;
  const std::optional<std::vector<uint8_t>> received = access.ReadRaw(TransferFromFields());
  // A slave that did not answer filled nothing: the fields keep what they had.
  if (!received) return;
  for (size_t i = 0; i < received->size(); ++i) edtI2Cdat[i]->setText(Hex2((*received)[i]));
}

std::unique_ptr<I2cPage> MakeI2cPage(TForm1& form, QWidget* tab) {
  return std::make_unique<I2cPage>(form, tab);
}

}  // namespace korvalen
