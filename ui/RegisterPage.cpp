// The Register page: reads on cell selection, writes on Enter, Insert and
// Delete in the grid and on a mouse release over a bit box, each followed
// by a read-back that is what the page shows. The page never selects a
// bank: it works on whichever bank the chip has selected.
#include "ui/RegisterPage.h"

#include <QPushButton>

#include "link/Registers.h"
#include "ui/PageContext.h"

namespace korvalen {
namespace {

constexpr int kCells = 16;
// A typed write gets 1 ms before its read-back, a bit-box write 3 ms.
constexpr uint32_t kKeyWriteSettleMs = 1;
constexpr uint32_t kBitWriteSettleMs = 3;

constexpr HexGridControls kGridControls = {.read_button = "btnReadAll",
                                           .read_caption = "Read Bank",
                                           .address_label = "lblRegAddr",
                                           .value_label = "lblRegData",
                                           .bit_numbers_label = "lblBitNumbers",
                                           .bit_box_prefix = "chkBit",
                                           .read_button_y = 362,
                                           .bit_numbers_y = 352,
                                           .bit_boxes_y = 374};

}  // namespace

RegisterPage::RegisterPage(PageContext& context, QWidget* tab)
    : RegStringGrid1(MakeHexGridTable(tab, "RegStringGrid1")),
      context_(context),
      grid_(RegStringGrid1) {
  std::tie(btnReadAll, lblRegAddr, lblRegData, lblBitNumbers, chkBit) =
      grid_.AddControls(tab, kGridControls);
  connect(btnReadAll, &QPushButton::clicked, this, &RegisterPage::btnReadAllClick);
  connect(&grid_, &HexGrid::CellSelected, this, &RegisterPage::RegStringGridSelectCell);
  connect(&grid_, &HexGrid::KeyPressed, this, &RegisterPage::RegStringGridKeyDown);
  connect(&grid_, &HexGrid::BitBoxReleased, this, &RegisterPage::chkBit0MouseUp);
}

void RegisterPage::btnReadAllClick() {
  NorvaneUsb& link = context_.link();
  if (!link.IsPresent() || context_.DeviceBusy() || !grid_.StartPass()) return;
  link.Open();
  for (int i = 0; i < kCells && grid_.PassGoesOn(); ++i) {
    for (int j = 0; j < kCells && grid_.PassGoesOn(); ++j) {
      const auto reg = static_cast<uint8_t>(i * kCells + j);
      shadow.ReadFromChip(link, reg);
      grid_.ShowValue(reg, shadow.Get(reg));
      context_.ProcessPendingInput();
      // A cell chosen in between read its register in a transaction of its
      // own and closed the link; the rest of the pass would read nothing.
      if (grid_.PassGoesOn() && !link.HasHandle()) link.Open();
    }
  }
  link.Close();
  grid_.EndPass();
}

void RegisterPage::RegStringGridSelectCell(int column, int row) {
  if (context_.DeviceBusy()) return;
  const uint8_t reg = HexGrid::RegisterAt(column, row);
  NorvaneUsb& link = context_.link();
  link.Open();
  shadow.ReadFromChip(link, reg);
  link.Close();
  const uint8_t value = shadow.Get(reg);
  grid_.ShowValue(reg, value);
  grid_.ShowBits(value);
  grid_.ShowData(value);
}

void RegisterPage::RegStringGridKeyDown(int key) {
  const std::optional<uint8_t> reg = grid_.CurrentRegister();
  if (!reg) return;
  if (key == Qt::Key_Return || key == Qt::Key_Enter) {
    const std::optional<uint32_t> value = grid_.TypedValue(context_.dialogs());
    if (!value || context_.DeviceBusy()) return;
    shadow.Set(*reg, static_cast<uint8_t>(*value & 0xFF));
  } else if (key == Qt::Key_Insert) {
    if (context_.DeviceBusy() || !shadow.StepUp(*reg)) return;
  } else if (key == Qt::Key_Delete) {
    if (context_.DeviceBusy() || !shadow.StepDown(*reg)) return;
  } else {
    return;
  }
  WriteAndShow(*reg, kKeyWriteSettleMs);
}

void RegisterPage::chkBit0MouseUp() {
  const std::optional<uint8_t> reg = grid_.CurrentRegister();
  if (!reg || context_.DeviceBusy()) return;
  shadow.Set(*reg, grid_.BitsValue());
  const uint8_t value = WriteAndShow(*reg, kBitWriteSettleMs);
  grid_.ShowAddress(*reg);
  grid_.ShowData(value);
}

uint8_t RegisterPage::WriteAndShow(uint8_t reg, uint32_t settle_ms) {
  const uint8_t value = shadow.WriteAndReadBack(context_.link(), context_.clock(), reg, settle_ms);
  grid_.ShowValue(reg, value);
  grid_.ShowBits(value);
  return value;
}

}  // namespace korvalen
