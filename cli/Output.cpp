#include "cli/Output.h"

#include "image/Utf8Text.h"

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace korvalen::cli {

namespace {
// Carriage return, then erase to the end of the line.
constexpr std::string_view kClearLine = "\r\033[K";
}  // namespace

void Output::ClearBarLine() {
  if (!bar_.empty()) std::fwrite(kClearLine.data(), 1, kClearLine.size(), stdout);
}

void Output::Line(std::string_view line) {
  if (quiet) return;
  // A name or value typed in another encoding is shown escaped ("\xFF"),
  // never as bytes a terminal or a log reader garbles.
  const std::string text = EscapeInvalidUtf8(line);
  std::lock_guard<std::mutex> lock(mutex_);
  ClearBarLine();
  std::fwrite(text.data(), 1, text.size(), stdout);
  std::fputc('\n', stdout);
  std::fwrite(bar_.data(), 1, bar_.size(), stdout);
  std::fflush(stdout);
}

void Output::Bar(std::string_view text) {
  if (quiet || !terminal) return;
  std::lock_guard<std::mutex> lock(mutex_);
  if (text == bar_) return;
  std::fwrite(kClearLine.data(), 1, kClearLine.size(), stdout);
  bar_ = std::string(text);
  std::fwrite(bar_.data(), 1, bar_.size(), stdout);
  std::fflush(stdout);
}

void Output::EndBar() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (bar_.empty()) return;
  std::fputc('\n', stdout);
  std::fflush(stdout);
  bar_.clear();
}

void Output::Text(std::string_view text) {
  std::lock_guard<std::mutex> lock(mutex_);
  wrote_text_ = true;
  std::fwrite(text.data(), 1, text.size(), stdout);
  std::fflush(stdout);
}

std::string Output::last_error() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return last_error_;
}

void Output::Error(std::string_view message) {
  const std::string text = EscapeInvalidUtf8(message);
  std::lock_guard<std::mutex> lock(mutex_);
  last_error_ = text;
  // Both streams usually share the terminal: the bar steps aside.
  ClearBarLine();
  std::fwrite(text.data(), 1, text.size(), stderr);
  std::fputc('\n', stderr);
  std::fflush(stderr);
  std::fwrite(bar_.data(), 1, bar_.size(), stdout);
  std::fflush(stdout);
}

#ifdef _WIN32
namespace {
#ifndef ENABLE_VIRTUAL_TERMINAL_PROCESSING
constexpr DWORD ENABLE_VIRTUAL_TERMINAL_PROCESSING = 0x0004;
#endif

bool IsConsole(HANDLE handle, DWORD& mode) {
  return handle != nullptr && handle != INVALID_HANDLE_VALUE && GetConsoleMode(handle, &mode);
}
}  // namespace

Terminal::Terminal() {
  const HANDLE handle = GetStdHandle(STD_OUTPUT_HANDLE);
  DWORD mode = 0;
  DWORD error_mode = 0;
  const bool console = IsConsole(handle, mode);
  // Messages on standard error name files too, also when the output is not
  // the console.
  if (console || IsConsole(GetStdHandle(STD_ERROR_HANDLE), error_mode)) {
    if (const UINT code_page = GetConsoleOutputCP(); code_page != CP_UTF8) {
      if (SetConsoleOutputCP(CP_UTF8)) restore_code_page_ = code_page;
    }
  }
  if (!console) return;
  if (mode & ENABLE_VIRTUAL_TERMINAL_PROCESSING) {
    terminal_ = true;
  } else if (SetConsoleMode(handle, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING)) {
    old_mode_ = mode;
    mode_changed_ = true;
    terminal_ = true;
  }
  // A console too old for control sequences gets the plain step lines.
}

Terminal::~Terminal() {
  std::fflush(stdout);
  if (mode_changed_) SetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), old_mode_);
  if (restore_code_page_ != 0) SetConsoleOutputCP(restore_code_page_);
}
#else
Terminal::Terminal() : terminal_(isatty(STDOUT_FILENO) == 1) {}
Terminal::~Terminal() = default;
#endif

}  // namespace korvalen::cli
