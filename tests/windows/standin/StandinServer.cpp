#include "StandinServer.h"

#include <cstdio>
#include <cstring>

#include "StandinProtocol.h"
#include "StandinSystem.h"
#include "link/RequestRecord.h"

namespace korvalen::standin {
namespace {

// The largest request message: header, the largest property block, and the
// largest data block.
constexpr DWORD kMessageSize = sizeof(standin_pipe_request) + 2 * (STANDIN_MAX_DATA + 64);
// A pause this long ends a burst of requests (one command of the host's).
constexpr double kBurstIdleMs = 150;
// What the driver hands the caller back as the system's status.
constexpr unsigned int kStatusSuccess = 0;
constexpr unsigned int kStatusUnsuccessful = 0xC0000001;  // the chip refused (a stall)
constexpr unsigned int kStatusNotConnected = 0xC000009D;  // the device has gone
constexpr unsigned int kStatusNoSuchDevice = 0xC000000E;

std::vector<uint8_t> Reply(unsigned int status, std::span<const uint8_t> data, unsigned int flags) {
  const standin_pipe_reply head{status, static_cast<unsigned int>(data.size()), flags};
  std::vector<uint8_t> reply(sizeof head + data.size());
  std::memcpy(reply.data(), &head, sizeof head);
  if (!data.empty()) std::memcpy(reply.data() + sizeof head, data.data(), data.size());
  return reply;
}

}  // namespace

StandinServer::StandinServer(std::shared_ptr<sim::SimDevice> device) : device_(std::move(device)) {}

StandinServer::~StandinServer() {
  if (thread_.joinable()) thread_.join();
  if (pipe_ != INVALID_HANDLE_VALUE) CloseHandle(pipe_);
}

bool StandinServer::Start(const std::string& pipe_name) {
  pipe_ = CreateNamedPipeA(pipe_name.c_str(), PIPE_ACCESS_DUPLEX,
                           PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT, 1, kMessageSize,
                           kMessageSize, 0, nullptr);
  if (pipe_ == INVALID_HANDLE_VALUE) return false;
  thread_ = std::thread([this] { Serve(); });
  return true;
}

void StandinServer::Join() {
  if (thread_.joinable()) thread_.join();
}

uint64_t StandinServer::Served() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return served_;
}

uint64_t StandinServer::GoneAt() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return gone_at_;
}

void StandinServer::Serve() {
  if (!ConnectNamedPipe(pipe_, nullptr) && GetLastError() != ERROR_PIPE_CONNECTED) {
    std::fprintf(stderr, "korvalen-standin: the driver did not connect (error %lu)\n",
                 GetLastError());
    return;
  }
  std::vector<uint8_t> message(kMessageSize);
  while (true) {
    DWORD got = 0;
    if (!ReadFile(pipe_, message.data(), kMessageSize, &got, nullptr)) break;  // driver closed
    const std::vector<uint8_t> reply = Answer({message.begin(), message.begin() + got});
    DWORD put = 0;
    if (!WriteFile(pipe_, reply.data(), static_cast<DWORD>(reply.size()), &put, nullptr)) break;
  }
  ReportBurst();
}

std::vector<uint8_t> StandinServer::Answer(const std::vector<uint8_t>& message) {
  standin_pipe_request head{};
  if (message.size() < sizeof head) return Reply(kStatusUnsuccessful, {}, 0);
  std::memcpy(&head, message.data(), sizeof head);
  if (message.size() != sizeof head + static_cast<size_t>(head.in_len) + head.out_len)
    return Reply(kStatusUnsuccessful, {}, 0);
  if (head.slot != slot_) return Reply(kStatusNoSuchDevice, {}, 0);
  NoteRequest();
  const std::span<const uint8_t> in(message.data() + sizeof head, head.in_len);
  std::vector<uint8_t> data(message.begin() + sizeof head + head.in_len, message.end());
  const auto decoded = DecodeRequest(head.code, in, data.size());
  const uint8_t channel =
      head.code == kIoctlKsProperty ? kAudioDriverChannel : kDeviceInterfaceChannel;
  const bool was_present = device_->Present();
  const bool ok = device_->HandleIoControl(channel, decoded, data);
  if (was_present && !device_->Present()) {
    std::lock_guard<std::mutex> lock(mutex_);
    gone_at_ = served_;
    std::fprintf(stderr, "korvalen-standin: the device went away at request %llu\n",
                 static_cast<unsigned long long>(served_));
  }
  const unsigned int flags = device_->Present() ? 0 : STANDIN_REPLY_DEVICE_GONE;
  if (!ok) return Reply(flags ? kStatusNotConnected : kStatusUnsuccessful, {}, flags);
  // Only a transfer towards the host gives bytes back.
  if (!decoded || decoded->kind != DecodedRequest::Kind::kControlTransfer ||
      !decoded->DeviceToHost()) {
    return Reply(kStatusSuccess, {}, flags);
  }
  return Reply(kStatusSuccess, std::span<const uint8_t>(data).first(decoded->length), flags);
}

void StandinServer::NoteRequest() {
  const double now = NowMs();
  std::lock_guard<std::mutex> lock(mutex_);
  if (burst_requests_ != 0 && now - burst_last_ms_ >= kBurstIdleMs) ReportBurstLocked();
  if (burst_requests_ == 0) burst_first_ms_ = now;
  ++burst_requests_;
  burst_last_ms_ = now;
  ++served_;
}

void StandinServer::ReportBurst() {
  std::lock_guard<std::mutex> lock(mutex_);
  ReportBurstLocked();
}

void StandinServer::ReportBurstLocked() {
  if (burst_requests_ == 0) return;
  const double span = burst_last_ms_ - burst_first_ms_;
  std::fprintf(stderr, "korvalen-standin: requests: %llu in %.1f ms (%.3f ms apart), %llu in all\n",
               static_cast<unsigned long long>(burst_requests_), span,
               burst_requests_ > 1 ? span / static_cast<double>(burst_requests_ - 1) : 0.0,
               static_cast<unsigned long long>(served_));
  std::fflush(stderr);
  burst_requests_ = 0;
}

}  // namespace korvalen::standin
