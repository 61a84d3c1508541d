// The I2C Access page and the "Special I2C access" group of the Information
// page (InformationPg->GroupBox7): their controls and state, held by TForm1.
// Both talk to the one shared slave address kept in `access`.
#pragma once

#include <QObject>
#include <array>
#include <memory>

#include "flash/I2cAccess.h"
#include "ui/HexGrid.h"

class QCheckBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QScrollBar;
class QWidget;

namespace korvalen {

class TForm1;

class I2cPage : public QObject {
  Q_OBJECT

 public:
  I2cPage(TForm1& form, QWidget* tab);

  // The I2C Access page; the grid's table is TForm1's StringGridMIIC.
  QLineEdit* edtMI2CAddr = nullptr;
  QPushButton* btnReadMI2C = nullptr;
  QLabel* lblMI2CRegAddr = nullptr;
  QLabel* lblMI2CRegData = nullptr;
  QLabel* lblMI2CBitNumbers = nullptr;
  std::array<QCheckBox*, 8> chkMI2CBit{};  // chkMI2CBit0 .. chkMI2CBit7

  // The "Special I2C access" group.
  QLineEdit* edtMI2CAddr1 = nullptr;
  QScrollBar* srblen0 = nullptr;  // command length
  QScrollBar* srblen1 = nullptr;  // data length
  QLabel* lbllencmd = nullptr;
  QLabel* lbllendat = nullptr;
  std::array<QLineEdit*, kI2cRawMaxLength> edtI2Ccmd{};
  std::array<QLineEdit*, kI2cRawMaxLength> edtI2Cdat{};
  QPushButton* btnWriteSpecI2C = nullptr;
  QPushButton* btnReadSpecI2C = nullptr;

  // The shared slave address, the slave shadow and their transactions.
  I2cSlaveAccess access;

  void MainPageControlChange(int index);
  void edtMI2CAddrKeyDown();
  void btnReadMI2CClick();
  void StringGridMIICSelectCell(int column, int row);
  void StringGridMIICKeyDown(int key);
  void chkMI2CBitMouseUp();
  void edtMI2CAddr1KeyDown();
  void srblen0Change();
  void srblen1Change();
  void btnWriteSpecI2CClick();
  void btnReadSpecI2CClick();

 private:
  void BuildAccessPage(QWidget* tab);
  void BuildSpecialGroup(QWidget* group);
  // The current cell shows the shadow entry of reg, and the bit boxes too.
  void ShowCurrent(uint8_t reg);
  // The typed address, or nullopt after showing the conversion error.
  std::optional<uint8_t> TakeAddress(const QLineEdit* edit);
  I2cRawTransfer TransferFromFields() const;

  TForm1& form_;
  QWidget* tab_;
  HexGrid grid_;
};

std::unique_ptr<I2cPage> MakeI2cPage(TForm1& form, QWidget* tab);

}  // namespace korvalen
