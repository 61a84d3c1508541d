#include "record/ReplayDriver.h"

#include <algorithm>

#include "link/LibusbDriver.h"
#include "link/RequestRecord.h"

namespace korvalen::record {
namespace {

std::string Where(const RecordedTransfer& t) {
  std::string text =
      "recorded transfer " + std::to_string(t.index) + ", frame " + std::to_string(t.submit_frame);
  if (t.complete_frame != 0) text += "-" + std::to_string(t.complete_frame);
  return text;
}

}  // namespace

ReplaySession::ReplaySession(Recording recording, std::string name)
    : recording_(std::move(recording)), name_(std::move(name)) {
  // Device keys: one per recorded bus and device number.
  std::vector<std::pair<uint16_t, uint8_t>> keys;
  for (const RecordedInterface& i : recording_.interfaces) {
    if (std::find(keys.begin(), keys.end(), std::make_pair(i.bus, i.device)) == keys.end())
      keys.emplace_back(i.bus, i.device);
  }
  by_device_.resize(keys.size());
  played_.assign(keys.size(), 0);
  for (size_t n = 0; n < recording_.transfers.size(); ++n) {
    const RecordedTransfer& t = recording_.transfers[n];
    const auto key = std::find(keys.begin(), keys.end(), std::make_pair(t.bus, t.device));
    by_device_[key - keys.begin()].push_back(n);
  }
  device_keys_ = std::move(keys);
}

std::vector<std::string> ReplaySession::Paths(const Guid& interface_class) const {
  std::vector<std::string> paths;
  for (const RecordedInterface& i : recording_.interfaces) {
    if (i.interface_class == interface_class) paths.push_back(i.path);
  }
  return paths;
}

int ReplaySession::DeviceOf(const std::string& path) const {
  for (const RecordedInterface& i : recording_.interfaces) {
    if (i.path != path) continue;
    const auto key =
        std::find(device_keys_.begin(), device_keys_.end(), std::make_pair(i.bus, i.device));
    return static_cast<int>(key - device_keys_.begin());
  }
  return -1;
}

void ReplaySession::Fail(std::string text) {
  if (failure_.empty()) failure_ = "replay of " + name_ + " failed: " + std::move(text);
}

ReplaySession::Answer ReplaySession::Play(int device, const SetupPacket& setup, uint16_t length,
                                          const std::vector<uint8_t>& data_out) {
  std::lock_guard<std::mutex> lock(mutex_);
  const uint64_t request = ++requests_;
  Answer answer;
  if (!failure_.empty()) return answer;
  const std::string asked = DescribeRequest(setup, length, data_out);
  const auto& mine = by_device_[device];
  if (played_[device] == mine.size()) {
    Fail("request " + std::to_string(request) + " (" + asked +
         "): the recording holds no more transfers for this device");
    return answer;
  }
  const RecordedTransfer& t = recording_.transfers[mine[played_[device]]];
  if (t.setup != setup || t.length != length || t.data_out != data_out) {
    std::string text = "request " + std::to_string(request) + " differs from " + Where(t) +
                       "\n  expected: " + DescribeRequest(t.setup, t.length, t.data_out) +
                       "\n  actual:   " + asked;
    if (t.setup == setup && t.length == length) {
      const auto diff =
          std::mismatch(t.data_out.begin(), t.data_out.end(), data_out.begin(), data_out.end());
      text += "\n  data differs first at byte " + std::to_string(diff.first - t.data_out.begin());
    }
    Fail(std::move(text));
    return answer;
  }
  if (t.complete_frame == 0) {
    Fail("request " + std::to_string(request) + ": the recording ends before " + Where(t) +
         " completed");
    return answer;
  }
  ++played_[device];
  answer.played = true;
  answer.ok = t.ok;
  answer.data_in = t.data_in;
  answer.submit_micros = t.submit_micros;
  answer.complete_micros = t.complete_micros;
  return answer;
}

std::string ReplaySession::Failure() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return failure_;
}

std::string ReplaySession::Finish() const {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!failure_.empty()) return failure_;
  size_t left = 0;
  const RecordedTransfer* next = nullptr;
  for (size_t d = 0; d < by_device_.size(); ++d) {
    left += by_device_[d].size() - played_[d];
    if (played_[d] < by_device_[d].size()) {
      const RecordedTransfer& t = recording_.transfers[by_device_[d][played_[d]]];
      if (next == nullptr || t.index < next->index) next = &t;
    }
  }
  if (left == 0) return {};
  return "replay of " + name_ + " failed: " + std::to_string(left) + " of " +
         std::to_string(recording_.transfers.size()) +
         " recorded transfers were never asked for; the first is " + Where(*next) + ": " +
         DescribeRequest(next->setup, next->length, next->data_out);
}

std::optional<std::vector<std::string>> ReplayDriver::EnumerateInterfaces(
    const Guid& interface_class) {
  return session_.Paths(interface_class);
}

DriverHandle ReplayDriver::OpenPath(const std::string& path) {
  const int device = session_.DeviceOf(path);
  if (device < 0) return kNoHandle;
  const DriverHandle handle = next_handle_++;
  open_[handle] = device;
  return handle;
}

bool ReplayDriver::IoControl(DriverHandle handle, uint32_t code, std::span<const uint8_t> in,
                             std::span<uint8_t> out) {
  const auto device = open_.find(handle);
  if (device == open_.end()) return false;
  const auto decoded = DecodeRequest(code, in, out.size());
  // What the recording driver leaves unrecorded, no real driver carries.
  if (!decoded || decoded->length > kMaxControlTransferLength) return false;
  const bool presence = decoded->kind == DecodedRequest::Kind::kPresenceQuery;
  const SetupPacket setup = presence ? kGetDeviceStatus : decoded->setup;
  const uint16_t length = presence ? kDeviceStatusLength : static_cast<uint16_t>(decoded->length);
  const auto block = out.first(presence ? 0 : decoded->length);
  std::vector<uint8_t> data_out;
  if ((setup.request_type & kDirectionIn) == 0) data_out.assign(block.begin(), block.end());

  const auto answer = session_.Play(device->second, setup, length, data_out);
  if (!answer.played) return false;
  if (!timed_) {
    timed_ = true;
    clock_base_ = clock_.NowMicros();
    recorded_base_ = answer.submit_micros;
  }
  if (answer.complete_micros >= recorded_base_)
    clock_.AdvanceTo(clock_base_ + (answer.complete_micros - recorded_base_));
  if ((setup.request_type & kDirectionIn) != 0) {
    std::copy_n(answer.data_in.begin(), std::min(answer.data_in.size(), block.size()),
                block.begin());
  }
  return answer.ok;
}

}  // namespace korvalen::record
