// A driver that records every call with its bytes and answers from a script,
// so tests can pin the exact requests the link sends. It checks its own
// contract: an I/O-control call or close on a handle that is not open fails
// the running test.
#pragma once

#include <deque>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "link/Driver.h"
#include "link/RequestRecord.h"

namespace korvalen::testing {

struct RecordedCall {
  enum class Kind { kEnumerate, kOpen, kClose, kIoControl };
  Kind kind = Kind::kIoControl;
  Guid interface_class{};   // kEnumerate
  std::string path;         // kOpen
  DriverHandle handle = 0;  // kOpen (the result), kClose, kIoControl
  uint32_t code = 0;
  std::vector<uint8_t> in;
  std::vector<uint8_t> out_before;  // the out block as the caller handed it over
  std::vector<uint8_t> out_after;   // the out block as the driver left it
  bool result = false;
};

// One scripted answer: whether the driver accepts, and the bytes it puts
// into the out block (for IN transfers).
struct ScriptedReply {
  bool ok = true;
  std::vector<uint8_t> data;
};

class RecordingDriver : public Driver {
 public:
  // The interface paths listed for a class; a class without an entry fails
  // the enumeration (nullopt).
  std::map<std::string, std::vector<std::string>> interfaces;  // keyed by ClassKey()
  // Paths that refuse to open; `denied` ones because the system refuses
  // this user access (LastOpenDenied says so).
  std::set<std::string> unopenable;
  std::set<std::string> denied;
  // Replies consumed in order by IoControl; when empty, `responder` answers
  // (by default: accept and leave the out block as it is).
  std::deque<ScriptedReply> replies;
  std::function<bool(const DecodedRequest&, std::span<uint8_t>)> responder;

  std::vector<RecordedCall> calls;

  static std::string ClassKey(const Guid& g);
  void SetInterfaces(const Guid& interface_class, std::vector<std::string> paths);

  std::optional<std::vector<std::string>> EnumerateInterfaces(const Guid& interface_class) override;
  DriverHandle OpenPath(const std::string& path) override;
  bool LastOpenDenied() const override { return last_open_denied_; }
  void CloseHandle(DriverHandle handle) override;
  bool IoControl(DriverHandle handle, uint32_t code, std::span<const uint8_t> in,
                 std::span<uint8_t> out) override;

  size_t OpenHandles() const { return open_.size(); }
  std::vector<RecordedCall> CallsOf(RecordedCall::Kind kind) const;
  // The I/O-control calls decoded back into control transfers, in order:
  // the setup packet, the data stage (what was sent for OUT, what was
  // received for IN) and whether the driver accepted it.
  struct Transfer {
    DecodedRequest request;
    std::vector<uint8_t> data;
    bool ok = false;
  };
  std::vector<Transfer> Transfers() const;
  void ClearCalls() { calls.clear(); }

 private:
  std::set<DriverHandle> open_;
  DriverHandle next_handle_ = 100;
  bool last_open_denied_ = false;
};

}  // namespace korvalen::testing
