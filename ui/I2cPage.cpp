// The I2C Access page and the "Special I2C access" group of the Information
// page. The page reads a slave register on cell selection and writes on
// Enter, Insert and Delete in the grid and on a mouse release over a bit
// box, each write followed by a read-back that is what the page shows. The
// group sends one raw transfer. Neither selects a register bank: choosing
// the page sets the I2C controller up, and that lasts until something else
// selects another bank.
#include "ui/I2cPage.h"

#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScrollBar>
#include <string>
#include <vector>

#include "ui/PageContext.h"
#include "ui/TypedNumbers.h"

namespace korvalen {
namespace {

constexpr HexGridControls kGridControls = {.read_button = "btnReadMI2C",
                                           .read_caption = "Read",
                                           .address_label = "lblMI2CRegAddr",
                                           .value_label = "lblMI2CRegData",
                                           .bit_numbers_label = "lblMI2CBitNumbers",
                                           .bit_box_prefix = "chkMI2CBit",
                                           .read_button_y = 394,
                                           .bit_numbers_y = 360,
                                           .bit_boxes_y = 384};

QLabel* MakeLabel(QWidget* parent, const char* name, const QString& text, int x, int y, int width) {
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

I2cPage::I2cPage(PageContext& context, QWidget* tab, QWidget* special_group)
    : StringGridMIIC(MakeHexGridTable(tab, "StringGridMIIC")),
      access(context.i2c()),
      context_(context),
      grid_(StringGridMIIC) {
  BuildAccessPage(tab);
  BuildSpecialGroup(special_group);
}

void I2cPage::BuildAccessPage(QWidget* tab) {
  MakeLabel(tab, "lblMI2CAddr", "Slave Address: 0x", 8, 364, 110);
  edtMI2CAddr = MakeEdit(tab, "edtMI2CAddr", "20", 118, 363);
  MakeLabel(tab, "lblMI2CAddrHint", "(enter)", 158, 364, 50);
  connect(edtMI2CAddr, &QLineEdit::returnPressed, this, &I2cPage::edtMI2CAddrKeyDown);

  std::tie(btnReadMI2C, lblMI2CRegAddr, lblMI2CRegData, lblMI2CBitNumbers, chkMI2CBit) =
      grid_.AddControls(tab, kGridControls);
  connect(btnReadMI2C, &QPushButton::clicked, this, &I2cPage::btnReadMI2CClick);
  connect(&grid_, &HexGrid::CellSelected, this, &I2cPage::StringGridMIICSelectCell);
  connect(&grid_, &HexGrid::KeyPressed, this, &I2cPage::StringGridMIICKeyDown);
  connect(&grid_, &HexGrid::BitBoxReleased, this, &I2cPage::chkMI2CBitMouseUp);
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

void I2cPage::ShowCurrent(uint8_t reg) {
  grid_.ShowValue(reg, access.Shadow(reg));
  grid_.ShowBits(access.Shadow(reg));
}

std::optional<uint8_t> I2cPage::TakeAddress(const QLineEdit* edit) {
  const QString typed = edit->text();
  const std::optional<uint8_t> address = SlaveAddressFromText(typed.toStdString());
  if (!address) context_.dialogs().ShowError(InvalidHexText(typed));
  return address;
}

I2cRawTransfer I2cPage::TransferFromFields() const {
  return PackRawTransfer(TextsOf(edtI2Ccmd), srblen0->value(), TextsOf(edtI2Cdat),
                         srblen1->value());
}

void I2cPage::MainPageControlChange() {
  // The set-up runs whether or not a device is present; its requests then
  // fail quietly. Not while an update holds the link, though.
  if (context_.DeviceBusy()) return;
  access.Setup();
}

void I2cPage::edtMI2CAddrKeyDown() {
  const std::optional<uint8_t> address = TakeAddress(edtMI2CAddr);
  if (!address) return;
  access.set_slave_address(*address);
  edtMI2CAddr->setText(HexByte(*address));
}

void I2cPage::edtMI2CAddr1KeyDown() {
  const std::optional<uint8_t> address = TakeAddress(edtMI2CAddr1);
  if (!address) return;
  access.set_slave_address(*address);
  // The page's edit shows the address now in use; this one keeps the typing.
  edtMI2CAddr->setText(HexByte(*address));
}

void I2cPage::btnReadMI2CClick() {
  if (!context_.link().IsPresent() || context_.DeviceBusy() || !grid_.StartPass()) return;
  NorvaneUsb& link = context_.link();
  access.ReadAll([this, &link](uint8_t reg) {
    grid_.ShowValue(reg, access.Shadow(reg));
    context_.ProcessPendingInput();
    // A handler that ran in between closed the link after its own
    // transaction; the rest of the pass would read nothing but zeros.
    if (grid_.PassGoesOn() && !link.HasHandle()) link.Open();
    return grid_.PassGoesOn();
  });
  grid_.EndPass();
}

void I2cPage::StringGridMIICSelectCell(int column, int row) {
  if (context_.DeviceBusy()) return;
  const uint8_t reg = HexGrid::RegisterAt(column, row);
  access.ReadRegister(reg);
  ShowCurrent(reg);
  grid_.ShowData(access.Shadow(reg));
}

void I2cPage::StringGridMIICKeyDown(int key) {
  const std::optional<uint8_t> reg = grid_.CurrentRegister();
  if (!reg) return;
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
  const std::optional<uint32_t> value = grid_.TypedValue(context_.dialogs());
  if (!value || context_.DeviceBusy()) return;
  const bool sends = SteppedValue(grid_key, static_cast<uint8_t>(*value & 0xFF)).has_value();
  access.GridKey(grid_key, *reg, grid_.CurrentCellText().toStdString());
  if (!sends) return;  // the converted value stays in the shadow, the cell as typed
  ShowCurrent(*reg);
}

void I2cPage::chkMI2CBitMouseUp() {
  const std::optional<uint8_t> reg = grid_.CurrentRegister();
  if (!reg || context_.DeviceBusy()) return;
  access.WriteBits(*reg, grid_.BitsValue());
  ShowCurrent(*reg);
  grid_.ShowAddress(*reg);
  grid_.ShowData(access.Shadow(*reg));
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
  if (!context_.link().IsPresent() || context_.DeviceBusy()) return;
  access.WriteRaw(TransferFromFields());
}

void I2cPage::btnReadSpecI2CClick() {
  if (!context_.link().IsPresent() || context_.DeviceBusy()) return;
  const std::optional<std::vector<uint8_t>> received = access.ReadRaw(TransferFromFields());
  // A slave that did not answer filled nothing: the fields keep what they had.
  if (!received) return;
  for (size_t i = 0; i < received->size(); ++i) edtI2Cdat[i]->setText(HexByte((*received)[i]));
}

}  // namespace korvalen
