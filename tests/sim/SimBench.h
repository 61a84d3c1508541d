// A simulated device behind SimDriver with the link opened on it, and raw
// vendor requests built by hand (not through the product's request
// functions), so the model is proven before the product code uses it.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string_view>
#include <vector>

#include "link/NorvaneUsb.h"
#include "link/RequestRecord.h"
#include "sim/SimDevice.h"
#include "sim/SimDriver.h"
#include "sim/VirtualClock.h"

namespace korvalen::sim::testing {

class SimBench {
 public:
  explicit SimBench(const SimIdentity& identity = kSimOrbit,
                    std::string_view flash = kDefaultFlashModel)
      : device(MakeSimDevice(clock, identity, flash)), link(driver) {
    EXPECT_NE(device, nullptr) << "unknown flash model " << flash;
    driver.Attach(device);
    link.SetDriverKind(identity.channel);
    link.SetDeviceId(identity.id_text);
    EXPECT_TRUE(link.Probe());
    EXPECT_TRUE(link.Open());
  }

  bool Out(uint8_t request, uint16_t value, uint16_t index, std::vector<uint8_t> data = {}) {
    return link.ControlTransfer(kVendorOut, request, value, index, data.data(),
                                static_cast<uint32_t>(data.size()));
  }
  bool In(uint8_t request, uint16_t value, uint16_t index, std::vector<uint8_t>& data) {
    return link.ControlTransfer(kVendorIn, request, value, index, data.data(),
                                static_cast<uint32_t>(data.size()));
  }

  bool WriteReg(uint8_t reg, uint8_t value) { return Out(0x90, 0, reg, {value}); }
  uint8_t ReadReg(uint8_t reg) {
    std::vector<uint8_t> value(1, 0x5A);
    EXPECT_TRUE(In(0x91, 0, reg, value)) << "read register " << int(reg);
    return value[0];
  }

  // Enter ISP mode and route the flash pins, as the update's SetIspMode does.
  void EnterIsp() {
    ASSERT_TRUE(Out(0x84, 0xB6A3, 0xF8E2));
    WriteReg(0, 13);
    WriteReg(7, 0x10);
    WriteReg(1, 3);
  }
  void LeaveIsp() {
    ASSERT_TRUE(Out(0x85, 0x91E7, 0x7F03));
    WriteReg(0, 13);
    WriteReg(7, 0);
  }

  // One flash-write packet; end = 1 raises chip select after it.
  bool FlashWrite(std::vector<uint8_t> bytes, uint16_t end = 1) {
    return Out(0x80, 0, end, std::move(bytes));
  }
  bool Ready() {
    std::vector<uint8_t> ready(1, 0);
    return In(0x83, 0, 0, ready) && ready[0] != 0;
  }
  // A command with answer: send, poll ready (1 ms apart, at most 100), fetch.
  std::vector<uint8_t> Command(std::vector<uint8_t> bytes, uint16_t count) {
    EXPECT_TRUE(Out(0x81, count, 1, std::move(bytes)));
    int polls = 0;
    while (!Ready()) {
      if (++polls == 100) {
        ADD_FAILURE() << "answer never ready";
        return {};
      }
      clock.Sleep(1);
    }
    std::vector<uint8_t> answer(count, 0);
    EXPECT_TRUE(In(0x82, 0, 0, answer));
    return answer;
  }
  uint8_t Status() { return Command({0x05}, 1).at(0); }
  // Polls the busy bit 1 ms apart; the number of polls that saw it set.
  int WaitIdle(int limit = 100000) {
    int busy_polls = 0;
    while (Status() & 0x01) {
      if (++busy_polls >= limit) return busy_polls;
      clock.Sleep(1);
    }
    return busy_polls;
  }
  std::vector<uint8_t> ReadFlash(uint32_t address, uint16_t count) {
    return Command({0x03, static_cast<uint8_t>(address >> 16), static_cast<uint8_t>(address >> 8),
                    static_cast<uint8_t>(address)},
                   count);
  }

  VirtualClock clock;
  SimDriver driver;
  std::shared_ptr<SimDevice> device;
  NorvaneUsb link;
};

}  // namespace korvalen::sim::testing
