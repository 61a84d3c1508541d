// The shared register grid. Its header cells are items without flags: the
// view never makes a disabled cell current, neither on a click nor on a
// cursor key, and never opens an editor on it, so every key and bit box
// acts on a data cell.
#include "ui/HexGrid.h"

#include <QApplication>
#include <QCheckBox>
#include <QFontMetrics>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTableWidget>
#include <algorithm>

#include "ui/Dialogs.h"
#include "ui/TypedNumbers.h"

namespace korvalen {
namespace {

constexpr int kCells = 16;
constexpr int kTableSize = kCells + 1;  // the header row and column
constexpr int kCellWidth = 32;
constexpr int kCellHeight = 20;
constexpr int kTableMargin = 8;
const QColor kSelectedHeader(0xC0, 0xC0, 0xC0);

// The controls below the table, left to right.
constexpr int kReadButtonWidth = 100;
constexpr int kReadButtonHeight = 25;
constexpr int kLabelsBelowButton = 4;
constexpr int kAddressX = 124;
constexpr int kValueX = 196;
constexpr int kValueLabelWidth = 70;
constexpr int kBitsX = 290;
constexpr int kBitsLabelWidth = 260;
constexpr int kBitsLabelHeight = 22;
constexpr int kBitBoxSize = 18;

QTableWidgetItem* ItemAt(QTableWidget* table, int row, int column) {
  if (!table->item(row, column)) table->setItem(row, column, new QTableWidgetItem);
  return table->item(row, column);
}

QLabel* MakeLabel(QWidget* parent, const char* name, const QString& text, int x, int y, int width,
                  int height) {
  auto* label = new QLabel(text, parent);
  label->setObjectName(name);
  label->setGeometry(x, y, width, height);
  return label;
}

}  // namespace

QString HexByte(uint8_t value) { return QString::asprintf("%02X", value); }

QTableWidget* MakeHexGridTable(QWidget* parent, const char* name) {
  auto* table = new QTableWidget(kTableSize, kTableSize, parent);
  table->setObjectName(name);
  table->horizontalHeader()->hide();
  table->verticalHeader()->hide();
  for (int i = 0; i < kTableSize; ++i) {
    table->setColumnWidth(i, kCellWidth);
    table->setRowHeight(i, kCellHeight);
  }
  table->setGeometry(kTableMargin, kTableMargin, kCellWidth * kTableSize + 4,
                     kCellHeight * kTableSize + 4);
  return table;
}

void FillHexGridHeaders(QTableWidget* table) {
  const QBrush plain = table->palette().button();
  const QBrush text = table->palette().text();
  auto fixed = [&](int row, int column, const QString& caption) {
    auto* header = new QTableWidgetItem(caption);
    header->setFlags(Qt::NoItemFlags);
    header->setBackground(plain);
    // A cell without flags is drawn greyed out; a header reads like text.
    header->setForeground(text);
    table->setItem(row, column, header);
  };
  fixed(0, 0, QString());
  for (int i = 0; i < kCells; ++i) {
    fixed(0, i + 1, HexByte(static_cast<uint8_t>(i)));
    fixed(i + 1, 0, HexByte(static_cast<uint8_t>(i * kCells)));
  }
}

HexGrid::HexGrid(QTableWidget* table) : table_(table) {
  table_->setCurrentCell(1, 1);  // before the connection: start-up reads nothing
  connect(table_, &QTableWidget::currentCellChanged, this, [this](int row, int column, int, int) {
    if (row < 1 || column < 1) return;
    HighlightHeaders(column, row);
    if (address_label_) ShowAddress(RegisterAt(column, row));
    Q_EMIT CellSelected(column, row);
  });
  // Keys go to the table or, while a cell is edited, to its cell editor,
  // which is made on demand: an application filter sees both first and
  // passes every key on.
  QApplication::instance()->installEventFilter(this);
}

HexGridWidgets HexGrid::AddControls(QWidget* tab, const HexGridControls& controls) {
  read_caption_ = controls.read_caption;
  read_button_ = new QPushButton(read_caption_, tab);
  read_button_->setObjectName(controls.read_button);
  read_button_->setGeometry(kTableMargin, controls.read_button_y, kReadButtonWidth,
                            kReadButtonHeight);
  const int labels_y = controls.read_button_y + kLabelsBelowButton;
  address_label_ = MakeLabel(tab, controls.address_label, "Reg 0x00", kAddressX, labels_y,
                             kValueLabelWidth, kCellHeight);
  value_label_ = MakeLabel(tab, controls.value_label, "= 0x00", kValueX, labels_y,
                           kValueLabelWidth, kCellHeight);

  QLabel* bit_numbers = MakeLabel(tab, controls.bit_numbers_label, "7 6 5 4 3 2 1 0", kBitsX,
                                  controls.bit_numbers_y, kBitsLabelWidth, kBitsLabelHeight);
  QFont fixed("Monospace");
  fixed.setStyleHint(QFont::TypeWriter);
  fixed.setPixelSize(20);  // wide enough for a box under every digit
  bit_numbers->setFont(fixed);
  // Each box sits under its digit of the fixed-pitch label.
  const QFontMetrics metrics(fixed);
  const int step = metrics.horizontalAdvance("0 ");
  const int digit = metrics.horizontalAdvance("0");
  for (int i = 0; i < 8; ++i) {
    auto* box = new QCheckBox(tab);
    box->setObjectName(controls.bit_box_prefix + QString::number(i));
    box->setGeometry(kBitsX + (7 - i) * step + digit / 2 - 7, controls.bit_boxes_y, kBitBoxSize,
                     kBitBoxSize);
    bit_boxes_[i] = box;
  }
  return {read_button_, address_label_, value_label_, bit_numbers, bit_boxes_};
}

bool HexGrid::StartPass() {
  if (pass_running_) {
    // The running pass sees the cleared flag before its next read.
    EndPass();
    return false;
  }
  read_button_->setText("Stop");
  pass_running_ = true;
  return true;
}

void HexGrid::EndPass() {
  pass_running_ = false;
  read_button_->setText(read_caption_);
}

bool HexGrid::eventFilter(QObject* watched, QEvent* event) {
  if (event->type() == QEvent::KeyPress) {
    auto* widget = qobject_cast<QWidget*>(watched);
    const bool in_table = widget == table_;
    const bool in_editor = widget && widget->parentWidget() == table_->viewport();
    auto* key = static_cast<QKeyEvent*>(event);
    // A key the editor leaves alone travels on to the table: handle it once.
    const bool again = in_table && key == last_key_ && key->timestamp() == last_key_time_;
    if ((in_table || in_editor) && !again) {
      last_key_ = in_editor ? key : nullptr;
      last_key_time_ = key->timestamp();
      Q_EMIT KeyPressed(key->key());
    }
    return false;
  }
  if (event->type() == QEvent::MouseButtonRelease &&
      std::find(bit_boxes_.begin(), bit_boxes_.end(), watched) != bit_boxes_.end()) {
    // The box's own click handling comes first (it may tick the box), then
    // the write, for any mouse button.
    watched->event(event);
    Q_EMIT BitBoxReleased();
    return true;
  }
  return false;
}

QLineEdit* HexGrid::CellEditor() const {
  auto* editor = qobject_cast<QLineEdit*>(QApplication::focusWidget());
  if (editor && editor->parentWidget() == table_->viewport()) return editor;
  return nullptr;
}

uint8_t HexGrid::RegisterAt(int column, int row) {
  return static_cast<uint8_t>((row - 1) * kCells + (column - 1));
}

std::optional<uint8_t> HexGrid::CurrentRegister() const {
  const int row = table_->currentRow();
  const int column = table_->currentColumn();
  if (row < 1 || column < 1) return std::nullopt;
  return RegisterAt(column, row);
}

QString HexGrid::CurrentCellText() const {
  if (const QLineEdit* editor = CellEditor()) return editor->text();
  if (const QTableWidgetItem* item = table_->currentItem()) return item->text();
  return QString();
}

std::optional<uint32_t> HexGrid::TypedValue(Dialogs& dialogs) const {
  const QString typed = CurrentCellText();
  const std::optional<uint32_t> value = ParseTypedHexText(typed);
  if (!value) dialogs.ShowError(InvalidHexText(typed));
  return value;
}

void HexGrid::HighlightHeaders(int column, int row) {
  const QBrush plain = table_->palette().button();
  for (int i = 1; i <= kCells; ++i) {
    if (QTableWidgetItem* header = table_->item(0, i)) {
      header->setBackground(i == column ? QBrush(kSelectedHeader) : plain);
    }
    if (QTableWidgetItem* header = table_->item(i, 0)) {
      header->setBackground(i == row ? QBrush(kSelectedHeader) : plain);
    }
  }
}

void HexGrid::ShowValue(uint8_t reg, uint8_t value) {
  const int row = reg / kCells + 1;
  const int column = reg % kCells + 1;
  ItemAt(table_, row, column)->setText(HexByte(value));
  const bool current = table_->currentRow() == row && table_->currentColumn() == column;
  if (QLineEdit* editor = CellEditor(); editor && current) editor->setText(HexByte(value));
}

void HexGrid::ShowBits(uint8_t value) {
  for (int i = 0; i < 8; ++i) bit_boxes_[i]->setChecked((value >> i) & 1);
}

uint8_t HexGrid::BitsValue() const {
  uint8_t byte = 0;
  for (int i = 0; i < 8; ++i) {
    if (bit_boxes_[i]->isChecked()) byte |= static_cast<uint8_t>(1 << i);
  }
  return byte;
}

void HexGrid::ShowAddress(uint8_t reg) { address_label_->setText("Reg 0x" + HexByte(reg)); }

void HexGrid::ShowData(uint8_t value) { value_label_->setText("= 0x" + HexByte(value)); }

}  // namespace korvalen
