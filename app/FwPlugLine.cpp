#include "app/FwPlugLine.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <thread>

#include "app/FwPlugPlan.h"
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
constexpr std::string_view kPlayback = "pcm:3";
// An operator unplugs a device about a second after its verdict, and takes
// about as long to plug the next one into the same port.
constexpr uint64_t kOperatorUs = 1'000'000;
// While updates run on the virtual clock they move it; the watcher only
// looks again.
constexpr auto kBusyLook = std::chrono::milliseconds(1);
// The simulated bus's root hub (port= takes 1 to 255).
constexpr size_t kPorts = 255;
// The firmware's third identity string is the USB serial number.
constexpr int kSerialString = 2;

// Puts text into the firmware's kept string packet which, as the mailbox
// would: a length byte, then the characters.
void KeepString(sim::SimDevice& device, int which, const std::string& text) {
  auto& packet = device.mailbox().string_packets.at(which);
  packet.fill(0);
  packet[0] = static_cast<uint8_t>(std::min(text.size(), packet.size() - 1));
  std::copy_n(text.begin(), packet[0], packet.begin() + 1);
}

// One scheduled device with its own chip and driver. Everything it holds is
// touched under its mutex: the station lists it while a worker updates it.
struct Plug {
  PlugPlan plan;
  int port = 0;
  const Plug* before = nullptr;  // the plug before it on the same port
  // The chip is made when the device arrives and let go when it leaves, so
  // a long line holds only the devices plugged in.
  std::function<std::shared_ptr<sim::SimDevice>()> make;
  std::shared_ptr<sim::SimDevice> device;
  sim::SimDriver driver;
  std::unique_ptr<sim::FaultDriver> refusing;
  std::mutex mutex;
  bool attached = false;
  std::optional<uint64_t> leave_us;
  std::atomic<bool> left{false};
  std::atomic<uint64_t> left_us{0};
  // When the line's look first found it gone (a worker's call may see the
  // leaving first): the next plug on the port counts from then, so the
  // station always has a look at the empty port between two units.
  std::atomic<bool> gone_seen{false};
  std::atomic<uint64_t> gone_seen_us{0};
  // The serial number string the device enumerated with.
  std::string serial;
  // The identity texts its firmware kept when it left, for the unit's next
  // plug on this port.
  std::optional<decltype(sim::MailboxStore::string_packets)> kept_strings;

  Driver& inner() { return refusing ? static_cast<Driver&>(*refusing) : driver; }

  // Plugs the device in or out as the line's time says. Caller holds mutex.
  void Update(uint64_t now) {
    if (left.load()) return;
    if (!attached) {
      uint64_t arrive = plan.at_us;
      if (before != nullptr) {
        if (!before->gone_seen.load()) return;
        arrive = std::max(arrive, before->gone_seen_us.load() + kOperatorUs);
      }
      if (now < arrive) return;
      device = make();
      // The unit plugged back into its port is the one that left it: its
      // firmware keeps the identity texts it was sent, unless this plug
      // names a serial of its own.
      if (before != nullptr && before->kept_strings) {
        device->mailbox().string_packets = *before->kept_strings;
      }
      if (!plan.serial.empty()) KeepString(*device, kSerialString, plan.serial);
      serial = device->mailbox().StringText(kSerialString);
      driver.AttachAt(device, port);
      attached = true;
      // The stay counts from the moment the line looked: on the virtual
      // clock other units' updates may have moved time far past the
      // arrival, and a device must be seen before it can leave.
      if (plan.stay_us) leave_us = now + *plan.stay_us;
    }
    if (leave_us && now >= *leave_us) {
      driver.Detach(device);
      left_us.store(now);
      left.store(true);
      kept_strings = device->mailbox().string_packets;
      // A worker still holding a handle sees a device gone.
      device.reset();
    }
  }
};

// The plug's driver as a worker sees it: every call under the plug's lock,
// after the schedule has had its say.
class PlugDriver : public Driver {
 public:
  PlugDriver(Plug& plug, Clock& clock, uint64_t start_us)
      : plug_(plug), clock_(clock), start_us_(start_us) {}

