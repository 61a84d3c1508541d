// Plays a recording back as a device. Enumeration lists the recorded
// interface paths under their classes; every request must be the next one
// the recording holds for that device (setup packet, length and data out),
// and gets the recorded answer: data in and result. The first request that
// differs fails, with the request's number, what the recording expected and
// what was asked, and every later request fails too, so a replay that went
// another way can never pass.
//
// Time comes from a ReplayClock: waits return at once, and before each
// answer the clock moves on to where the recording says the transfer
// completed, so timeouts and durations come out as recorded.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "link/Clock.h"
#include "link/Driver.h"
#include "record/Recording.h"

namespace korvalen::record {

// Virtual time for a replay: Sleep advances at once.
class ReplayClock : public Clock {
 public:
  void Sleep(uint32_t ms) override { now_ += static_cast<uint64_t>(ms) * 1000; }
  uint64_t NowMicros() override { return now_.load(); }
  void AdvanceTo(uint64_t micros) {
    uint64_t now = now_.load();
    while (now < micros && !now_.compare_exchange_weak(now, micros)) {
    }
  }

 private:
  std::atomic<uint64_t> now_{0};
};

// One recording being played back, shared by the drivers of every thread of
// a command. Thread-safe.
class ReplaySession {
 public:
  ReplaySession(Recording recording, std::string name);

  std::vector<std::string> Paths(const Guid& interface_class) const;
  // The device key of a recorded path; -1 when the recording has no such path.
  int DeviceOf(const std::string& path) const;

  struct Answer {
    bool played = false;  // false: the replay has failed
    bool ok = false;
    std::vector<uint8_t> data_in;
    uint64_t submit_micros = 0;
    uint64_t complete_micros = 0;
  };
  // The next recorded transfer of `device` if it is this request; otherwise
  // the replay fails (see Failure) and ok is false.
  Answer Play(int device, const SetupPacket& setup, uint16_t length,
              const std::vector<uint8_t>& data_out);

  // The first mismatch, or empty.
  std::string Failure() const;
  // The mismatch, or the transfers the replay never asked for; empty when
  // the recording was played exactly.
  std::string Finish() const;

 private:
  void Fail(std::string text);

  Recording recording_;
  std::string name_;
  mutable std::mutex mutex_;
  // Per device key: the indexes of its transfers and how many were played.
  std::vector<std::pair<uint16_t, uint8_t>> device_keys_;  // bus, device number
  std::vector<std::vector<size_t>> by_device_;
  std::vector<size_t> played_;
  uint64_t requests_ = 0;
  std::string failure_;
};

class ReplayDriver : public Driver {
 public:
  ReplayDriver(ReplaySession& session, ReplayClock& clock) : session_(session), clock_(clock) {}

  // Never nullopt: the recorded paths of the class.
  std::optional<std::vector<std::string>> EnumerateInterfaces(const Guid& interface_class) override;
  // kNoHandle for a path the recording does not hold.
  DriverHandle OpenPath(const std::string& path) override;
  void CloseHandle(DriverHandle handle) override { open_.erase(handle); }
  // False for an unknown handle, a record that does not decode, a request
  // that is not the recorded one, and a request the recording failed.
  bool IoControl(DriverHandle handle, uint32_t code, std::span<const uint8_t> in,
                 std::span<uint8_t> out) override;

 private:
  ReplaySession& session_;
  ReplayClock& clock_;
  std::map<DriverHandle, int> open_;
  DriverHandle next_handle_ = 1;
  bool timed_ = false;  // the first answer set the time base
  uint64_t clock_base_ = 0;
  uint64_t recorded_base_ = 0;
};

}  // namespace korvalen::record
