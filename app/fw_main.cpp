// korvalen-fw: the command line for engineers and production lines.
#include "app/FwSimulation.h"
#include "cli/FwCommand.h"
#ifdef KORVALEN_HAVE_STATION
#include "station/StationCommand.h"
constexpr auto kStation = korvalen::station::StationCommand;
#else
constexpr std::nullptr_t kStation = nullptr;
#endif

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <string>
#include <vector>

// The arguments arrive in UTF-16; the commands take UTF-8 text (a file name
// in the legacy code page could not name every file).
int wmain(int argc, wchar_t** wargv) {
  std::vector<std::string> args;
  for (int i = 0; i < argc; ++i) {
    const int size = WideCharToMultiByte(CP_UTF8, 0, wargv[i], -1, nullptr, 0, nullptr, nullptr);
    std::string arg(size > 0 ? static_cast<size_t>(size) : 1, '\0');
    if (size > 0) WideCharToMultiByte(CP_UTF8, 0, wargv[i], -1, arg.data(), size, nullptr, nullptr);
    arg.resize(arg.size() - 1);  // the terminator
    args.push_back(std::move(arg));
  }
  std::vector<char*> argv;
  for (std::string& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  return korvalen::cli::RunFw(argc, argv.data(), korvalen::fwsim::MakeSimulation, kStation);
}
#else
int main(int argc, char** argv) {
  return korvalen::cli::RunFw(argc, argv, korvalen::fwsim::MakeSimulation, kStation);
}
#endif
