// A simulated device recorded through the capture driver, and the same
// link run again against a replay of what was recorded.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "link/NorvaneUsb.h"
#include "link/Registers.h"
#include "record/CaptureDriver.h"
#include "record/Recording.h"
#include "record/ReplayDriver.h"
#include "sim/SimDevice.h"
#include "sim/SimDriver.h"
#include "sim/VirtualClock.h"

namespace korvalen::record::testing {

inline std::filesystem::path ScratchFile(const std::string& name) {
  std::random_device random;
  return std::filesystem::temp_directory_path() /
         ("korvalen-record-" + std::to_string(random()) + "-" + name);
}

struct Recorder {
  explicit Recorder(const sim::SimIdentity& identity = sim::kSimOrbit)
      : identity(identity),
        path(ScratchFile("capture.pcap")),
        device(sim::MakeSimDevice(clock, identity, sim::kDefaultFlashModel)) {
    driver.Attach(device);
    std::string error;
    file = CaptureFile::Create(
        path.string(), [this](const std::string& message) { errors.push_back(message); }, &error);
    EXPECT_NE(file, nullptr) << error;
    capture = std::make_unique<CaptureDriver>(driver, *file, clock, clock.NowMicros());
    link = std::make_unique<NorvaneUsb>(*capture);
    link->SetDriverKind(identity.channel);
    link->SetDeviceId(identity.id_text);
  }
  ~Recorder() {
    std::error_code ignored;
    std::filesystem::remove(path, ignored);
  }
  // Closes the file so everything is on disk, and reads it back.
  Recording Finish() {
    link.reset();
    capture.reset();
    file.reset();
    std::string error;
    auto recording = ReadRecording(path.string(), &error);
    EXPECT_TRUE(recording.has_value()) << error;
    return recording.value_or(Recording{});
  }

  sim::SimIdentity identity;
  std::filesystem::path path;
  sim::VirtualClock clock;
  sim::SimDriver driver;
  std::shared_ptr<sim::SimDevice> device;
  std::vector<std::string> errors;
  std::unique_ptr<CaptureFile> file;
  std::unique_ptr<CaptureDriver> capture;
  std::unique_ptr<NorvaneUsb> link;
};

struct Replayer {
  Replayer(Recording recording, const sim::SimIdentity& identity)
      : session(std::move(recording), "capture.pcap"), driver(session, clock), link(driver) {
    link.SetDriverKind(identity.channel);
    link.SetDeviceId(identity.id_text);
  }
  ReplaySession session;
  ReplayClock clock;
  ReplayDriver driver;
  NorvaneUsb link;
};

}  // namespace korvalen::record::testing