  std::optional<std::vector<std::string>> EnumerateInterfaces(const Guid& interface_class) override {
    const auto lock = Locked();
    return plug_.inner().EnumerateInterfaces(interface_class);
  }
  DriverHandle OpenPath(const std::string& path) override {
    const auto lock = Locked();
    return plug_.inner().OpenPath(path);
  }
  bool LastOpenDenied() const override { return plug_.inner().LastOpenDenied(); }
  bool LastIoDeviceGone() const override { return plug_.inner().LastIoDeviceGone(); }
  void CloseHandle(DriverHandle handle) override {
    const auto lock = Locked();
    plug_.inner().CloseHandle(handle);
  }
  bool IoControl(DriverHandle handle, uint32_t code, std::span<const uint8_t> in,
                 std::span<uint8_t> out) override {
    const auto lock = Locked();
    return plug_.inner().IoControl(handle, code, in, out);
  }

 private:
  std::unique_lock<std::mutex> Locked() {
    std::unique_lock<std::mutex> lock(plug_.mutex);
    plug_.Update(clock_.NowMicros() - start_us_);
    return lock;
  }
  Plug& plug_;
  Clock& clock_;
  uint64_t start_us_;
};

class PlugDeviceLine : public cli::DeviceLine {
 public:
  PlugDeviceLine(Plug& plug, Clock& clock, uint64_t start_us)
      : driver_(plug, clock, start_us), clock_(clock) {}
  Driver& driver() override { return driver_; }
  Clock& clock() override { return clock_; }

 private:
  PlugDriver driver_;
  Clock& clock_;
};

// A device that left before its worker reached it: nothing is found.
class EmptyLine : public cli::DeviceLine {
 public:
  explicit EmptyLine(Clock& clock) : clock_(clock) {}
  Driver& driver() override { return driver_; }
  Clock& clock() override { return clock_; }

 private:
  sim::SimDriver driver_;
  Clock& clock_;
};

class PlugLine : public cli::DeviceSource {
 public:
  std::unique_ptr<Clock> clock;
  sim::VirtualClock* virtual_clock = nullptr;
  uint64_t start_us = 0;
  std::vector<std::unique_ptr<Plug>> plugs;

  uint64_t Now() { return clock->NowMicros() - start_us; }

  std::optional<std::vector<DeviceEntry>> List() override {
    std::vector<DeviceEntry> all;
    const uint64_t now = Now();
    for (auto& plug : plugs) {
      std::lock_guard<std::mutex> lock(plug->mutex);
      plug->Update(now);
      // With the virtual clock moved far on by other updates, a count from
      // the leaving itself let the next device take the port within this
      // very look, and the station took it for the unit still plugged.
      if (plug->left.load() && !plug->gone_seen.load()) {
        plug->gone_seen_us.store(now);
        plug->gone_seen.store(true);
      }
      if (!plug->attached || plug->left.load()) continue;
      auto found = cli::FindKnownDevices(plug->inner());
      if (!found) continue;
      for (DeviceEntry& entry : *found) {
        entry.serial = plug->serial;
        all.push_back(std::move(entry));
      }
    }
    std::sort(all.begin(), all.end(),
              [](const DeviceEntry& a, const DeviceEntry& b) { return a.path < b.path; });
    return all;
  }

  Plug* Holding(const DeviceEntry& device) {
    for (auto& plug : plugs) {
      std::lock_guard<std::mutex> lock(plug->mutex);
      if (plug->attached && !plug->left.load() &&
          plug->driver.PathOf(*plug->device) == device.interface_path)
        return plug.get();
    }
    return nullptr;
  }

  std::unique_ptr<cli::DeviceLine> LineFor(const DeviceEntry& device) override {
    if (Plug* plug = Holding(device)) return std::make_unique<PlugDeviceLine>(*plug, *clock, start_us);
    return std::make_unique<EmptyLine>(*clock);
  }

  void RunEnded(const DeviceEntry& device) override {
    Plug* plug = Holding(device);
    if (plug == nullptr) return;
    std::lock_guard<std::mutex> lock(plug->mutex);
    if (!plug->plan.stay_us) plug->leave_us = Now() + kOperatorUs;
  }

  void WaitBetweenScans(uint32_t ms, bool updates_running) override {
    if (virtual_clock == nullptr) {
      std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    } else if (updates_running) {
      std::this_thread::sleep_for(kBusyLook);
    } else {
      virtual_clock->AdvanceMillis(ms);
    }
  }

  bool MoreToCome() override {
    return std::any_of(plugs.begin(), plugs.end(),
                       [](const std::unique_ptr<Plug>& plug) { return !plug->left.load(); });
  }
};

