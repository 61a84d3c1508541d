// The Register page: reads on cell selection, writes on Enter, Insert and
// Delete in the grid and on a mouse release over a bit box, each followed
// by a read-back that is what the page shows. The page never selects a
// bank: it works on whichever bank the chip has selected.
#include "ui/RegisterPage.h"

#include <QApplication>
#include <algorithm>
#include <QCheckBox>
#include <QFontMetrics>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPushButton>
#include <QTableWidget>

#include "image/HexDigits.h"
#include "link/Registers.h"
#include "ui/Unit1.h"

namespace korvalen {
namespace {

constexpr int kCells = 16;
// A typed write gets 1 ms before its read-back, a bit-box write 3 ms.
constexpr uint32_t kKeyWriteSettleMs = 1;
constexpr uint32_t kBitWriteSettleMs = 3;
const QColor kSelectedHeader(0xC0, 0xC0, 0xC0);

QString Hex2(uint8_t value) { return QString::asprintf("%02X", value); }

}  // namespace

RegisterPage::RegisterPage(TForm1& form, QWidget* tab) : form_(form) {
  QTableWidget* grid = form.RegStringGrid1;
  grid->setCurrentCell(1, 1);  // before the connection: start-up reads nothing
  connect(grid, &QTableWidget::currentCellChanged, this,
          [this](int row, int column, int, int) {
            if (row >= 1 && column >= 1) RegStringGridSelectCell(column, row);
          });
  // Keys go to the grid or, while a cell is edited, to its cell editor,
  // which is made on demand: an application filter sees both first and
  // passes every key on.
  QApplication::instance()->installEventFilter(this);

  btnReadAll = new QPushButton("Read Bank", tab);
  btnReadAll->setObjectName("btnReadAll");
  btnReadAll->setGeometry(8, 362, 100, 25);
  connect(btnReadAll, &QPushButton::clicked, this, &RegisterPage::btnReadAllClick);

  lblRegAddr = new QLabel("Reg 0x00", tab);
  lblRegAddr->setObjectName("lblRegAddr");
  lblRegAddr->setGeometry(124, 366, 70, 20);
  lblRegData = new QLabel("= 0x00", tab);
  lblRegData->setObjectName("lblRegData");
  lblRegData->setGeometry(196, 366, 70, 20);

  lblBitNumbers = new QLabel("7 6 5 4 3 2 1 0", tab);
  lblBitNumbers->setObjectName("lblBitNumbers");
  QFont fixed("Monospace");
  fixed.setStyleHint(QFont::TypeWriter);
  fixed.setPixelSize(20);  // wide enough for a box under every digit
  lblBitNumbers->setFont(fixed);
  lblBitNumbers->setGeometry(290, 352, 260, 22);
  // Each box sits under its digit of the fixed-pitch label.
  const QFontMetrics metrics(fixed);
  const int step = metrics.horizontalAdvance("0 ");
  const int digit = metrics.horizontalAdvance("0");
  for (int i = 0; i < 8; ++i) {
    auto* box = new QCheckBox(tab);
    box->setObjectName(QString("chkBit%1").arg(i));
    box->setGeometry(290 + (7 - i) * step + digit / 2 - 7, 374, 18, 18);
    chkBit[i] = box;
  }
}

bool RegisterPage::eventFilter(QObject* watched, QEvent* event) {
  if (event->type() == QEvent::KeyPress) {
    auto* widget = qobject_cast<QWidget*>(watched);
    QTableWidget* grid = form_.RegStringGrid1;
    const bool in_grid = widget == grid;
    const bool in_editor = widget && widget->parentWidget() == grid->viewport();
    auto* key = static_cast<QKeyEvent*>(event);
    // A key the editor leaves alone travels on to the grid: handle it once.
    const bool again = in_grid && key == last_key_ && key->timestamp() == last_key_time_;
    if ((in_grid || in_editor) && !again) {
      last_key_ = in_editor ? key : nullptr;
      last_key_time_ = key->timestamp();
      RegStringGridKeyDown(key->key());
    }
    return false;
  }
  if (event->type() == QEvent::MouseButtonRelease &&
      std::find(chkBit.begin(), chkBit.end(), watched) != chkBit.end()) {
    // The box's own click handling comes first (it may tick the box), then
    // the write, for any mouse button.
    watched->event(event);
    chkBit0MouseUp();
    return true;
  }
  return false;
}

QLineEdit* RegisterPage::CellEditor() const {
  auto* editor = qobject_cast<QLineEdit*>(QApplication::focusWidget());
  if (editor && editor->parentWidget() == form_.RegStringGrid1->viewport()) return editor;
  return nullptr;
}

uint8_t RegisterPage::CurrentRegister() const {
  const QTableWidget* grid = form_.RegStringGrid1;
  const int row = std::max(grid->currentRow(), 1);
  const int column = std::max(grid->currentColumn(), 1);
  return static_cast<uint8_t>((row - 1) * kCells + (column - 1));
}

void RegisterPage::ShowInCurrentCell(uint8_t value) {
  QTableWidget* grid = form_.RegStringGrid1;
  const int row = std::max(grid->currentRow(), 1);
  const int column = std::max(grid->currentColumn(), 1);
  if (!grid->item(row, column)) grid->setItem(row, column, new QTableWidgetItem);
  grid->item(row, column)->setText(Hex2(value));
  // An open editor commits its text when it closes: make that the value too.
  if (QLineEdit* editor = CellEditor()) editor->setText(Hex2(value));
}

void RegisterPage::ShowBits(uint8_t value) {
  for (int i = 0; i < 8; ++i) chkBit[i]->setChecked((value >> i) & 1);
}

void RegisterPage::HighlightHeaders(int column, int row) {
  QTableWidget* grid = form_.RegStringGrid1;
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

void RegisterPage::btnReadAllClick() {
  NorvaneUsb& link = form_.link();
  if (!link.IsPresent() || form_.UpdateOwnsDevice()) return;
  if (running) {
    // The running pass sees the cleared flag before its next read.
    running = false;
    btnReadAll->setText("Read Bank");
    return;
  }
  btnReadAll->setText("Stop");
  running = true;
  link.Open();
  QTableWidget* grid = form_.RegStringGrid1;
  for (int i = 0; i < kCells && running; ++i) {
    for (int j = 0; j < kCells && running; ++j) {
      const auto reg = static_cast<uint8_t>(i * kCells + j);
      shadow.ReadFromChip(link, reg);
      if (!grid->item(i + 1, j + 1)) grid->setItem(i + 1, j + 1, new QTableWidgetItem);
      grid->item(i + 1, j + 1)->setText(Hex2(shadow.Get(reg)));
      form_.ProcessPendingInput();
      // A cell chosen in between read its register in a transaction of its
      // own and closed the link; the rest of the pass would read nothing.
      if (running && !link.HasHandle()) link.Open();
    }
  }
  link.Close();
  running = false;
  btnReadAll->setText("Read Bank");
}

void RegisterPage::RegStringGridSelectCell(int column, int row) {
  const auto reg = static_cast<uint8_t>((row - 1) * kCells + (column - 1));
  HighlightHeaders(column, row);
  lblRegAddr->setText("Reg 0x" + Hex2(reg));
  if (form_.UpdateOwnsDevice()) return;
  NorvaneUsb& link = form_.link();
  link.Open();
  shadow.ReadFromChip(link, reg);
  link.Close();
  const uint8_t value = shadow.Get(reg);
  QTableWidget* grid = form_.RegStringGrid1;
  if (!grid->item(row, column)) grid->setItem(row, column, new QTableWidgetItem);
  grid->item(row, column)->setText(Hex2(value));
  ShowBits(value);
  lblRegData->setText("= 0x" + Hex2(value));
}

void RegisterPage::RegStringGridKeyDown(int key) {
  const uint8_t reg = CurrentRegister();
  if (key == Qt::Key_Return || key == Qt::Key_Enter) {
    // While the cell is being edited, the editor holds the typed text.
    QString text;
    if (const QLineEdit* editor = CellEditor()) {
      text = editor->text();
    } else if (const QTableWidgetItem* item = form_.RegStringGrid1->currentItem()) {
      text = item->text();
    }
    const std::string typed = text.toStdString();
    const std::optional<uint32_t> value = ParseTypedHex(typed);
    if (!value) {
      form_.dialogs().ShowError(QString::fromStdString(TypedHexError(typed)));
      return;
    }
    if (form_.UpdateOwnsDevice()) return;
    shadow.Set(reg, static_cast<uint8_t>(*value & 0xFF));
  } else if (key == Qt::Key_Insert) {
    if (form_.UpdateOwnsDevice() || !shadow.StepUp(reg)) return;
  } else if (key == Qt::Key_Delete) {
    if (form_.UpdateOwnsDevice() || !shadow.StepDown(reg)) return;
  } else {
    return;
  }
  const uint8_t value = shadow.WriteAndReadBack(form_.link(), form_.clock(), reg, kKeyWriteSettleMs);
  ShowInCurrentCell(value);
  ShowBits(value);
}

void RegisterPage::chkBit0MouseUp() {
  if (form_.UpdateOwnsDevice()) return;
  uint8_t byte = 0;
  for (int i = 0; i < 8; ++i) {
    if (chkBit[i]->isChecked()) byte |= static_cast<uint8_t>(1 << i);
  }
  const uint8_t reg = CurrentRegister();
  shadow.Set(reg, byte);
  const uint8_t value = shadow.WriteAndReadBack(form_.link(), form_.clock(), reg, kBitWriteSettleMs);
  ShowInCurrentCell(value);
  ShowBits(value);
  lblRegAddr->setText("Reg 0x" + Hex2(reg));
  lblRegData->setText("= 0x" + Hex2(value));
}

std::unique_ptr<RegisterPage> MakeRegisterPage(TForm1& form, QWidget* tab) {
  return std::make_unique<RegisterPage>(form, tab);
}

}  // namespace korvalen
