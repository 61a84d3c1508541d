#include "cli/Output.h"

#include <filesystem>
#include <fstream>
#include <system_error>

namespace korvalen::cli {

namespace {
// Carriage return, then erase to the end of the line.
constexpr std::string_view kClearLine = "\r\033[K";
}  // namespace

void Output::ClearBarLine() {
  if (!bar_.empty()) std::fwrite(kClearLine.data(), 1, kClearLine.size(), stdout);
}

void Output::Line(std::string_view text) {
  if (quiet) return;
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
  std::fwrite(text.data(), 1, text.size(), stdout);
  std::fflush(stdout);
}

void Output::Error(std::string_view text) {
  std::lock_guard<std::mutex> lock(mutex_);
  // Both streams usually share the terminal: the bar steps aside.
  ClearBarLine();
  std::fwrite(text.data(), 1, text.size(), stderr);
  std::fputc('\n', stderr);
  std::fflush(stderr);
  std::fwrite(bar_.data(), 1, bar_.size(), stdout);
  std::fflush(stdout);
}

std::string WriteFileAtomically(const std::string& path, std::string_view text) {
  namespace fs = std::filesystem;
  const fs::path target(path);
  fs::path temporary = target;
  temporary += ".part";
  {
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    out.write(text.data(), static_cast<std::streamsize>(text.size()));
    out.flush();
    if (!out) {
      std::error_code ignored;
      fs::remove(temporary, ignored);
      return "cannot write " + path;
    }
  }
  std::error_code error;
  fs::rename(temporary, target, error);
  if (error) {
    fs::remove(temporary, error);
    return "cannot write " + path;
  }
  return {};
}

}  // namespace korvalen::cli
