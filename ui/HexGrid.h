// The 16 x 16 register grid that the Register page and the I2C Access page
// share: a table whose first row and first column are fixed headers ("00" ..
// "0F" across, "00" .. "F0" down), cells that show a register's value as two
// hex digits, the highlight of the current cell's headers, the address and
// value labels, and eight bit boxes under a "7 6 5 4 3 2 1 0" label. The
// pages keep only how a register is read and written: they act on the
// grid's signals.
#pragma once

#include <QObject>
#include <QString>
#include <array>
#include <cstdint>
#include <optional>

class QCheckBox;
class QKeyEvent;
class QLabel;
class QLineEdit;
class QTableWidget;
class QWidget;

namespace korvalen {

// A byte as two upper-case hex digits, as the grids and their labels show it.
QString HexByte(uint8_t value);

// The grid's table: 17 x 17 cells of 32 x 20 pixels, no toolkit headers
// (row 0 and column 0 are the grid's own).
QTableWidget* MakeHexGridTable(QWidget* parent, const char* name);

// Puts the header texts into row 0 and column 0. The header cells are
// fixed: they can be neither made current nor edited, by mouse or keyboard.
void FillHexGridHeaders(QTableWidget* table);

// Where a page puts the grid's controls below the table, and their names.
struct HexGridControls {
  const char* address_label;  // "Reg 0x00"
  const char* value_label;    // "= 0x00"
  const char* bit_numbers_label;
  const char* bit_box_prefix;  // box i is named prefix + i
  int labels_y;
  int bit_numbers_y;
  int bit_boxes_y;
};

class HexGrid : public QObject {
  Q_OBJECT

 public:
  // Takes over table (made by MakeHexGridTable). The first data cell,
  // register 0x00, starts current.
  explicit HexGrid(QTableWidget* table);
  // Builds the labels and the bit boxes on tab, after what the page built
  // before them (in the order the focus moves through the page).
  void AddControls(QWidget* tab, const HexGridControls& controls);

  QTableWidget* table() const { return table_; }
  QLabel* address_label() const { return address_label_; }
  QLabel* value_label() const { return value_label_; }
  QLabel* bit_numbers_label() const { return bit_numbers_label_; }
  const std::array<QCheckBox*, 8>& bit_boxes() const { return bit_boxes_; }

  // The register of a data cell (column and row 1 to 16).
  static uint8_t RegisterAt(int column, int row);
  // The register of the current cell; nullopt when no data cell is current.
  std::optional<uint8_t> CurrentRegister() const;
  // The current cell's text: while it is being edited, what has been typed.
  QString CurrentCellText() const;

  // Redraws every header plain and those of column and row on silver.
  void HighlightHeaders(int column, int row);
  // The register's cell shows value; an editor open on it shows it too, so
  // that closing the editor does not put the old text back.
  void ShowValue(uint8_t reg, uint8_t value);
  // The bit boxes follow value.
  void ShowBits(uint8_t value);
  // The byte the eight boxes show.
  uint8_t BitsValue() const;
  // "Reg 0x.." and "= 0x..".
  void ShowAddress(uint8_t reg);
  void ShowData(uint8_t value);

 Q_SIGNALS:
  // A data cell became current (column and row 1 to 16).
  void CellSelected(int column, int row);
  // A key reached the grid or its cell editor, once per press. The key goes
  // on to the grid and its editor as usual.
  void KeyPressed(int key);
  // A mouse button was released over a bit box, after the box has handled
  // the release itself (a left release has ticked or cleared it).
  void BitBoxReleased();

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  QLineEdit* CellEditor() const;  // the open cell editor, or nullptr

  QTableWidget* table_;
  QLabel* address_label_ = nullptr;
  QLabel* value_label_ = nullptr;
  QLabel* bit_numbers_label_ = nullptr;
  std::array<QCheckBox*, 8> bit_boxes_{};
  const QKeyEvent* last_key_ = nullptr;
  quint64 last_key_time_ = 0;
};

}  // namespace korvalen
