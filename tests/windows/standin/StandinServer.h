// The user-mode half of the stand-in: answers the requests the driver
// hands over the named pipe with the simulated chip, one at a time, and
// reports each burst of requests (how far apart they arrived).
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "sim/SimDevice.h"

namespace korvalen::standin {

class StandinServer {
 public:
  explicit StandinServer(std::shared_ptr<sim::SimDevice> device);
  ~StandinServer();

  // Creates the pipe and starts answering on a thread of its own. False
  // when the pipe cannot be created.
  bool Start(const std::string& pipe_name);
  // The bus slot the device was plugged into; requests for any other slot
  // are refused.
  void SetSlot(unsigned int slot) { slot_ = slot; }
  // Reports the burst under way, if any.
  void ReportBurst();
  // Waits for the serving thread: it ends when the driver closes the pipe.
  void Join();
  uint64_t Served() const;
  // The request after which the device went away (0: it did not).
  uint64_t GoneAt() const;

 private:
  void Serve();
  // The reply to one request message.
  std::vector<uint8_t> Answer(const std::vector<uint8_t>& message);
  void NoteRequest();
  void ReportBurstLocked();

  std::shared_ptr<sim::SimDevice> device_;
  HANDLE pipe_ = INVALID_HANDLE_VALUE;
  std::thread thread_;
  std::atomic<unsigned int> slot_{~0u};
  mutable std::mutex mutex_;
  uint64_t served_ = 0;
  uint64_t gone_at_ = 0;
  uint64_t burst_requests_ = 0;
  double burst_first_ms_ = 0;
  double burst_last_ms_ = 0;
};

}  // namespace korvalen::standin
