#include "StandinChecks.h"

#include <cstdio>
#include <functional>
#include <vector>

#include "StandinProtocol.h"
#include "StandinSystem.h"
#include "link/Registers.h"
#include "link/RequestRecord.h"

namespace korvalen::standin {
namespace {

constexpr DWORD kInterfaceWaitMs = 5000;
// Long enough for the removal of an unplugged device to have run its course.
constexpr DWORD kSettleMs = 500;

struct Sent {
  bool ok;
  DWORD error;
};

Sent Send(HANDLE handle, DWORD code, std::vector<uint8_t> in, std::vector<uint8_t> out) {
  DWORD returned = 0;
  const BOOL ok = DeviceIoControl(handle, code, in.empty() ? nullptr : in.data(),
                                  static_cast<DWORD>(in.size()), out.empty() ? nullptr : out.data(),
                                  static_cast<DWORD>(out.size()), &returned, nullptr);
  return {ok != FALSE, ok ? 0 : GetLastError()};
}

struct Malformed {
  const char* what;
  DWORD code;
  std::vector<uint8_t> in;
  std::vector<uint8_t> out;
};

// A register read, well formed, and the malformed variants of it.
std::vector<Malformed> SetupRecordCases() {
  const SetupPacket read{kVendorIn, kRequestReadRegister, 0, kRegStatus0};
  const auto good = BuildSetupRecord(read, 0);
  auto with = [&](size_t at, uint8_t value) {
    auto record = good;
    record[at] = value;
    return record;
  };
  auto shorter = good;
  shorter.pop_back();
  return {
      {"a 23-byte record", kIoctlVendorDeviceToHost, shorter, {0}},
      {"byte 0 set", kIoctlVendorDeviceToHost, with(0, 1), {0}},
      {"byte 20 set", kIoctlVendorDeviceToHost, with(20, 1), {0}},
      {"an IN request type on the OUT code", kIoctlVendorHostToDevice, good, {0}},
      {"a setup length in a vendor request", kIoctlVendorDeviceToHost, with(10, 1), {0}},
      {"the audio driver's code", kIoctlKsProperty, good, {0}},
  };
}

std::vector<Malformed> PropertyBlockCases() {
  const SetupPacket read{kVendorIn, kRequestReadRegister, 0, kRegStatus0};
  const std::vector<uint8_t> data = {0x5A};
  const auto good = BuildPropertyBlock(read, data);
  auto with = [&](size_t at, uint8_t value) {
    auto block = good;
    block[at] = value;
    return block;
  };
  auto cut = good;
  cut.resize(40 + data.size());  // data length + 40, without the 7 bytes after it
  return {
      {"another property set", kIoctlKsProperty, with(0, 0x4e), data},
      {"property id 5", kIoctlKsProperty, with(16, 5), data},
      {"flags get and set", kIoctlKsProperty, with(20, 3), data},
      {"byte 24 not 0x20", kIoctlKsProperty, with(24, 0xC3), data},
      {"a block of length + 40 bytes", kIoctlKsProperty, cut, data},
      {"an output buffer longer than the length", kIoctlKsProperty, good, {0x5A, 0}},
      {"a data copy that differs", kIoctlKsProperty, with(40, 0xA5), data},
      {"a byte set after the data", kIoctlKsProperty, with(41, 1), data},
      {"the firmware-update driver's code", kIoctlVendorDeviceToHost, good, data},
  };
}

}  // namespace

int CheckMalformed(const std::string& id_text) {
  bool audio = true;
  std::string path;
  for (const GUID* interface_class : {&kAudioClass, &kUsbClass}) {
    for (const std::string& p : Interfaces(*interface_class)) {
      if (p.find(id_text) == std::string::npos) continue;
      path = p;
      audio = interface_class == &kAudioClass;
    }
    if (!path.empty()) break;
  }
  if (path.empty()) {
    std::fprintf(stderr, "korvalen-standin: no interface holds %s\n", id_text.c_str());
    return 1;
  }
  HANDLE handle = OpenDevicePath(path);
  if (handle == INVALID_HANDLE_VALUE) {
    std::fprintf(stderr, "korvalen-standin: cannot open %s (error %lu)\n", path.c_str(),
                 GetLastError());
    return 1;
  }
  int failures = 0;
  const auto cases = audio ? PropertyBlockCases() : SetupRecordCases();
  for (const Malformed& c : cases) {
    const Sent sent = Send(handle, c.code, c.in, c.out);
    const bool refused = !sent.ok && sent.error == ERROR_INVALID_PARAMETER;
    std::printf("%s: %s (error %lu)\n", c.what, refused ? "refused" : "NOT REFUSED", sent.error);
    if (!refused) ++failures;
  }
  const SetupPacket read{kVendorIn, kRequestReadRegister, 0, kRegStatus0};
  const std::vector<uint8_t> one = {0};
  const Sent good = audio ? Send(handle, kIoctlKsProperty, BuildPropertyBlock(read, one), one)
                          : Send(handle, kIoctlVendorDeviceToHost, BuildSetupRecord(read, 0), one);
  std::printf("a well-formed register read: %s (error %lu)\n", good.ok ? "carried" : "FAILED",
              good.error);
  if (!good.ok) ++failures;
  CloseHandle(handle);
  std::printf("%zu malformed records sent, %d check(s) failed\n", cases.size(), failures);
  std::fflush(stdout);
  return failures == 0 ? 0 : 1;
}

std::string Unplug(HANDLE control, unsigned long slot, const std::string& path,
                   const GUID& interface_class) {
  HANDLE stale = OpenDevicePath(path);
  const double start = NowMs();
  DWORD error = 0;
  ULONG which = slot;
  if (!Control(control, IOCTL_STANDIN_UNPLUG, &which, sizeof which, nullptr, 0, &error))
    return "unplug failed (error " + std::to_string(error) + ")";
  const auto gone = WaitForInterface(interface_class, path, false, kInterfaceWaitMs);
  char text[200];
  std::snprintf(text, sizeof text, "unplugged: interface %s after %.0f ms",
                gone ? "gone" : "STILL THERE", NowMs() - start);
  std::string said = text;
  if (stale != INVALID_HANDLE_VALUE) {
    // The presence test of each channel, well formed: once while the system
    // still removes the device, once after it has had time to delete it.
    const bool audio = &interface_class == &kAudioClass;
    auto probe = [&] {
      const Sent sent =
          audio ? Send(stale, kIoctlKsProperty, BuildPresenceQuery(), {})
                : Send(stale, kIoctlVendorDeviceToHost, BuildSetupRecord({0x80, 6, 0x0100, 1}, 18),
                       std::vector<uint8_t>(18));
      return sent.ok ? std::string("succeeded") : "error " + std::to_string(sent.error);
    };
    said += "; a handle opened before: DeviceIoControl " + probe();
    Sleep(kSettleMs);
    said += ", " + std::to_string(kSettleMs) + " ms later " + probe();
    CloseHandle(stale);
  }
  HANDLE again = OpenDevicePath(path);
  said += "; CreateFileA afterwards: " + (again != INVALID_HANDLE_VALUE
                                              ? std::string("succeeded")
                                              : "error " + std::to_string(GetLastError()));
  if (again != INVALID_HANDLE_VALUE) CloseHandle(again);
  return said;
}

}  // namespace korvalen::standin
