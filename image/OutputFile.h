// Where the programs' output files go (read-back images, reports, captures,
// the simulated devices' state), by one rule for every output:
//
// - a character device, a FIFO or a pipe (also when reached through a link,
//   /dev/stdout or /dev/fd/N; on Windows CON, NUL and \\.\pipe\ names) is
//   written directly, as it is: replacing it would take it away from
//   whoever uses it;
// - a regular file is replaced through a fresh file beside it, so a failed
//   or interrupted write never costs the old file; the new file keeps the
//   old one's permission bits, and its owner and group where this user may
//   set them. A file this user may not write is refused, not replaced;
// - a link at the target that leads to a regular file (or nowhere) is
//   replaced itself, never followed into someone else's file;
// - a folder, or anything else, is refused.
#pragma once

#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

namespace korvalen {

class OutputFile {
 public:
  // Told once when a FIFO or pipe has no reader yet and the open waits for
  // one.
  using WaitNotice = std::function<void(const std::string& text)>;

  // Opens target for writing; nullptr with *why set ("permission denied",
  // "it is a folder") when it cannot be. Nothing at target changes yet.
  static std::unique_ptr<OutputFile> Open(const std::filesystem::path& target, std::string* why,
                                          const WaitNotice& waiting = {});
  // An output never put in place is removed; the target stays as it was.
  ~OutputFile();
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;

  // Writes all of bytes. False with Reason() set when the system refused.
  bool Write(std::string_view bytes);
  // Puts a fresh file in target's place, through to the disk (nothing to do
  // for a direct output or once done). Later writes still reach it. An
  // error text ("cannot write x.bin: the disk is full"), or empty.
  std::string Commit();
  // Why the last Write failed, in plain words.
  const std::string& Reason() const { return reason_; }
  // Written directly (device, FIFO, pipe, descriptor) rather than replaced.
  bool direct() const;
  const std::filesystem::path& target() const { return target_; }

  struct System;  // the system's handles

 private:
  OutputFile(std::filesystem::path target, std::unique_ptr<System> system);
  std::filesystem::path target_;
  std::unique_ptr<System> system_;
  std::string reason_;
};

// Whether OutputFile could write target, checked before anything is sent
// to a device: what is there may be written or replaced, and a new file's
// folder takes one. Opens no FIFO and leaves nothing behind. An error text
// ("cannot write x.bin: it is a folder"), or empty.
std::string CheckOutput(const std::filesystem::path& target);

// "cannot write <target>: <why>".
std::string OutputFailed(const std::filesystem::path& target, const std::string& why);

// Whether target is written directly (a device, FIFO, pipe or one of this
// program's open descriptors) rather than replaced.
bool IsDirectOutput(const std::filesystem::path& target);

// Whether writing output would replace or write into the file input names:
// the same file, or (where neither exists yet) the same name.
bool OutputMeetsFile(const std::filesystem::path& output, const std::filesystem::path& input);

}  // namespace korvalen
