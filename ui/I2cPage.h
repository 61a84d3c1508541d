// The I2C Access page and the "Special I2C access" group of the Information
// page, built into the group box that page hands over. Both talk to the one
// slave address the page context keeps (`access`).
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
class QTableWidget;
class QWidget;

namespace korvalen {

class PageContext;

class I2cPage : public QObject {
  Q_OBJECT

 public:
  // special_group: the Information page's "Special I2C access" box.
  I2cPage(PageContext& context, QWidget* tab, QWidget* special_group);

  // The I2C Access page.
  QTableWidget* StringGridMIIC = nullptr;
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
  I2cSlaveAccess& access;

  // The page was chosen in the page control: the I2C controller is set up.
  void MainPageControlChange();
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

  PageContext& context_;
  HexGrid grid_;
};

}  // namespace korvalen
