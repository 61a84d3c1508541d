// Writing the command line's output files (read-back images, reports, the
// simulated devices' state) so that a failed or interrupted write never
// costs the user a file, and a link planted beside the target is never
// followed.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace korvalen::cli {

// Writes text to target through a new temporary file in target's folder: an
// unpredictable name created exclusively (never an existing file, never
// through a link), flushed to the disk, given the permission bits of the
// file it replaces, then renamed over target. A link at target is replaced
// by the file, its own target left alone. The bytes go out unchanged on
// every system. On failure target is as it was, the temporary file is gone,
// and the error text says why ("cannot write x.bin: the disk is full");
// empty on success.
std::string WriteFileAtomically(const std::filesystem::path& target, std::string_view text);

// Whether WriteFileAtomically could write target, checked before anything
// is sent to a device: target is no directory or other special file, and
// its folder takes a new file. Nothing is left behind. An error text, or
// empty.
std::string CheckWritable(const std::filesystem::path& target);

}  // namespace korvalen::cli
