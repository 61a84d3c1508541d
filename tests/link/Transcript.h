// Helpers for transcript tests of the request functions: an opened link on a
// recording driver, the recorded transfers as plain values that compare and
// print, and a clock that only counts.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <ostream>
#include <vector>

#include "link/Clock.h"
#include "link/FlashPassThrough.h"
#include "link/NorvaneUsb.h"
#include "link/Registers.h"
#include "tests/support/RecordingDriver.h"

namespace korvalen::testing {

// One control transfer as the device saw it: setup fields and the data stage
// (sent for OUT, received for IN).
struct Req {
  uint8_t type = 0;
  uint8_t request = 0;
  uint16_t value = 0;
  uint16_t index = 0;
  std::vector<uint8_t> data;
  bool operator==(const Req&) const = default;
};

inline void PrintTo(const Req& r, std::ostream* os) {
  *os << std::hex << "{0x" << +r.type << " 0x" << +r.request << " v=0x" << r.value << " i=0x"
      << r.index << " [";
  for (size_t i = 0; i < r.data.size(); ++i) *os << (i ? " " : "") << +r.data[i];
  *os << "]}" << std::dec;
}

inline std::vector<Req> Transcript(const RecordingDriver& driver) {
  std::vector<Req> out;
  for (const auto& t : driver.Transfers()) {
    const SetupPacket& s = t.request.setup;
    out.push_back({s.request_type, s.request, s.value, s.index, t.data});
  }
  return out;
}

inline Req WriteReg(uint8_t reg, uint8_t value) {
  return {kVendorOut, kRequestWriteRegister, 0, reg, {value}};
}
inline Req ReadReg(uint8_t reg, uint8_t value) {
  return {kVendorIn, kRequestReadRegister, 0, reg, {value}};
}
inline Req FlashWritePacket(uint16_t end, std::vector<uint8_t> bytes) {
  return {kVendorOut, kRequestFlashWrite, 0, end, std::move(bytes)};
}
inline Req FlashCommand(uint16_t answer_count, std::vector<uint8_t> bytes) {
  return {kVendorOut, kRequestFlashCommandRead, answer_count, kFlashTransferEnd, std::move(bytes)};
}
inline Req Ready(uint8_t answer) { return {kVendorIn, kRequestFlashReady, 0, 0, {answer}}; }
inline Req Fetch(std::vector<uint8_t> bytes) {
  return {kVendorIn, kRequestFlashFetch, 0, 0, std::move(bytes)};
}

inline void Append(std::vector<Req>& to, const std::vector<Req>& more) {
  to.insert(to.end(), more.begin(), more.end());
}

// Counts waits instead of sleeping.
class CountingClock : public Clock {
 public:
  void Sleep(uint32_t ms) override {
    sleeps.push_back(ms);
    now_us += uint64_t{ms} * 1000;
  }
  uint64_t NowMicros() override { return now_us; }

  std::vector<uint32_t> sleeps;
  uint64_t now_us = 0;
};

// A link whose device was found and opened; the calls of finding and opening
// are cleared so a test sees only its own requests.
class OpenLinkTest : public ::testing::Test {
 protected:
  static constexpr const char* kPath = "\\\\?\\usb#vid_0c3d&pid_6000#5&1a2b3c&0&1#{guid}";

  OpenLinkTest() {
    driver_.SetInterfaces(kUsbDeviceInterfaceClass, {kPath});
    link_.Probe();
    link_.Open();
    driver_.ClearCalls();
  }

  // Answers IN transfers from a callback: fn(request, wIndex) -> byte(s).
  template <typename Fn>
  void AnswerWith(Fn fn) {
    driver_.responder = [fn](const DecodedRequest& r, std::span<uint8_t> out) {
      if (r.DeviceToHost()) fn(r, out);
      return true;
    };
  }

  RecordingDriver driver_;
  NorvaneUsb link_{driver_};
  CountingClock clock_;
};

}  // namespace korvalen::testing
