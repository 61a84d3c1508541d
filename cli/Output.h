// Where the command line's texts go. Step lines of several devices updating
// in parallel come from several threads: one lock keeps lines whole.
#pragma once

#include <cstdio>
#include <filesystem>
#include <mutex>
#include <string>
#include <string_view>

#include "cli/AtomicFile.h"

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
  // What went out so far, so that --json can still print a document for a
  // command that ended with an error alone.
  bool wrote_text() const { return wrote_text_; }
  std::string last_error() const;

 private:
  void ClearBarLine();
  mutable std::mutex mutex_;
  std::string bar_;
  bool wrote_text_ = false;
  std::string last_error_;
};

// Standard output's terminal for the time of a command: whether it is one
// that takes the bar's control sequences. On Windows only a console is one
// (a pipe, a file or NUL is not); its control sequences are switched on and
// its code page set to UTF-8, in which file names are printed, and both are
// given back at the end.
class Terminal {
 public:
  Terminal();
  ~Terminal();
  Terminal(const Terminal&) = delete;
  Terminal& operator=(const Terminal&) = delete;
  bool is_terminal() const { return terminal_; }

 private:
  bool terminal_ = false;
  bool mode_changed_ = false;
  unsigned long old_mode_ = 0;      // the console mode to give back
  unsigned restore_code_page_ = 0;  // the code page to give back, if changed
};

}  // namespace korvalen::cli
