// Faults as a wrapper around any Driver (like leveldb's ErrorEnv or
// flashrom's fault programmer): a request that fails, a device that
// vanishes, reads whose data have a bit flipped. Request numbers count the
// IoControl calls made through the wrapper, from 1 after construction (or
// after ResetCount). Everything not faulted is passed through unchanged.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <vector>

#include "link/Driver.h"
#include "link/RequestRecord.h"

namespace korvalen::sim {

class FaultDriver : public korvalen::Driver {
 public:
  // inner must outlive the wrapper.
  explicit FaultDriver(korvalen::Driver& inner) : inner_(inner) {}

  // Request n fails once; it never reaches the inner driver.
  void RejectRequest(uint64_t n) { rejects_.insert(n); }
  // From request n on the device is gone: IoControl fails, enumeration
  // lists nothing, OpenPath fails. Until Revive.
  void VanishFrom(uint64_t n) { vanish_from_ = n; }
  void VanishNow() { vanished_ = true; }
  void Revive();
  // After the inner driver answered request n (an IN transfer), the byte at
  // `byte` of its data has the bits of mask flipped.
  void FlipBits(uint64_t n, uint32_t byte, uint8_t mask);
  // Every IN transfer whose decoded bRequest is `request` (e.g. 0x82, the
  // flash fetch) gets the bits of mask flipped in byte `byte` (when it has
  // that many bytes), `times` times in all (0 = forever).
  void FlipBitsInEvery(uint8_t request, uint32_t byte, uint8_t mask, uint32_t times = 0);
  // General rule: a request for which the predicate is true fails (not
  // passed on). The request is nullopt when the decoder refused it.
  using RejectRule =
      std::function<bool(uint64_t n, const std::optional<korvalen::DecodedRequest>& request)>;
  void RejectWhen(RejectRule rule) { rule_ = std::move(rule); }
  // The system query fails (nullopt) / paths do not open.
  void FailEnumeration(bool fails) { fail_enumeration_ = fails; }
  void FailOpen(bool fails) { fail_open_ = fails; }
  // Paths do not open because the system refuses this user access to the
  // device (as with no udev rule on Linux): LastOpenDenied says so.
  void DenyAccess(bool denies) { deny_access_ = denies; }
  void ClearFaults();

  uint64_t RequestCount() const { return count_; }
  void ResetCount() { count_ = 0; }
  // Requests that this wrapper failed or corrupted.
  uint64_t FaultsInjected() const { return faults_injected_; }
  bool Vanished() const { return vanished_; }

  std::optional<std::vector<std::string>> EnumerateInterfaces(
      const korvalen::Guid& interface_class) override;
  korvalen::DriverHandle OpenPath(const std::string& path) override;
  bool LastOpenDenied() const override { return last_open_denied_; }
  void CloseHandle(korvalen::DriverHandle handle) override;
  bool IoControl(korvalen::DriverHandle handle, uint32_t code, std::span<const uint8_t> in,
                 std::span<uint8_t> out) override;
  // Gone after a vanish, and when the inner driver says so; a rejected
  // request is not.
  bool LastIoDeviceGone() const override { return last_io_gone_; }

 private:
  struct Flip {
    uint64_t request;  // 0 = by bRequest
    uint8_t b_request;
    uint32_t byte;
    uint8_t mask;
    uint32_t times_left;  // for the by-bRequest kind; 0 = forever
    bool forever;
  };

  korvalen::Driver& inner_;
  std::set<uint64_t> rejects_;
  std::optional<uint64_t> vanish_from_;
  bool vanished_ = false;
  std::vector<Flip> flips_;
  RejectRule rule_;
  bool fail_enumeration_ = false;
  bool fail_open_ = false;
  bool deny_access_ = false;
  bool last_open_denied_ = false;
  bool last_io_gone_ = false;
  uint64_t count_ = 0;
  uint64_t faults_injected_ = 0;
};

}  // namespace korvalen::sim
