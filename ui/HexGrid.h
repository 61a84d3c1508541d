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
#include <tuple>

class QCheckBox;
class QKeyEvent;
class QLabel;
class QLineEdit;
class QPushButton;
class QTableWidget;
class QWidget;

namespace korvalen {

class Dialogs;

// A byte as two upper-case hex digits, as the grids and their labels show it.
QString HexByte(uint8_t value);

// The grid's table: 17 x 17 cells of 32 x 20 pixels, no toolkit headers
// (row 0 and column 0 are the grid's own).
QTableWidget* MakeHexGridTable(QWidget* parent, const char* name);

// Puts the header texts into row 0 and column 0. The header cells are
// fixed: they can be neither made current nor edited, by mouse or keyboard.
void FillHexGridHeaders(QTableWidget* table);

// The names of the grid's controls below the table, and where they stand.
struct HexGridControls {
  const char* read_button;
  const char* read_caption;
  const char* address_label;  // "Reg 0x00"
  const char* value_label;    // "= 0x00"
  const char* bit_numbers_label;
  const char* bit_box_prefix;  // box i is named prefix + i
  int read_button_y;           // the two labels stand level with it
  int bit_numbers_y;
  int bit_boxes_y;
};

// The read button, the address label, the value label, the bit numbers
// label and the bit boxes.
using HexGridWidgets =
    std::tuple<QPushButton*, QLabel*, QLabel*, QLabel*, std::array<QCheckBox*, 8>>;

class HexGrid : public QObject {
  Q_OBJECT

 public:
  // Takes over table (made by MakeHexGridTable). The first data cell,
  // register 0x00, starts current.
  explicit HexGrid(QTableWidget* table);
  // Builds the controls below the table on tab, in the order of
  // HexGridWidgets and after what the page built before them (the order the
  // focus moves through the page), and returns them. The page connects the
  // read button and runs its pass between StartPass and EndPass.
  HexGridWidgets AddControls(QWidget* tab, const HexGridControls& controls);

  // A press of the read button. While idle: the caption reads "Stop" and
  // true says the pass is to run. While a pass runs: it is asked to stop
  // (it reads nothing more), the caption goes back, and false.
  bool StartPass();
  // Whether the running pass goes on to its next read.
  bool PassGoesOn() const { return pass_running_; }
  // The pass has ended: idle again, with the read button's own caption.
  void EndPass();

  QTableWidget* table() const { return table_; }

  // The register of a data cell (column and row 1 to 16).
  static uint8_t RegisterAt(int column, int row);
  // The register of the current cell; nullopt when no data cell is current.
  std::optional<uint8_t> CurrentRegister() const;
  // The current cell's text: while it is being edited, what has been typed.
  QString CurrentCellText() const;
  // That text converted as a typed hexadecimal number; nullopt after the
  // conversion error, naming the text as typed, has been shown.
  std::optional<uint32_t> TypedValue(Dialogs& dialogs) const;

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
  // A data cell became current (column and row 1 to 16); its headers are
  // highlighted and the address label names its register already.
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
  QPushButton* read_button_ = nullptr;
  QString read_caption_;
  bool pass_running_ = false;
  QLabel* address_label_ = nullptr;
  QLabel* value_label_ = nullptr;
  std::array<QCheckBox*, 8> bit_boxes_{};
  const QKeyEvent* last_key_ = nullptr;
  quint64 last_key_time_ = 0;
};

}  // namespace korvalen
