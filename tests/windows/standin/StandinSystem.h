// The system calls the stand-in's tool makes: installing and removing the
// root device, finding interfaces, and the bus device's control requests.
#pragma once

#include <windows.h>

#include <optional>
#include <string>
#include <vector>

#include "StandinProtocol.h"

namespace korvalen::standin {

extern const GUID kUsbClass;
extern const GUID kAudioClass;
extern const GUID kControlClass;

// The present interfaces of a class (empty when the query fails).
std::vector<std::string> Interfaces(const GUID& interface_class);
// Waits (bounded) until an interface of the class whose path holds `part`
// is present (or, with present = false, gone). The path, or nullopt at the
// time-out.
std::optional<std::string> WaitForInterface(const GUID& interface_class, const std::string& part,
                                            bool present, DWORD timeout_ms);

// Creates the root device and installs the driver from the INF. False with
// *error set when a step fails.
bool InstallRootDevice(const std::string& inf, std::string* error);
bool RemoveRootDevice(std::string* error);

// The bus device's control interface, opened; INVALID_HANDLE_VALUE when the
// stand-in is not installed.
HANDLE OpenControl();
// One control request; false with the system's error in *error_code.
bool Control(HANDLE control, DWORD code, const void* in, DWORD in_size, void* out, DWORD out_size,
             DWORD* error_code);

HANDLE OpenDevicePath(const std::string& path);
double NowMs();

}  // namespace korvalen::standin
