// Choosing a loader for a file name, and finding a model's update file.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "image/FirmwareImage.h"
#include "image/LoadResult.h"

namespace korvalen {

enum class LoaderKind { kNone, kBinary, kHex };

// Decided by the third character from the end of the path, the first letter
// of a three-letter extension: 'b'/'B' binary (.bin), 'h'/'H' Intel HEX (.hex,
// .h00). Anything else, or a path shorter than three characters, is kNone.
LoaderKind ChooseLoader(const std::filesystem::path& path);

// True when the name ends in .hex, .h00 or .bin (any case): the only names
// a file given by name may carry, so that an archive or a picture is never
// programmed as raw binary.
bool HasFirmwareExtension(const std::filesystem::path& path);

// Loads path with the loader its name selects. With kNone nothing is read,
// the image is left exactly as it was, and the result is a kUnknownType
// failure with checksum 0: the caller must not treat the old image as the
// chosen file.
LoadResult LoadImageFile(const std::filesystem::path& path, FirmwareImage& image);

// The model's update file in directory: key + ".hex" if it can be opened for
// reading, otherwise key + ".bin" if it can; nullopt when neither (or when
// the key is empty). A FIFO, socket or device under either name is never
// opened here: it counts as found, and loading it fails as not a regular file.
std::optional<std::filesystem::path> FindUpdateFile(const std::filesystem::path& directory,
                                                    std::string_view key);

// Finds the update file and loads it. When neither file exists the result is
// kNotFound, its path is the ".bin" candidate, and the image is untouched.
// A found file that does not load is reported as that file's failure; the
// ".bin" file is not tried in place of a broken ".hex" file.
LoadResult LoadUpdateFile(const std::filesystem::path& directory, std::string_view key,
                          FirmwareImage& image);

inline constexpr std::string_view kNoUpdateFileText = "No Updated File !";

// The main panel's file line for a LoadUpdateFile result:
// "Firmware Update file   ORBIT.hex    is Ready!", "No Updated File !", or
// "Invalid update file: " and the result's message.
std::string UpdateFileStatusText(const LoadResult& result);

}  // namespace korvalen
