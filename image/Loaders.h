// The two firmware file loaders. Each one erases the image (all 0xFF) first,
// then fills it from the file. On failure the image is left all 0xFF with
// length 0, never half loaded, and the result says why.
#pragma once

#include <cstddef>
#include <filesystem>
#include <string_view>

#include "image/FirmwareImage.h"
#include "image/LoadResult.h"

namespace korvalen {

// A HEX text larger than this cannot be a 256 KiB image written sensibly;
// refusing it keeps a wrongly chosen huge file from being read into memory.
inline constexpr size_t kMaxHexTextSize = 64 * 1024 * 1024;

// Raw image: the file's bytes from offset 0; length = file size. Refuses an
// empty file and one larger than 0x40000 bytes (never cut).
LoadResult LoadBinaryFile(const std::filesystem::path& path, FirmwareImage& image);

// Intel HEX with record types 00 data, 01 end of file, 02 extended segment
// address and 04 extended linear address; 03 and 05 (start addresses) are
// checked and ignored. Records may come in any order; records that overlap
// must agree on every byte they share (a conflict is refused, naming both
// lines and the address). Gaps stay 0xFF and count as image: length = the highest end of
// any data record. Every record is checked (digits, length, checksum,
// type); loading ends at the end-of-file record, whose absence is an error
// (a cut-off file would otherwise load as a short image). Blank lines are
// skipped; any other line must be a record. Data beyond 0x40000 is refused,
// as is a file with no data.
LoadResult LoadHexFile(const std::filesystem::path& path, FirmwareImage& image);

// LoadHexFile on text already in memory; file_name only labels messages.
LoadResult ParseHexText(std::string_view text, const std::filesystem::path& file_name,
                        FirmwareImage& image);

}  // namespace korvalen
