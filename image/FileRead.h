// Shared by the loaders: bounded whole-file reads and the failed-load result.
// Internal to the image library.
#pragma once

#include <cstddef>
#include <filesystem>
#include <string>

#include "image/FirmwareImage.h"
#include "image/LoadResult.h"

namespace korvalen {

// kNone for a plain file; kCannotOpen when path is missing or a directory;
// kNotRegular for a FIFO, socket or device. Opens nothing.
LoadError CheckRegularFile(const std::filesystem::path& path);

// Reads the whole file into data, but never more than limit + 1 bytes: one
// byte past the limit is enough to know the file is too large. Only plain
// files are read, and the open never blocks. Returns kNone, kCannotOpen,
// kNotRegular, kReadFailed or kTooLarge; data holds what was read.
LoadError ReadFileBounded(const std::filesystem::path& path, size_t limit, std::string& data);

// The message for a ReadFileBounded failure, for a file of the given kind.
std::string ReadErrorMessage(const std::filesystem::path& path, LoadError error, size_t limit);

// Erases the image (all 0xFF, length 0) so a refused file leaves nothing that
// could be programmed, and builds the failed result.
LoadResult FailLoad(FirmwareImage& image, const std::filesystem::path& path, LoadError error,
                    std::string message);

// The result of a load that filled the image: its length and checksum.
LoadResult LoadSucceeded(const FirmwareImage& image, const std::filesystem::path& path);

}  // namespace korvalen
