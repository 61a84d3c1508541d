// The one-click update on every simulated flash model, in virtual time:
// requests by step and by kind, the virtual time it takes, and that time
// against two floors (the transport alone, and the transport plus the
// flash's own busy times and the retry pauses). Run by
// scripts/run-benchmarks.sh; the figures are in docs/PERFORMANCE.md.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "flash/FlashOperations.h"
#include "flash/FlashView.h"
#include "flash/UpdateSequences.h"
#include "image/FirmwareImage.h"
#include "link/FlashPassThrough.h"
#include "link/NorvaneUsb.h"
#include "link/RequestRecord.h"
#include "sim/FlashModels.h"
#include "sim/SimDevice.h"
#include "sim/SimDriver.h"
#include "sim/VirtualClock.h"

namespace korvalen {
namespace {

// A full image, or the whole part where the part is smaller.
constexpr uint32_t kImageSize = 256 * 1024;

// Names each request the way a flash engineer would count it.
std::string KindOf(const DecodedRequest& request, std::span<const uint8_t> data,
                   bool* address_packet_open) {
  const uint8_t op = data.empty() ? 0 : data[0];
  switch (request.setup.request) {
    case kRequestFlashWrite: {
      if (*address_packet_open) {
        *address_packet_open = false;
        return "page_data";
      }
      if (request.setup.index == kFlashTransferContinue) {
        *address_packet_open = true;
        return "page_address";
      }
      switch (op) {
        case kOpWriteEnable: return "write_enable";
        case kOpWriteDisable: return "write_disable";
        case kOpWriteStatus: return "write_status";
        case kOpChipErase: return "chip_erase";
        case kOpAaiProgram: return "aai_word";
        default: return "flash_write_other";
      }
    }
    case kRequestFlashCommandRead:
      return op == kOpReadStatus ? "status_command" : op == kOpRead ? "read_command" : "id_command";
    case kRequestFlashReady: return "ready_poll";
    case kRequestFlashFetch: return "fetch";
    default: return "register_or_isp";
  }
}

// Passes every call on and counts the requests by kind and by the step the
// update showed last.
class CountingDriver : public Driver {
 public:
  explicit CountingDriver(Driver& inner) : inner_(inner) {}
  std::optional<std::vector<std::string>> EnumerateInterfaces(const Guid& c) override {
    return inner_.EnumerateInterfaces(c);
  }
  DriverHandle OpenPath(const std::string& path) override { return inner_.OpenPath(path); }
  void CloseHandle(DriverHandle handle) override { inner_.CloseHandle(handle); }
  bool LastIoDeviceGone() const override { return inner_.LastIoDeviceGone(); }
  bool IoControl(DriverHandle handle, uint32_t code, std::span<const uint8_t> in,
                 std::span<uint8_t> out) override {
    const bool ok = inner_.IoControl(handle, code, in, out);
    if (const auto decoded = DecodeRequest(code, in, out.size())) {
      ++total;
      ++by_step[step];
      ++by_kind[KindOf(*decoded, out.first(decoded->length), &address_packet_open_)];
    }
    return ok;
  }
  std::string step = "before";
  uint64_t total = 0;
  std::map<std::string, uint64_t> by_step;
  std::map<std::string, uint64_t> by_kind;

 private:
  Driver& inner_;
  bool address_packet_open_ = false;
};

// Short names of the update's steps; the requests after the verify (or a
// failed attempt) are the protection write and the exit from ISP mode.
std::string StepName(UpdateStep step) {
  switch (step) {
    case UpdateStep::kIspEntry:
      return "enter_isp";
    case UpdateStep::kIdRead:
      return "enter_isp";
    case UpdateStep::kStatusClear:
      return "clear_status";
    case UpdateStep::kErase:
      return "erase";
    case UpdateStep::kBlankCheck:
      return "blank_check";
    case UpdateStep::kProgram:
      return "program";
    case UpdateStep::kVerify:
      return "verify";
  }
  return "";
}

class StepView : public FlashView {
 public:
  explicit StepView(CountingDriver& counter) : counter_(counter) {}
  void ShowProcessInfo(std::string_view) override {}
  void ShowProcessAddress(std::string_view) override {}
  void ShowStatusRegister(std::string_view) override {}
  void PumpMessages() override {}
  void StepBegan(SequenceKind, UpdateStep step) override { counter_.step = StepName(step); }
  void StepEnded(const StepEnd& end) override {
    if (end.step == UpdateStep::kVerify && end.ok) counter_.step = "protect_and_leave";
  }
  void AttemptEnded(const AttemptEnd& end) override {
    if (end.pause_follows) counter_.step = "protect_and_leave";
  }

