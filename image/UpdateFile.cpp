#include "image/UpdateFile.h"

#include <array>
#include <cctype>
#include <fstream>
#include <system_error>

#include "image/FileRead.h"
#include "image/Loaders.h"
#include "image/Utf8Text.h"

namespace korvalen {

namespace {

// The extension's first letter stands three characters from the end.
constexpr size_t kExtensionLetterFromEnd = 3;
constexpr std::array<std::string_view, 2> kUpdateFileExtensions = {".hex", ".bin"};

std::string Utf8(const std::filesystem::path& path) {
  const std::u8string text = path.u8string();
  return EscapeInvalidUtf8(std::string(text.begin(), text.end()));
}

// A plain file that opens for reading, or something else under the name
// that is no directory: that one counts as found, so its loader reports it as
// invalid instead of blocking the window in an open.
bool Candidate(const std::filesystem::path& path) {
  switch (CheckRegularFile(path)) {
    case LoadError::kNone:
      break;
    case LoadError::kNotRegular:
      return true;
    default:
      return false;
  }
  std::ifstream in(path, std::ios::binary);
  return static_cast<bool>(in);
}

}  // namespace

LoaderKind ChooseLoader(const std::filesystem::path& path) {
  const auto& text = path.native();
  if (text.size() < kExtensionLetterFromEnd) return LoaderKind::kNone;
  const auto letter = text[text.size() - kExtensionLetterFromEnd];
  if (letter == 'b' || letter == 'B') return LoaderKind::kBinary;
  if (letter == 'h' || letter == 'H') return LoaderKind::kHex;
  return LoaderKind::kNone;
}

bool HasFirmwareExtension(const std::filesystem::path& path) {
  std::string extension = Utf8(path.extension());
  for (char& c : extension) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return extension == ".hex" || extension == ".h00" || extension == ".bin";
}

LoadResult LoadImageFile(const std::filesystem::path& path, FirmwareImage& image) {
  switch (ChooseLoader(path)) {
    case LoaderKind::kBinary:
      return LoadBinaryFile(path, image);
    case LoaderKind::kHex:
      return LoadHexFile(path, image);
    case LoaderKind::kNone:
      break;
  }
  LoadResult result;
  result.error = LoadError::kUnknownType;
  result.message = DisplayName(path) + " is not a firmware file (.hex, .h00 or .bin)";
  result.path = path;
  result.length = image.length;
  return result;
}

std::optional<std::filesystem::path> FindUpdateFile(const std::filesystem::path& directory,
                                                    std::string_view key) {
  if (key.empty()) return std::nullopt;
  for (const std::string_view extension : kUpdateFileExtensions) {
    std::filesystem::path candidate = directory / (std::string(key) + std::string(extension));
    if (Candidate(candidate)) return candidate;
  }
  return std::nullopt;
}

LoadResult LoadUpdateFile(const std::filesystem::path& directory, std::string_view key,
                          FirmwareImage& image) {
  if (const auto found = FindUpdateFile(directory, key)) return LoadImageFile(*found, image);
  const std::string stem(key);
  LoadResult result;
  result.error = LoadError::kNotFound;
  result.path = directory / (stem + std::string(kUpdateFileExtensions.back()));
  result.length = image.length;
  result.message =
      "Neither " + stem + ".hex nor " + stem + ".bin can be opened in " + Utf8(directory);
  return result;
}

std::string UpdateFileStatusText(const LoadResult& result) {
  if (result.ok) return "Firmware Update file   " + DisplayName(result.path) + "    is Ready!";
  if (result.error == LoadError::kNotFound) return std::string(kNoUpdateFileText);
  return "Invalid update file: " + result.message;
}

}  // namespace korvalen
