#include "link/RegisterShadow.h"

#include "link/Registers.h"

namespace korvalen {

bool RegisterShadow::StepUp(uint8_t reg) {
  if (values_[reg] == 0xFF) return false;
  ++values_[reg];
  return true;
}

bool RegisterShadow::StepDown(uint8_t reg) {
  if (values_[reg] == 0x00) return false;
  --values_[reg];
  return true;
}

bool RegisterShadow::ReadFromChip(NorvaneUsb& link, uint8_t reg) {
  return ReadRegister(link, reg, &values_[reg]);
}

uint8_t RegisterShadow::WriteAndReadBack(NorvaneUsb& link, Clock& clock, uint8_t reg,
                                         uint32_t wait_ms) {
  link.Open();
  WriteRegister(link, reg, values_[reg]);
  clock.Sleep(wait_ms);
  ReadFromChip(link, reg);
  link.Close();
  return values_[reg];
}

}  // namespace korvalen
