// The I2C slaves on the devices' board, as the demo and the I2C pages'
// tests meet them.
#include <string_view>

#include "sim/SimI2c.h"

namespace korvalen::sim {
namespace {

// The DAC's register port.
constexpr uint8_t kDacRegChipId = 0x00;
constexpr uint8_t kDacRegRevision = 0x01;
constexpr uint8_t kDacRegClock = 0x02;  // bit 7: the clock is locked (the DAC sets it)
constexpr uint8_t kDacRegVolumeLeft = 0x03;
constexpr uint8_t kDacRegVolumeRight = 0x04;
constexpr uint8_t kDacRegFilter = 0x05;
constexpr uint8_t kDacRegStatus = 0x0F;
constexpr uint8_t kDacChipId = 0x8C;
constexpr uint8_t kDacRevision = 0x03;
constexpr uint8_t kDacClockLocked = 0x80;
constexpr uint8_t kDacClockAuto = 0x01;
constexpr uint8_t kDacVolume0dB = 0xFF;
constexpr uint8_t kDacFilterSharp = 0x02;
constexpr uint8_t kDacStatusPowered = 0x41;

// The controller's identification: manufacturer code 0x99.
constexpr uint8_t kControllerIdCode = 0x99;
constexpr std::string_view kControllerId = "KRV-PC1";

}  // namespace

void AddBoardI2cSlaves(SimI2cBus& bus) {
  auto dac = bus.AddSlave(kBoardDacAddress, 256);
  dac->SetRegister(kDacRegChipId, kDacChipId);
  dac->SetRegister(kDacRegRevision, kDacRevision);
  dac->SetRegister(kDacRegClock, kDacClockLocked | kDacClockAuto);
  dac->SetRegister(kDacRegVolumeLeft, kDacVolume0dB);
  dac->SetRegister(kDacRegVolumeRight, kDacVolume0dB);
  dac->SetRegister(kDacRegFilter, kDacFilterSharp);
  dac->SetRegister(kDacRegStatus, kDacStatusPowered);
  for (uint8_t reg : {kDacRegChipId, kDacRegRevision, kDacRegStatus}) dac->SetWritableBits(reg, 0);
  dac->SetWritableBits(kDacRegClock, 0x7F);

  auto controller = std::make_shared<SimI2cCommandSlave>(kBoardControllerAddress);
  controller->SetData(kControllerIdCode,
                      {reinterpret_cast<const uint8_t*>(kControllerId.data()), kControllerId.size()});
  controller->SetReadOnly(kControllerIdCode);
  bus.Attach(controller);
}

}  // namespace korvalen::sim
