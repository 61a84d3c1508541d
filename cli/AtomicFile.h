// Writing the command line's output files (read-back images, reports, the
// simulated devices' state) by the rule of image/OutputFile.h: a failed or
// interrupted write never costs the user a file, a link planted at or
// beside the target is never followed, and a device, FIFO or pipe is
// written as it is.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace korvalen::cli {

// Writes text to target: directly into a device, FIFO or pipe; otherwise
// through a new file in target's folder (an unpredictable name created
// exclusively), flushed to the disk, given the permission bits, owner and
// group of the file it replaces, then renamed over target. A link at
// target leading to a file is replaced by the file, its own target left
// alone. The bytes go out unchanged on every system. On failure a replaced
// target is as it was, the new file is gone, and the error text says why
// ("cannot write x.bin: the disk is full"); empty on success.
std::string WriteFileAtomically(const std::filesystem::path& target, std::string_view text);

// Whether WriteFileAtomically could write target, checked before anything
// is sent to a device: target is no folder or other special file, this
// user may write it, and its folder takes a new file. Nothing is left
// behind. An error text, or empty.
std::string CheckWritable(const std::filesystem::path& target);

}  // namespace korvalen::cli
