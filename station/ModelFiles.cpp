#include "station/ModelFiles.h"

#include <algorithm>
#include <cctype>
#include <fstream>
#include <iterator>

#include "image/Loaders.h"
#include "image/PathText.h"
#include "image/UpdateFile.h"
#include "link/ModelTable.h"
#include "station/Sha256.h"

namespace korvalen::station {
namespace {

bool SameTextIgnoringCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) ==
                  std::tolower(static_cast<unsigned char>(y));
         });
}

std::string StemText(const std::filesystem::path& path) {
  const std::u8string stem = path.stem().u8string();
  return std::string(reinterpret_cast<const char*>(stem.data()), stem.size());
}

// The bytes of a regular file, or nullopt.
std::optional<std::vector<uint8_t>> ReadBytes(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (in.bad()) return std::nullopt;
  return bytes;
}

}  // namespace

std::optional<int> ModelRowForKey(std::string_view text) {
  for (int row = 0; row < kModelCount; ++row) {
    if (SameTextIgnoringCase(text, ModelTable[row].file_key)) return row;
  }
  return std::nullopt;
}

std::string ModelKeyList() {
  std::string text;
  for (int row = 0; row < kModelCount; ++row) {
    if (row > 0) text += ", ";
    text += ModelTable[row].file_key;
  }
  return text;
}

std::string ModelFiles::LoadOne(int row, const std::filesystem::path& path) {
  for (const ModelFile& other : files_) {
    if (other.row == row) {
      return "two files for " + std::string(ModelTable[row].display_name) + ": " + other.name +
             " and " + DisplayName(path) + "; give one";
    }
  }
  if (!HasFirmwareExtension(path)) {
    return DisplayName(path) + " is not a firmware file: its name must end in .hex, .h00 or .bin";
  }
  ModelFile file;
  auto image = std::make_shared<FirmwareImage>();
  const LoadResult result = LoadImageFile(path, *image);
  if (!result.ok) return result.message.empty() ? "cannot load " + DisplayName(path) : result.message;
  // The digest is of the bytes as they are now; a file replaced between the
  // load and this read would be named wrongly, so both must agree in size.
  std::error_code ec;
  const auto written = std::filesystem::last_write_time(path, ec);
  const auto bytes = ReadBytes(path);
  if (!bytes || ec) return "cannot read " + DisplayName(path) + " for its SHA-256";
  file.row = row;
  file.path = result.path;
  file.name = DisplayName(result.path);
  file.sha256 = Sha256Hex(*bytes);
  file.checksum = result.checksum;
  file.image = std::move(image);
  file.written = written;
  file.size = bytes->size();
  files_.push_back(std::move(file));
  return {};
}

std::string ModelFiles::Load(const std::vector<std::string>& files,
                             const std::filesystem::path& directory) {
  files_.clear();
  std::string error;
  for (const std::string& text : files) {
    if (text.empty()) {
      error = "an empty FILE: name an update file, or KEY=PATH";
      break;
    }
    std::optional<int> row;
    std::filesystem::path path;
    const size_t equals = text.find('=');
    const std::string key = equals == std::string::npos ? std::string() : text.substr(0, equals);
    if (equals != std::string::npos && key.find_first_of("/\\.") == std::string::npos) {
      row = ModelRowForKey(key);
      if (!row) {
        error = text + ": " + key + " is not a model key (" + ModelKeyList() + ")";
        break;
      }
      if (equals + 1 == text.size()) {
        error = text + ": no file after " + key + "=";
        break;
      }
      path = PathFromUtf8(text.substr(equals + 1));
    } else {
      path = PathFromUtf8(text);
      row = ModelRowForKey(StemText(path));
      if (!row) {
        error = DisplayName(path) +
                " is named for no model: name it for a model key (KORVALEN_TIDE.hex) or assign "
                "it with KEY=PATH (keys: " + ModelKeyList() + ")";
        break;
      }
    }
    error = LoadOne(*row, path);
    if (!error.empty()) break;
  }
  if (error.empty() && files.empty()) {
    for (int row = 0; row < kModelCount; ++row) {
      const auto found = FindUpdateFile(directory, ModelTable[row].file_key);
      if (!found) continue;
      error = LoadOne(row, *found);
      if (!error.empty()) break;
    }
    if (error.empty() && files_.empty()) {
      error = "no update file in the current directory: name one per model (KEY.hex or KEY.bin, "
              "keys: " + ModelKeyList() + ") or give FILE";
    }
  }
  if (!error.empty()) files_.clear();
  return error;
}

const ModelFile* ModelFiles::For(int row) const {
  for (const ModelFile& file : files_) {
    if (file.row == row) return &file;
  }
  return nullptr;
}

std::vector<std::string> ModelFiles::NoteChanges() {
  std::vector<std::string> notes;
  for (ModelFile& file : files_) {
    if (file.change_noted) continue;
    std::error_code time_ec;
    std::error_code size_ec;
    const auto written = std::filesystem::last_write_time(file.path, time_ec);
    const auto size = std::filesystem::file_size(file.path, size_ec);
    if (!time_ec && !size_ec && written == file.written && size == file.size) continue;
    file.change_noted = true;
    notes.push_back(file.name + " changed on disk (or went away) since the station loaded it: the "
                    "station goes on with the image it loaded (SHA-256 " + file.sha256 +
                    "); restart the station to use the new file");
  }
  return notes;
}

}  // namespace korvalen::station
