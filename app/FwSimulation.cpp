#include "app/FwSimulation.h"

#include <algorithm>
#include <cctype>

#include "app/FwPlugLine.h"
#include "app/FwSimState.h"
#include "image/PathText.h"
#include "link/ModelTable.h"
#include "sim/FaultDriver.h"
#include "sim/FaultSpec.h"
#include "sim/FlashModels.h"
#include "sim/SimChoice.h"
#include "sim/SimDevice.h"
#include "sim/SimDriver.h"
#include "sim/SimPlayback.h"
#include "sim/VirtualClock.h"

namespace korvalen::fwsim {
namespace {

using cli::DeviceEntry;

constexpr std::string_view kDenyAccess = "deny-access";
constexpr std::string_view kDefaultPlayback = "pcm:3";
// The firmware's third identity string is the USB serial number.
constexpr int kSerialString = 2;

// One simulated device on a driver and clock of its own.
struct Slot {
  std::unique_ptr<Clock> clock;
  std::shared_ptr<sim::SimDevice> device;
  sim::SimDriver driver;
  // Wraps the driver when the system is to refuse access (deny-access).
  std::unique_ptr<sim::FaultDriver> refusing;
  // The serial number string the device enumerated with: what its firmware
  // kept when it was attached.
  std::string serial;
};

class SlotLine : public cli::DeviceLine {
 public:
  explicit SlotLine(Slot& slot) : slot_(slot) {}
  Driver& driver() override {
    return slot_.refusing ? static_cast<Driver&>(*slot_.refusing) : slot_.driver;
  }
  Clock& clock() override { return *slot_.clock; }

 private:
  Slot& slot_;
};

std::filesystem::path StateDirectory(const std::string& root, int n) {
  return PathFromUtf8(root) / ("device-" + std::to_string(n));
}

class Simulation : public cli::DeviceSource {
 public:
  std::vector<std::unique_ptr<Slot>> slots;
  std::string state_dir;
  bool read_only = false;

  std::string Finish() override {
    // A reader only (list) saves nothing: another run may hold the folder.
    if (state_dir.empty() || read_only) return {};
    for (size_t i = 0; i < slots.size(); ++i) {
      const std::string error =
          SaveSimState(StateDirectory(state_dir, static_cast<int>(i) + 1), *slots[i]->device);
      if (!error.empty()) return error;
    }
    return {};
  }

  std::optional<std::vector<DeviceEntry>> List() override {
    std::vector<DeviceEntry> all;
    for (auto& slot : slots) {
      auto found = cli::FindKnownDevices(slot->driver);
      if (!found) continue;
      for (DeviceEntry& entry : *found) entry.serial = slot->serial;
      all.insert(all.end(), found->begin(), found->end());
    }
    std::sort(all.begin(), all.end(),
              [](const DeviceEntry& a, const DeviceEntry& b) { return a.path < b.path; });
    return all;
  }

  std::unique_ptr<cli::DeviceLine> LineFor(const DeviceEntry& device) override {
    for (auto& slot : slots) {
      if (slot->driver.PathOf(*slot->device) == device.interface_path)
        return std::make_unique<SlotLine>(*slot);
    }
    return std::make_unique<SlotLine>(*slots.front());
  }
};

}  // namespace

std::unique_ptr<cli::DeviceSource> MakeSimulation(const cli::SimRequest& request,
                                                  std::string* error) {
  if (request.station) return MakePlugLine(request, error);
  const auto identity = sim::IdentityForModel(request.model.empty() ? "0" : request.model);
  if (!identity) {
    *error = "--simulate=" + request.model +
             ": not a model (a row 0-4, a model key such as KORVALEN_TIDE, 5e1a or 0c3d)";
    return nullptr;
  }
  const sim::FlashModel* flash = sim::FindFlashModel(sim::FlashPartFor(request.flash));
  if (flash == nullptr) {
    *error = "--flash " + request.flash + ": not a flash (page256, page32, aai or a part name)";
    return nullptr;
  }
  // Faults: "FAULT" for every device, "FAULT@N" for device N only.
  std::vector<std::pair<int, std::vector<sim::FaultSpec>>> faults;
  std::vector<int> deny_access;  // devices the system refuses this user (0: all)
  for (const std::string& text : request.faults) {
    int only = 0;
    std::string fault_text = text;
    if (const size_t at = text.rfind('@'); at != std::string::npos) {
      const std::string number = text.substr(at + 1);
      if (number.empty() || number.size() > 2 ||
          !std::all_of(number.begin(), number.end(), [](char c) { return std::isdigit(c); }) ||
          std::stoi(number) < 1 || std::stoi(number) > request.devices) {
        *error = "--fault " + text + ": @N must name a simulated device from 1 to " +
                 std::to_string(request.devices);
        return nullptr;
      }
      only = std::stoi(number);
      fault_text = text.substr(0, at);
    }
    // Not a fault of the chip: the system refuses this user the device, as
    // without the package's udev rules.
    if (fault_text == kDenyAccess) {
      deny_access.push_back(only);
      continue;
    }
    const auto parsed = sim::ParseFaultSpec(fault_text);
    if (!parsed.ok()) {
      *error = "--fault " + text + ": " + parsed.error;
      return nullptr;
    }
    faults.emplace_back(only, parsed.specs);
  }

  // Without --playback the firmware plays what the demo's does; a kept
  // device plays what it played when it was saved.
  std::string playback_error;
  const auto playback =
      sim::ParsePlayback(request.playback.empty() ? kDefaultPlayback : request.playback,
                         &playback_error);
  if (!playback) {
    *error = "--playback " + request.playback + ": " + playback_error;
    return nullptr;
  }

  auto simulation = std::make_unique<Simulation>();
  simulation->state_dir = request.state_dir;
  simulation->read_only = request.read_only;
  for (int n = 1; n <= request.devices; ++n) {
    auto slot = std::make_unique<Slot>();
    if (request.fast) {
      slot->clock = std::make_unique<sim::VirtualClock>();
    } else {
      slot->clock = std::make_unique<RealClock>();
    }
    slot->device = std::make_shared<sim::SimDevice>(*slot->clock, *identity, *flash);
    // The board's slaves come before the faults, which may silence one.
    sim::AddBoardI2cSlaves(slot->device->i2c());
    const bool firmware = slot->device->FirmwareRunning();
    if (firmware) sim::SetPlayback(*slot->device, *playback);
    if (!request.state_dir.empty()) {
      *error = LoadSimState(StateDirectory(request.state_dir, n), *slot->device);
      if (!error->empty()) return nullptr;
    }
    if (firmware && !request.playback.empty()) sim::SetPlayback(*slot->device, *playback);
    for (const auto& [only, specs] : faults) {
      if (only == 0 || only == n) sim::ApplyFaultSpecs(specs, *slot->device);
    }
    slot->serial = slot->device->mailbox().StringText(kSerialString);
    slot->driver.AttachAt(slot->device, n);
    if (std::count(deny_access.begin(), deny_access.end(), 0) +
            std::count(deny_access.begin(), deny_access.end(), n) >
        0) {
      slot->refusing = std::make_unique<sim::FaultDriver>(slot->driver);
      slot->refusing->DenyAccess(true);
    }
    simulation->slots.push_back(std::move(slot));
  }
  return simulation;
}

}  // namespace korvalen::fwsim
