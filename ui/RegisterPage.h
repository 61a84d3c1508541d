// The Register page: the chip's 256 registers of the selected bank in a
// 16 x 16 grid, Read Bank, and eight bit boxes. Controls and state, held by
// TForm1; the grid is TForm1's RegStringGrid1.
#pragma once

#include <QObject>
#include <array>
#include <memory>

#include "link/RegisterShadow.h"

class QCheckBox;
class QKeyEvent;
class QLabel;
class QLineEdit;
class QPushButton;
class QWidget;

namespace korvalen {

class TForm1;

class RegisterPage : public QObject {
  Q_OBJECT

 public:
  RegisterPage(TForm1& form, QWidget* tab);

  QPushButton* btnReadAll = nullptr;
  QLabel* lblRegAddr = nullptr;
  QLabel* lblRegData = nullptr;
  QLabel* lblBitNumbers = nullptr;
  std::array<QCheckBox*, 8> chkBit{};  // chkBit0 .. chkBit7

  RegisterShadow shadow;
  bool running = false;  // a Read Bank pass runs

  void btnReadAllClick();
  void RegStringGridSelectCell(int column, int row);
  void RegStringGridKeyDown(int key);
  void chkBit0MouseUp();

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  uint8_t CurrentRegister() const;
  void ShowInCurrentCell(uint8_t value);
  void ShowBits(uint8_t value);
  void HighlightHeaders(int column, int row);
  QLineEdit* CellEditor() const;  // the open cell editor, or nullptr

  TForm1& form_;
  const QKeyEvent* last_key_ = nullptr;
  quint64 last_key_time_ = 0;
};

std::unique_ptr<RegisterPage> MakeRegisterPage(TForm1& form, QWidget* tab);

}  // namespace korvalen
