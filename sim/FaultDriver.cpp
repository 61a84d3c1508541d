#include "sim/FaultDriver.h"

#include <algorithm>

namespace korvalen::sim {

void FaultDriver::Revive() {
  vanished_ = false;
  vanish_from_.reset();
}

void FaultDriver::FlipBits(uint64_t n, uint32_t byte, uint8_t mask) {
  flips_.push_back({n, 0, byte, mask, 1, false});
}

void FaultDriver::FlipBitsInEvery(uint8_t request, uint32_t byte, uint8_t mask, uint32_t times) {
  flips_.push_back({0, request, byte, mask, times, times == 0});
}

void FaultDriver::ClearFaults() {
  rejects_.clear();
  Revive();
  flips_.clear();
  rule_ = nullptr;
  fail_enumeration_ = false;
  fail_open_ = false;
  deny_access_ = false;
}

std::optional<std::vector<std::string>> FaultDriver::EnumerateInterfaces(
    const korvalen::Guid& interface_class) {
  if (fail_enumeration_) return std::nullopt;
  if (vanished_) return std::vector<std::string>{};  // the query works and finds nothing
  return inner_.EnumerateInterfaces(interface_class);
}

korvalen::DriverHandle FaultDriver::OpenPath(const std::string& path) {
  last_open_denied_ = deny_access_ && !fail_open_ && !vanished_;
  if (fail_open_ || vanished_ || deny_access_) return korvalen::kNoHandle;
  const korvalen::DriverHandle handle = inner_.OpenPath(path);
  last_open_denied_ = inner_.LastOpenDenied();
  return handle;
}

void FaultDriver::CloseHandle(korvalen::DriverHandle handle) { inner_.CloseHandle(handle); }

bool FaultDriver::IoControl(korvalen::DriverHandle handle, uint32_t code,
                            std::span<const uint8_t> in, std::span<uint8_t> out) {
  const uint64_t n = ++count_;
  last_io_gone_ = false;
  if (vanish_from_ && n >= *vanish_from_) vanished_ = true;
  if (vanished_ || rejects_.erase(n) != 0) {
    last_io_gone_ = vanished_;
    ++faults_injected_;
    return false;
  }
  const auto decoded = korvalen::DecodeRequest(code, in, out.size());
  if (rule_ && rule_(n, decoded)) {
    ++faults_injected_;
    return false;
  }
  if (!inner_.IoControl(handle, code, in, out)) {
    last_io_gone_ = inner_.LastIoDeviceGone();
    return false;
  }
  if (!decoded || decoded->kind != korvalen::DecodedRequest::Kind::kControlTransfer ||
      !decoded->DeviceToHost()) {
    return true;
  }
  for (Flip& flip : flips_) {
    const bool hit = flip.request != 0 ? flip.request == n
                                       : flip.b_request == decoded->setup.request &&
                                             (flip.forever || flip.times_left > 0);
    if (!hit || flip.byte >= decoded->length) continue;
    out[flip.byte] ^= flip.mask;
    ++faults_injected_;
    if (!flip.forever) --flip.times_left;
  }
  std::erase_if(flips_, [n](const Flip& f) {
    return (!f.forever && f.times_left == 0) || (f.request != 0 && f.request <= n);
  });
  return true;
}

}  // namespace korvalen::sim