 private:
  CountingDriver& counter_;
};

enum class ImageKind { kRandom, kSparse };

// A random image; the sparse one keeps only every fourth 4 KiB block and
// leaves the rest erased, as a firmware with room to grow does.
void FillImage(FirmwareImage& image, ImageKind kind, uint32_t length) {
  std::mt19937 random(2026);
  for (uint32_t i = 0; i < length; ++i) image.bytes[i] = static_cast<uint8_t>(random());
  if (kind == ImageKind::kSparse) {
    for (uint32_t i = 0; i < length; ++i)
      if ((i / 4096) % 4 != 0) image.bytes[i] = kErasedByte;
  }
  image.length = length;
}

struct Outcome {
  bool success = false;
  uint64_t requests = 0;
  uint64_t virtual_us = 0;
  uint64_t slept_us = 0;
  std::map<std::string, uint64_t> by_step;
  std::map<std::string, uint64_t> by_kind;
  uint64_t pages = 0;  // page programs executed by the flash
  uint64_t aai_words = 0;
};

Outcome RunUpdate(const sim::FlashModel& model, ImageKind kind, uint32_t latency_us) {
  sim::VirtualClock clock;
  sim::SimDriver sim_driver;
  auto device = std::make_shared<sim::SimDevice>(clock, sim::kSimUpdate5E1A, model);
  device->timing().request_latency_us = latency_us;
  sim_driver.Attach(device);
  CountingDriver counter(sim_driver);
  NorvaneUsb link(counter);
  link.SetDriverKind(kDeviceInterfaceChannel);
  link.SetDeviceId(sim::kSimUpdate5E1A.id_text);
  link.Probe();
  auto image = std::make_unique<FirmwareImage>();
  FillImage(*image, kind, std::min(kImageSize, model.size));
  StepView view(counter);
  FlashOperations ops(link, clock, view, *image);
  UpdateSequences sequences(link, clock, view, ops);
  counter.total = 0;
  counter.by_step.clear();
  counter.by_kind.clear();

  const uint64_t start_us = clock.NowMicros();
  const uint64_t slept_before = clock.SleptMicros();
  Outcome outcome;
  outcome.success = sequences.RunOneClickUpdate().success;
  outcome.virtual_us = clock.NowMicros() - start_us;
  outcome.slept_us = clock.SleptMicros() - slept_before;
  outcome.requests = counter.total;
  outcome.by_step = counter.by_step;
  outcome.by_kind = counter.by_kind;
  outcome.pages = device->flash().stats().page_programs;
  outcome.aai_words = device->flash().stats().aai_words;
  return outcome;
}

void BM_OneClickUpdate(benchmark::State& state, const sim::FlashModel* model, ImageKind kind) {
  const auto latency_us = static_cast<uint32_t>(state.range(0));
  Outcome outcome;
  for (auto _ : state) outcome = RunUpdate(*model, kind, latency_us);
  if (!outcome.success) {
    state.SkipWithError("the update failed");
    return;
  }
  // Floor: every request at the latency, plus what the flash itself needs
  // (status write twice, chip erase once, its program times).
  const double transport_us = static_cast<double>(outcome.requests) * latency_us;
  const double busy_us = 2.0 * model->write_status_us + model->chip_erase_us +
                         static_cast<double>(outcome.pages) * model->page_program_us +
                         static_cast<double>(outcome.aai_words) * model->aai_word_us;
  state.counters["requests"] = static_cast<double>(outcome.requests);
  for (const auto& [step, count] : outcome.by_step)
    state.counters["step_" + step] = static_cast<double>(count);
  for (const auto& [kind_name, count] : outcome.by_kind)
    state.counters["kind_" + kind_name] = static_cast<double>(count);
  state.counters["virtual_s"] = outcome.virtual_us / 1e6;
  state.counters["host_sleep_s"] = outcome.slept_us / 1e6;
  state.counters["transport_s"] = transport_us / 1e6;
  state.counters["floor_s"] = (transport_us + busy_us) / 1e6;
  state.counters["x_transport"] = outcome.virtual_us / transport_us;
  state.counters["x_floor"] = outcome.virtual_us / (transport_us + busy_us);
}

const bool registered = [] {
  for (const sim::FlashModel& model : sim::FlashModels()) {
    for (const auto& [kind, name] :
         {std::pair{ImageKind::kRandom, "random"}, std::pair{ImageKind::kSparse, "sparse"}}) {
      const std::string size = std::to_string(std::min(kImageSize, model.size) / 1024) + "KiB";
      benchmark::RegisterBenchmark(
          ("OneClickUpdate/" + std::string(model.name) + "/" + name + size).c_str(),
                                   BM_OneClickUpdate, &model, kind)
          ->ArgName("latency_us")
          ->Arg(250)
          ->Arg(500)
          ->Arg(660)
          ->Iterations(1)
          ->Unit(benchmark::kMillisecond);
    }
  }
  return true;
}();

}  // namespace
}  // namespace korvalen
