#include "cli/StopSignals.h"

#include <atomic>
#include <csignal>
#include <cstdint>
#include <cstring>

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#else
#include <time.h>
#include <unistd.h>
#endif

namespace korvalen::cli {
namespace {

constexpr int64_t kSecondSignalWindowMs = 5000;
constexpr char kCutOffText[] =
    "\nkorvalen-fw: ended at once by a second signal. The update was cut off: the device may "
    "still be in update mode, its flash erased or partly programmed. Plug it in again and run "
    "the update again.\n";

// Only lock-free atomics are touched from the handler.
std::atomic<int> g_signals{0};
std::atomic<int> g_stop_at{1};  // the signal that stops the running updates
std::atomic<int64_t> g_stop_ms{0};

int64_t NowMs() {
#ifdef _WIN32
  return static_cast<int64_t>(GetTickCount64());
#else
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);  // safe in a signal handler
  return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
#endif
}

// True when this signal follows the one that stopped the updates within the
// window: the caller ends the program.
bool NoteSignal() {
  const int64_t now = NowMs();
  const int stop_at = g_stop_at.load();
  if (g_signals.load() >= stop_at && now - g_stop_ms.load() < kSecondSignalWindowMs) return true;
  const int count = g_signals.fetch_add(1) + 1;
  if (count >= stop_at) g_stop_ms.store(now);
  return false;
}

#ifdef _WIN32
BOOL WINAPI OnConsoleEvent(DWORD event) {
  switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
    case CTRL_CLOSE_EVENT:
      if (NoteSignal()) {
        DWORD written = 0;
        WriteFile(GetStdHandle(STD_ERROR_HANDLE), kCutOffText, sizeof kCutOffText - 1, &written,
                  nullptr);
        ExitProcess(kExitSecondSignal);
      }
      if (event == CTRL_CLOSE_EVENT) {
        // The system ends the process when this returns: give the update its
        // way out first (the system allows a few seconds).
        for (int i = 0; i < 50; ++i) Sleep(100);
      }
      return TRUE;
    default:
      return FALSE;
  }
}
#else
struct sigaction g_old_int {};
struct sigaction g_old_term {};

void OnSignal(int) {
  if (NoteSignal()) {
    ssize_t ignored = write(STDERR_FILENO, kCutOffText, sizeof kCutOffText - 1);
    (void)ignored;
    _exit(kExitSecondSignal);
  }
}
#endif

}  // namespace

StopSignals::StopSignals(StopMode mode) {
  g_signals.store(0);
  g_stop_at.store(mode == StopMode::kStation ? 2 : 1);
#ifdef _WIN32
  SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
#else
  struct sigaction action {};
  action.sa_handler = OnSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  sigaction(SIGINT, &action, &g_old_int);
  sigaction(SIGTERM, &action, &g_old_term);
#endif
}

StopSignals::~StopSignals() {
#ifdef _WIN32
  SetConsoleCtrlHandler(OnConsoleEvent, FALSE);
#else
  sigaction(SIGINT, &g_old_int, nullptr);
  sigaction(SIGTERM, &g_old_term, nullptr);
#endif
}

bool StopSignalled() { return g_signals.load() >= g_stop_at.load(); }

int StopSignalCount() { return g_signals.load(); }

}  // namespace korvalen::cli
