#include "link/Win32Driver.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
// windows.h must come first.
#include <setupapi.h>

#include <cstddef>
#include <cstring>
#include <limits>

namespace korvalen {
namespace {

// Present devices only, listed by device interface.
constexpr DWORD kPresentInterfaces = DIGCF_PRESENT | DIGCF_DEVICEINTERFACE;

// The system checks the detail record's size field against its own layout of
// the fixed part: 5 bytes where the record is byte-packed (32-bit), 8 on x64.
#ifdef _WIN64
constexpr DWORD kDetailFixedSize = 8;
#else
constexpr DWORD kDetailFixedSize = 5;
#endif
static_assert(sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A) == kDetailFixedSize);
constexpr DWORD kDevicePathOffset = offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath);

GUID ToSystemGuid(const Guid& guid) {
  GUID system{};
  system.Data1 = guid.data1;
  system.Data2 = guid.data2;
  system.Data3 = guid.data3;
  std::memcpy(system.Data4, guid.data4.data(), sizeof system.Data4);
  return system;
}

HANDLE ToSystemHandle(DriverHandle handle) { return reinterpret_cast<HANDLE>(handle); }

// nullopt when the size query or the fetch fails: the interface is skipped.
std::optional<std::string> InterfacePath(HDEVINFO set, SP_DEVICE_INTERFACE_DATA& interface_data) {
  DWORD required = 0;
  // Asks for the size only; this call fails by design with "buffer too small".
  SetupDiGetDeviceInterfaceDetailA(set, &interface_data, nullptr, 0, &required, nullptr);
  if (required <= kDevicePathOffset) return std::nullopt;
  auto* detail = static_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_A>(LocalAlloc(LPTR, required));
  if (detail == nullptr) return std::nullopt;
  detail->cbSize = kDetailFixedSize;
  std::optional<std::string> path;
  if (SetupDiGetDeviceInterfaceDetailA(set, &interface_data, detail, required, nullptr, nullptr)) {
    // Bounded by the record, in case the system left the path unterminated.
    path.emplace(detail->DevicePath, strnlen(detail->DevicePath, required - kDevicePathOffset));
  }
  LocalFree(detail);
  return path;
}

}  // namespace

std::optional<std::vector<std::string>> Win32Driver::EnumerateInterfaces(
    const Guid& interface_class) {
  const GUID guid = ToSystemGuid(interface_class);
  HDEVINFO set = SetupDiGetClassDevsA(&guid, nullptr, nullptr, kPresentInterfaces);
  if (set == INVALID_HANDLE_VALUE) return std::nullopt;

  std::vector<std::string> paths;
  SP_DEVICE_INTERFACE_DATA interface_data{};
  interface_data.cbSize = sizeof interface_data;
  // The walk ends when the system reports no more items; any other failure
  // ends it as well, since a later index cannot be reached past it.
  for (DWORD index = 0; SetupDiEnumDeviceInterfaces(set, nullptr, &guid, index, &interface_data);
       ++index) {
    if (auto path = InterfacePath(set, interface_data)) paths.push_back(std::move(*path));
  }
  SetupDiDestroyDeviceInfoList(set);
  return paths;
}

DriverHandle Win32Driver::OpenPath(const std::string& path) {
  // A zero byte would make the system open a shorter path than the one named.
  if (path.empty() || path.find('\0') != std::string::npos) return kNoHandle;
  HANDLE handle =
      CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                  nullptr, OPEN_EXISTING, 0, nullptr);
  if (handle == INVALID_HANDLE_VALUE || handle == nullptr) return kNoHandle;
  const auto opened = reinterpret_cast<DriverHandle>(handle);
  paths_[opened] = path;
  return opened;
}

void Win32Driver::CloseHandle(DriverHandle handle) {
  paths_.erase(handle);
  ::CloseHandle(ToSystemHandle(handle));
}

bool Win32Driver::DeviceGoneAfterFailure(DriverHandle handle, unsigned long error) const {
  if (error == ERROR_DEVICE_NOT_CONNECTED) return true;
  // A handle whose device was removed fails with whatever the driver stack
  // makes of it (access denied, invalid function); the device is gone when
  // its path does not open any more either. A stalled request leaves the
  // path openable.
  const auto path = paths_.find(handle);
  if (path == paths_.end()) return false;
  HANDLE probe =
      CreateFileA(path->second.c_str(), GENERIC_READ | GENERIC_WRITE,
                  FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
  if (probe != INVALID_HANDLE_VALUE && probe != nullptr) {
    ::CloseHandle(probe);
    return false;
  }
  const DWORD open_error = GetLastError();
  return open_error == ERROR_FILE_NOT_FOUND || open_error == ERROR_PATH_NOT_FOUND ||
         open_error == ERROR_DEVICE_NOT_CONNECTED;
}

bool Win32Driver::IoControl(DriverHandle handle, uint32_t code, std::span<const uint8_t> in,
                            std::span<uint8_t> out) {
  constexpr size_t kMaxBuffer = std::numeric_limits<DWORD>::max();
  last_io_gone_ = false;
  if (handle == kNoHandle || in.size() > kMaxBuffer || out.size() > kMaxBuffer) return false;
  DWORD returned = 0;
  // The call only reads the input buffer; its parameter is merely not const.
  void* in_buffer = in.empty() ? nullptr : const_cast<uint8_t*>(in.data());
  void* out_buffer = out.empty() ? nullptr : out.data();
  if (DeviceIoControl(ToSystemHandle(handle), code, in_buffer, static_cast<DWORD>(in.size()),
                      out_buffer, static_cast<DWORD>(out.size()), &returned, nullptr) != FALSE) {
    return true;
  }
  last_io_gone_ = DeviceGoneAfterFailure(handle, GetLastError());
  return false;
}

}  // namespace korvalen
