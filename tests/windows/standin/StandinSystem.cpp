#include "StandinSystem.h"

// windows.h first.
#include <newdev.h>
#include <setupapi.h>

#include <cstring>

namespace korvalen::standin {

const GUID kUsbClass = STANDIN_GUID_USB_INIT;
const GUID kAudioClass = STANDIN_GUID_AUDIO_INIT;
const GUID kControlClass = STANDIN_GUID_CONTROL_INIT;

namespace {
// The class the root device is installed in ("System").
const GUID kSystemSetupClass = {
    0x4d36e97d, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};
constexpr DWORD kPollMs = 20;

std::string LastError(const char* what) {
  return std::string(what) + " failed, error " + std::to_string(GetLastError());
}
}  // namespace

double NowMs() {
  LARGE_INTEGER frequency, count;
  QueryPerformanceFrequency(&frequency);
  QueryPerformanceCounter(&count);
  return static_cast<double>(count.QuadPart) * 1000.0 / static_cast<double>(frequency.QuadPart);
}

std::vector<std::string> Interfaces(const GUID& interface_class) {
  std::vector<std::string> paths;
  HDEVINFO set = SetupDiGetClassDevsA(&interface_class, nullptr, nullptr,
                                      DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  if (set == INVALID_HANDLE_VALUE) return paths;
  SP_DEVICE_INTERFACE_DATA data{};
  data.cbSize = sizeof data;
  for (DWORD i = 0; SetupDiEnumDeviceInterfaces(set, nullptr, &interface_class, i, &data); ++i) {
    DWORD needed = 0;
    SetupDiGetDeviceInterfaceDetailA(set, &data, nullptr, 0, &needed, nullptr);
    std::vector<char> buffer(needed + sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A));
    auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(buffer.data());
    detail->cbSize = sizeof *detail;
    if (SetupDiGetDeviceInterfaceDetailA(set, &data, detail, static_cast<DWORD>(buffer.size()),
                                         nullptr, nullptr)) {
      paths.emplace_back(detail->DevicePath);
    }
  }
  SetupDiDestroyDeviceInfoList(set);
  return paths;
}

std::optional<std::string> WaitForInterface(const GUID& interface_class, const std::string& part,
                                            bool present, DWORD timeout_ms) {
  const double start = NowMs();
  while (true) {
    std::optional<std::string> found;
    for (const std::string& path : Interfaces(interface_class)) {
      if (path.find(part) != std::string::npos) found = path;
    }
    if (found.has_value() == present) return present ? found : std::optional<std::string>("");
    if (NowMs() - start > timeout_ms) return std::nullopt;
    Sleep(kPollMs);
  }
}

bool InstallRootDevice(const std::string& inf, std::string* error) {
  char inf_path[MAX_PATH];
  if (GetFullPathNameA(inf.c_str(), sizeof inf_path, inf_path, nullptr) == 0) {
    *error = LastError("GetFullPathNameA");
    return false;
  }
  // The hardware id as a multi-string: the id, then an empty string.
  char hardware_id[sizeof STANDIN_HARDWARE_ID + 1] = STANDIN_HARDWARE_ID;
  hardware_id[sizeof STANDIN_HARDWARE_ID] = '\0';
  HDEVINFO set = SetupDiCreateDeviceInfoList(&kSystemSetupClass, nullptr);
  if (set == INVALID_HANDLE_VALUE) {
    *error = LastError("SetupDiCreateDeviceInfoList");
    return false;
  }
  SP_DEVINFO_DATA device{};
  device.cbSize = sizeof device;
  bool ok = false;
  if (!SetupDiCreateDeviceInfoA(set, STANDIN_INSTANCE_ID, &kSystemSetupClass, nullptr, nullptr, 0,
                                &device)) {
    *error = LastError("SetupDiCreateDeviceInfoA");
  } else if (!SetupDiSetDeviceRegistryPropertyA(set, &device, SPDRP_HARDWAREID,
                                                reinterpret_cast<BYTE*>(hardware_id),
                                                sizeof hardware_id)) {
    *error = LastError("SetupDiSetDeviceRegistryPropertyA");
  } else if (!SetupDiCallClassInstaller(DIF_REGISTERDEVICE, set, &device)) {
    *error = LastError("DIF_REGISTERDEVICE");
  } else {
    BOOL reboot = FALSE;
    ok = UpdateDriverForPlugAndPlayDevicesA(nullptr, STANDIN_HARDWARE_ID, inf_path,
                                            INSTALLFLAG_FORCE, &reboot) != FALSE;
    if (!ok) *error = LastError("UpdateDriverForPlugAndPlayDevicesA");
  }
  SetupDiDestroyDeviceInfoList(set);
  return ok;
}

bool RemoveRootDevice(std::string* error) {
  HDEVINFO set = SetupDiCreateDeviceInfoList(nullptr, nullptr);
  if (set == INVALID_HANDLE_VALUE) {
    *error = LastError("SetupDiCreateDeviceInfoList");
    return false;
  }
  SP_DEVINFO_DATA device{};
  device.cbSize = sizeof device;
  bool ok = SetupDiOpenDeviceInfoA(set, STANDIN_INSTANCE_ID, nullptr, 0, &device) &&
            SetupDiCallClassInstaller(DIF_REMOVE, set, &device);
  if (!ok) *error = LastError("removing " STANDIN_INSTANCE_ID);
  SetupDiDestroyDeviceInfoList(set);
  return ok;
}

HANDLE OpenDevicePath(const std::string& path) {
  return CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                     nullptr, OPEN_EXISTING, 0, nullptr);
}

HANDLE OpenControl() {
  const auto paths = Interfaces(kControlClass);
  if (paths.empty()) return INVALID_HANDLE_VALUE;
  return OpenDevicePath(paths.front());
}

bool Control(HANDLE control, DWORD code, const void* in, DWORD in_size, void* out, DWORD out_size,
             DWORD* error_code) {
  DWORD returned = 0;
  if (DeviceIoControl(control, code, const_cast<void*>(in), in_size, out, out_size, &returned,
                      nullptr)) {
    *error_code = 0;
    return true;
  }
  *error_code = GetLastError();
  return false;
}

}  // namespace korvalen::standin
