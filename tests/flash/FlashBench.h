// A simulated device on the virtual clock behind a fault wrapper and a spy,
// with a link, a recording view, an image and the flash core on top: the
// whole stack the window uses, minus the window.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "flash/FlashOperations.h"
#include "tests/support/RecordingView.h"
#include "flash/UpdateSequences.h"
#include "image/FirmwareImage.h"
#include "link/FlashPassThrough.h"
#include "link/NorvaneUsb.h"
#include "link/Registers.h"
#include "link/RequestRecord.h"
#include "sim/FaultDriver.h"
#include "sim/FlashModels.h"
#include "sim/SimDevice.h"
#include "sim/SimDriver.h"
#include "sim/VirtualClock.h"

namespace korvalen::testing {

// One control transfer as it crossed the driver seam.
struct SpiedTransfer {
  SetupPacket setup;
  std::vector<uint8_t> data;  // sent for OUT, received for IN
  bool ok = false;
};

// Passes every call on and keeps the decoded transfers, so tests can count
// the flash commands a flow sent.
class SpyDriver : public Driver {
 public:
  explicit SpyDriver(Driver& inner) : inner_(inner) {}

  std::optional<std::vector<std::string>> EnumerateInterfaces(const Guid& c) override {
    return inner_.EnumerateInterfaces(c);
  }
  DriverHandle OpenPath(const std::string& path) override {
    opened_at.push_back(transfers.size());
    return inner_.OpenPath(path);
  }
  void CloseHandle(DriverHandle handle) override { inner_.CloseHandle(handle); }
  bool LastIoDeviceGone() const override { return inner_.LastIoDeviceGone(); }
  bool IoControl(DriverHandle handle, uint32_t code, std::span<const uint8_t> in,
                 std::span<uint8_t> out) override {
    const auto decoded = DecodeRequest(code, in, out.size());
    if (decoded && refuse) {
      // The data stage of an OUT transfer travels in the out block.
      SpiedTransfer sent{decoded->setup,
                         std::vector<uint8_t>(out.begin(), out.begin() + decoded->length), false};
      if (!decoded->DeviceToHost() && refuse(sent)) {
        transfers.push_back(std::move(sent));
        return false;
      }
    }
    const bool ok = inner_.IoControl(handle, code, in, out);
    if (ok && decoded && decoded->DeviceToHost() && tamper) tamper(*decoded, out);
    if (decoded) {
      transfers.push_back(
          {decoded->setup, std::vector<uint8_t>(out.begin(), out.begin() + decoded->length), ok});
    }
    return ok;
  }

  // Flash-write packets whose bytes are exactly these.
  size_t CountFlashWrites(const std::vector<uint8_t>& bytes) const {
    return std::count_if(transfers.begin(), transfers.end(), [&](const SpiedTransfer& t) {
      return t.setup.request == kRequestFlashWrite && t.data == bytes;
    });
  }
  // Flash-write packets whose first byte is this opcode.
  std::vector<SpiedTransfer> FlashWritesOf(uint8_t opcode) const {
    std::vector<SpiedTransfer> found;
    for (const SpiedTransfer& t : transfers)
      if (t.setup.request == kRequestFlashWrite && !t.data.empty() && t.data[0] == opcode)
        found.push_back(t);
    return found;
  }

  // OUT transfers for which this is true fail without reaching the device,
  // as a transfer lost on the bus would.
  std::function<bool(const SpiedTransfer&)> refuse;

  // Changes the data of answered IN transfers before the link sees them.
  std::function<void(const DecodedRequest&, std::span<uint8_t>)> tamper;

  std::vector<SpiedTransfer> transfers;
  // For each open, how many transfers had gone before it.
  std::vector<size_t> opened_at;

 private:
  Driver& inner_;
};

class FlashBench {
 public:
  explicit FlashBench(std::string_view model = sim::kDefaultFlashModel)
      : FlashBench(*sim::FindFlashModel(model)) {}
  explicit FlashBench(const sim::FlashModel& model)
      : device_(std::make_shared<sim::SimDevice>(clock_, sim::kSimUpdate5E1A, model)) {
    sim_driver_.Attach(device_);
    link_.SetDriverKind(kDeviceInterfaceChannel);
    link_.SetDeviceId(sim::kSimUpdate5E1A.id_text);
    link_.Probe();
    spy_.transfers.clear();
    spy_.opened_at.clear();
    faults_.ResetCount();
  }

  // ISP mode on, link closed again: what the page's Enter ISP leaves behind.
  void EnterIsp() {
    link_.Open();
    SetIspMode(link_, true);
    link_.Close();
    spy_.transfers.clear();
  }

  // An image of `length` bytes with a recognisable pattern.
  void LoadPattern(uint32_t length) {
    FillImage(*image_, kErasedByte);
    for (uint32_t i = 0; i < length; ++i) image_->bytes[i] = static_cast<uint8_t>(i * 7 + 3);
    image_->length = length;
  }

  std::vector<uint8_t> FlashBytes(uint32_t address, uint32_t count) const {
    return device_->flash().Read(address, count);
  }
  std::vector<uint8_t> ImageBytes(uint32_t offset, uint32_t count) const {
    return {image_->bytes.begin() + offset, image_->bytes.begin() + offset + count};
  }

  sim::VirtualClock clock_;
  sim::SimDriver sim_driver_;
  sim::FaultDriver faults_{sim_driver_};
  SpyDriver spy_{faults_};
  std::shared_ptr<sim::SimDevice> device_;
  NorvaneUsb link_{spy_};
  RecordingView view_;
  std::unique_ptr<FirmwareImage> image_ = std::make_unique<FirmwareImage>();
  FlashOperations ops_{link_, clock_, view_, *image_};
  UpdateSequences sequences_{link_, clock_, view_, ops_};
};

using Target = RecordingView::Target;

// The texts of a label with each run of the same text kept once, and the
// growing dots of an erase folded into their first text.
inline std::vector<std::string> Steps(const RecordingView& view, Target target) {
  std::vector<std::string> steps;
  for (const std::string& text : view.Texts(target)) {
    const bool erase_dots = !steps.empty() && steps.back().starts_with("Flash Erase All") &&
                            text.starts_with("Flash Erase All");
    if (erase_dots || (!steps.empty() && steps.back() == text)) continue;
    steps.push_back(text);
  }
  return steps;
}

}  // namespace korvalen::testing