// Without --plug: --devices devices plugged in at the start, which stay;
// --fault texts with @N go to device N only.
std::vector<std::string> PlugsOfDevices(const cli::SimRequest& request, std::string* error) {
  std::vector<std::string> plugs(request.devices, "at=0,stay=604800");
  for (const std::string& text : request.faults) {
    int only = 0;
    std::string fault = text;
    if (const size_t at = text.rfind('@'); at != std::string::npos) {
      const std::string number = text.substr(at + 1);
      char* stop = nullptr;
      const long n = std::strtol(number.c_str(), &stop, 10);
      if (number.empty() || *stop != '\0' || n < 1 || n > request.devices) {
        *error = "--fault " + text + ": @N must name a simulated device from 1 to " +
                 std::to_string(request.devices);
        return {};
      }
      only = static_cast<int>(n);
      fault = text.substr(0, at);
    }
    for (int n = 1; n <= request.devices; ++n) {
      if (only == 0 || only == n) plugs[n - 1] += ",fault=" + fault;
    }
  }
  return plugs;
}

}  // namespace

std::unique_ptr<cli::DeviceSource> MakePlugLine(const cli::SimRequest& request, std::string* error) {
  const sim::FlashModel* flash = sim::FindFlashModel(sim::FlashPartFor(request.flash));
  if (flash == nullptr) {
    *error = "--flash " + request.flash + ": not a flash (page256, page32, aai or a part name)";
    return nullptr;
  }
  std::vector<std::string> texts = request.plugs;
  if (texts.empty()) {
    texts = PlugsOfDevices(request, error);
    if (texts.empty()) return nullptr;
  }
  std::string playback_error;
  const auto playback = sim::ParsePlayback(
      request.playback.empty() ? std::string(kPlayback) : request.playback, &playback_error);
  if (!playback) {
    *error = "--playback " + request.playback + ": " + playback_error;
    return nullptr;
  }

  auto line = std::make_unique<PlugLine>();
  if (request.fast) {
    auto virtual_clock = std::make_unique<sim::VirtualClock>();
    line->virtual_clock = virtual_clock.get();
    line->clock = std::move(virtual_clock);
  } else {
    line->clock = std::make_unique<RealClock>();
  }
  line->start_us = line->clock->NowMicros();
  const std::string default_model = request.model.empty() ? "0" : request.model;
  for (size_t i = 0; i < texts.size(); ++i) {
    const std::string& text = texts[i];
    std::string why;
    const auto plan = ParsePlugPlan(text, default_model, &why);
    const std::string name = request.plugs.empty() ? "--simulate" : "--plug " + text;
    if (!plan) {
      *error = name + ": " + why;
      return nullptr;
    }
    const auto identity = sim::IdentityForModel(plan->model);
    if (!identity) {
      *error = name + ": model=" + plan->model +
               " is not a model (a row 0-4, a model key such as KORVALEN_TIDE, 5e1a or 0c3d)";
      return nullptr;
    }
    auto plug = std::make_unique<Plug>();
    plug->plan = *plan;
    // Without port= the plugs take the hub's ports in turn; past the last
    // port a plug waits for the one before it on that port to leave.
    plug->port = plan->port != 0 ? plan->port : static_cast<int>(i % kPorts) + 1;
    bool deny = false;
    std::vector<decltype(sim::ParseFaultSpec(std::string()).specs)> faults;
    for (const std::string& fault : plan->faults) {
      if (fault == kDenyAccess) {
        deny = true;
        continue;
      }
      auto parsed = sim::ParseFaultSpec(fault);
      if (!parsed.ok()) {
        *error = name + ": fault=" + fault + ": " + parsed.error;
        return nullptr;
      }
      faults.push_back(std::move(parsed.specs));
    }
    plug->make = [clock = line->clock.get(), identity = *identity, flash_model = *flash,
                  playback = *playback, faults = std::move(faults)] {
      auto device = std::make_shared<sim::SimDevice>(*clock, identity, flash_model);
      sim::AddBoardI2cSlaves(device->i2c());
      if (device->FirmwareRunning()) sim::SetPlayback(*device, playback);
      for (const auto& specs : faults) sim::ApplyFaultSpecs(specs, *device);
      return device;
    };
    if (deny) {
      plug->refusing = std::make_unique<sim::FaultDriver>(plug->driver);
      plug->refusing->DenyAccess(true);
    }
    for (auto it = line->plugs.rbegin(); it != line->plugs.rend(); ++it) {
      if ((*it)->port == plug->port) {
        plug->before = it->get();
        break;
      }
    }
    line->plugs.push_back(std::move(plug));
  }
  return line;
}

}  // namespace korvalen::fwsim
