#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <string>

#include "station/StationPlace.h"

namespace korvalen::station {

std::string HostName() {
  wchar_t name[MAX_COMPUTERNAME_LENGTH + 1] = {};
  DWORD size = MAX_COMPUTERNAME_LENGTH + 1;
  if (!GetComputerNameW(name, &size) || size == 0) return "station";
  const std::u8string text = std::filesystem::path(std::wstring(name, size)).u8string();
  return std::string(reinterpret_cast<const char*>(text.data()), text.size());
}

}  // namespace korvalen::station
