#include <cstdlib>

#include "station/SqliteStore.h"

namespace korvalen::station {

std::filesystem::path DefaultStorePath() {
  // The wide environment: a user name outside the code page stays intact.
  if (const wchar_t* local = _wgetenv(L"LOCALAPPDATA"); local != nullptr && local[0] != L'\0')
    return std::filesystem::path(local) / L"KORVALEN" / L"station.sqlite";
  return {};
}

}  // namespace korvalen::station
