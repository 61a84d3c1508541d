// Where the command line's texts go. Step lines of several devices updating
// in parallel come from several threads: one lock keeps lines whole.
#pragma once

#include <cstdio>
#include <mutex>
#include <string>
#include <string_view>

namespace korvalen::cli {

class Output {
 public:
  // Standard output; with quiet (--json) nothing but the document goes there.
  void Line(std::string_view text);
  void Text(std::string_view text);
  // Standard error: warnings, refusals, the confirmation question.
  void Error(std::string_view text);
  // On a terminal: the progress bar on the last line, redrawn in place;
  // lines written meanwhile go above it. EndBar leaves the bar's last state
  // on its line. Nothing of it reaches a file or a pipe.
  void Bar(std::string_view text);
  void EndBar();
  bool quiet = false;
  bool terminal = false;  // standard output is a terminal

 private:
  void ClearBarLine();
  std::mutex mutex_;
  std::string bar_;
};

// Writes text to path through a temporary file in the same directory and a
// rename, so a reader never sees half a file. An error text, or empty.
std::string WriteFileAtomically(const std::string& path, std::string_view text);

}  // namespace korvalen::cli
