// korvalen-soak: many one-click updates in virtual time on one stack built
// once (simulated device, fault wrapper, link, flash core), with a fault in
// one run of every ten. It checks every verdict against the flash and
// reports the resident size after the first and the last hundred runs, so
// a leak or a growing buffer shows. Run it under valgrind or LeakSanitizer
// for the leak check proper.
//
//   korvalen-soak [--runs N] [--model PART]      (defaults: 1000, w25x20cl)
//
// Exit status 0 when every run ended as it should, 1 otherwise, 3 for a bad
// command line.
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "flash/FlashOperations.h"
#include "flash/FlashView.h"
#include "flash/UpdateWording.h"
#include "flash/UpdateSequences.h"
#include "image/FirmwareImage.h"
#include "link/NorvaneUsb.h"
#include "link/RequestRecord.h"
#include "sim/FaultDriver.h"
#include "sim/FaultSpec.h"
#include "sim/FlashModels.h"
#include "sim/SimDevice.h"
#include "sim/SimDriver.h"
#include "sim/VirtualClock.h"

namespace {

using namespace korvalen;

constexpr uint32_t kImageLength = 0x2400;
constexpr int kFaultEvery = 10;
constexpr int kWindow = 100;  // runs in the first and last measured stretch

// A view that keeps nothing, so the soak measures the stack, not a log.
class QuietView : public FlashView {
 public:
  void ShowProcessInfo(std::string_view) override {}
  void ShowProcessAddress(std::string_view) override {}
  void ShowStatusRegister(std::string_view) override {}
  void PumpMessages() override {}
  void VerdictReached(const UpdateVerdict& verdict) override {
    last_status_.assign(VerdictText(verdict));
  }
  const std::string& last_status() const { return last_status_; }

 private:
  std::string last_status_;
};

long ResidentKib() {
  std::ifstream statm("/proc/self/statm");
  long pages = 0;
  long resident = 0;
  statm >> pages >> resident;
  return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

struct Options {
  int runs = 1000;
  std::string model{sim::kDefaultFlashModel};
};

bool Parse(int argc, char** argv, Options& options) {
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg == "--runs" && i + 1 < argc) {
      char* end = nullptr;
      const long runs = std::strtol(argv[++i], &end, 10);
      if (*end != '\0' || runs < kWindow || runs > 10'000'000) return false;
      options.runs = static_cast<int>(runs);
    } else if (arg == "--model" && i + 1 < argc) {
      options.model = argv[++i];
      if (sim::FindFlashModel(options.model) == nullptr) return false;
    } else {
      return false;
    }
  }
  return true;
}

// The fault of run `run` (one run in ten), cycling through the kinds.
void ArmFault(int run, sim::FaultDriver& faults, sim::SimDevice& device) {
  const int which = (run / kFaultEvery) % 5;
  const uint64_t request = 1 + static_cast<uint64_t>(run * 7919) % 5000;
  switch (which) {
    case 0:
      faults.RejectRequest(request);
      break;
    case 1:
      faults.VanishFrom(request);
      break;
    case 2:
      sim::ApplyFaultSpec({.kind = sim::FaultSpec::Kind::kWeakCell, .address = 0x123, .count = 1},
                          device);
      break;
    case 3:
      faults.FlipBitsInEvery(0x82, 5, 0x01, 2);
      break;
    default:
      device.flash().SetStuckBusy(true);
      break;
  }
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (!Parse(argc, argv, options)) {
    std::fprintf(stderr, "usage: korvalen-soak [--runs N (>= %d)] [--model PART]\n", kWindow);
    return 3;
  }
  const sim::FlashModel& model = *sim::FindFlashModel(options.model);
  sim::VirtualClock clock;
  sim::SimDriver sim_driver;
  sim::FaultDriver faults(sim_driver);
  auto device = std::make_shared<sim::SimDevice>(clock, sim::kSimUpdate5E1A, model);
  sim_driver.Attach(device);
  NorvaneUsb link(faults);
  link.SetDriverKind(kDeviceInterfaceChannel);
  link.SetDeviceId(sim::kSimUpdate5E1A.id_text);
  QuietView view;
  auto image = std::make_unique<FirmwareImage>();
  FillImage(*image, kErasedByte);
  for (uint32_t i = 0; i < kImageLength; ++i) image->bytes[i] = static_cast<uint8_t>(i * 13 + 1);
  image->length = kImageLength;
  FlashOperations operations(link, clock, view, *image);
  UpdateSequences sequences(link, clock, view, operations);

  std::vector<uint8_t> expected(model.size, kErasedByte);
  std::copy_n(image->bytes.begin(), kImageLength, expected.begin());

  int succeeded = 0;
  int failed = 0;
  int wrong = 0;
  long first_window_kib = 0;
  for (int run = 0; run < options.runs; ++run) {
    faults.ClearFaults();
    faults.Revive();
    device->flash().SetStuckBusy(false);
    device->flash().Fill(0x00);
    link.Probe();
    faults.ResetCount();
    const bool faulted = run % kFaultEvery == kFaultEvery - 1;
    if (faulted) ArmFault(run, faults, *device);

    const bool success = sequences.RunOneClickUpdate().success;
    const bool device_gone = faults.Vanished();
    faults.Revive();
    const auto contents = device->flash().contents();
    const bool flash_right = std::equal(expected.begin(), expected.end(), contents.begin());
    // Success only over the right flash; a run without a fault must succeed.
    if ((success && !flash_right) || (!faulted && !success)) {
      if (++wrong > 10) continue;
      std::fprintf(stderr, "run %d: %s, flash %s, %s\n", run, success ? "success" : "failure",
                   flash_right ? "right" : "wrong", view.last_status().c_str());
    }
    (success ? succeeded : failed) += 1;
    // A device that stopped answering is unplugged and plugged in again,
    // which powers it down; a rejected request leaves it as it is.
    if (device_gone) {
      sim_driver.Detach(device);
      sim_driver.Attach(device);
    }
    if (run + 1 == kWindow) first_window_kib = ResidentKib();
  }
  const long last_window_kib = ResidentKib();
  std::printf("runs %d on %s: %d succeeded, %d failed, %d wrong\n", options.runs, model.name,
              succeeded, failed, wrong);
  std::printf("resident after the first %d runs: %ld KiB, after the last: %ld KiB (%+ld KiB)\n",
              kWindow, first_window_kib, last_window_kib, last_window_kib - first_window_kib);
  std::printf("virtual time: %.1f s\n", static_cast<double>(clock.NowMicros()) / 1e6);
  return wrong == 0 ? 0 : 1;
}
