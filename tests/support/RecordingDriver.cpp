#include "tests/support/RecordingDriver.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>

namespace korvalen::testing {

std::string RecordingDriver::ClassKey(const Guid& g) {
  char text[40];
  std::snprintf(text, sizeof text, "%08X-%04X-%04X", static_cast<unsigned>(g.data1), g.data2,
                g.data3);
  return text;
}

void RecordingDriver::SetInterfaces(const Guid& interface_class, std::vector<std::string> paths) {
  interfaces[ClassKey(interface_class)] = std::move(paths);
}

std::optional<std::vector<std::string>> RecordingDriver::EnumerateInterfaces(
    const Guid& interface_class) {
  RecordedCall call;
  call.kind = RecordedCall::Kind::kEnumerate;
  call.interface_class = interface_class;
  const auto it = interfaces.find(ClassKey(interface_class));
  call.result = it != interfaces.end();
  calls.push_back(call);
  if (it == interfaces.end()) return std::nullopt;
  return it->second;
}

DriverHandle RecordingDriver::OpenPath(const std::string& path) {
  RecordedCall call;
  call.kind = RecordedCall::Kind::kOpen;
  call.path = path;
  last_open_denied_ = denied.count(path) != 0;
  call.handle = unopenable.count(path) || last_open_denied_ ? kNoHandle : next_handle_++;
  call.result = call.handle != kNoHandle;
  if (call.result) open_.insert(call.handle);
  calls.push_back(call);
  return call.handle;
}

void RecordingDriver::CloseHandle(DriverHandle handle) {
  RecordedCall call;
  call.kind = RecordedCall::Kind::kClose;
  call.handle = handle;
  call.result = open_.erase(handle) == 1;
  EXPECT_TRUE(call.result) << "CloseHandle on a handle that is not open: " << handle;
  calls.push_back(call);
}

bool RecordingDriver::IoControl(DriverHandle handle, uint32_t code, std::span<const uint8_t> in,
                                std::span<uint8_t> out) {
  RecordedCall call;
  call.kind = RecordedCall::Kind::kIoControl;
  call.handle = handle;
  call.code = code;
  call.in.assign(in.begin(), in.end());
  call.out_before.assign(out.begin(), out.end());
  EXPECT_TRUE(open_.count(handle)) << "IoControl on a handle that is not open: " << handle;
  if (!replies.empty()) {
    ScriptedReply reply = replies.front();
    replies.pop_front();
    std::copy_n(reply.data.begin(), std::min(reply.data.size(), out.size()), out.begin());
    call.result = reply.ok;
  } else if (responder) {
    const auto decoded = DecodeRequest(code, in, out.size());
    call.result = decoded && responder(*decoded, out);
  } else {
    call.result = true;
  }
  call.out_after.assign(out.begin(), out.end());
  calls.push_back(call);
  return call.result;
}

std::vector<RecordedCall> RecordingDriver::CallsOf(RecordedCall::Kind kind) const {
  std::vector<RecordedCall> found;
  std::copy_if(calls.begin(), calls.end(), std::back_inserter(found),
               [kind](const RecordedCall& c) { return c.kind == kind; });
  return found;
}

std::vector<RecordingDriver::Transfer> RecordingDriver::Transfers() const {
  std::vector<Transfer> transfers;
  for (const auto& call : CallsOf(RecordedCall::Kind::kIoControl)) {
    const auto decoded = DecodeRequest(call.code, call.in, call.out_before.size());
    EXPECT_TRUE(decoded.has_value()) << "undecodable request, code " << call.code;
    if (!decoded) continue;
    transfers.push_back({*decoded, decoded->DeviceToHost() ? call.out_after : call.out_before,
                         call.result});
  }
  return transfers;
}

}  // namespace korvalen::testing
