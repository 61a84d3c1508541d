// The Register page: the chip's 256 registers of the selected bank in a
// 16 x 16 grid, Read Bank, and eight bit boxes.
#pragma once

#include <QObject>
#include <array>
#include <memory>

#include "link/RegisterShadow.h"
#include "ui/HexGrid.h"

class QCheckBox;
class QTableWidget;
class QLabel;
class QPushButton;
class QWidget;

namespace korvalen {

class PageContext;

class RegisterPage : public QObject {
  Q_OBJECT

 public:
  RegisterPage(PageContext& context, QWidget* tab);

  QTableWidget* RegStringGrid1 = nullptr;

  QPushButton* btnReadAll = nullptr;
  QLabel* lblRegAddr = nullptr;
  QLabel* lblRegData = nullptr;
  QLabel* lblBitNumbers = nullptr;
  std::array<QCheckBox*, 8> chkBit{};  // chkBit0 .. chkBit7

  RegisterShadow shadow;

  void btnReadAllClick();
  void RegStringGridSelectCell(int column, int row);
  void RegStringGridKeyDown(int key);
  void chkBit0MouseUp();

 private:
  // Writes the shadow entry of reg, reads it back after settle_ms and shows
  // the value read in its cell and the bit boxes.
  uint8_t WriteAndShow(uint8_t reg, uint32_t settle_ms);

  PageContext& context_;
  HexGrid grid_;
};

}  // namespace korvalen
