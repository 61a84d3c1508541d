// The update file of each model a station serves: chosen by name or by
// KEY=PATH, loaded and checked once at start. The station programs the
// images it loaded; a file that changes on disk afterwards is noted, never
// reloaded, so every unit of a shift gets the image its records name.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "image/FirmwareImage.h"

namespace korvalen::station {

struct ModelFile {
  int row = -1;  // ModelTable row
  std::filesystem::path path;
  std::string name;    // the file's name, for records and messages
  std::string sha256;  // of the bytes loaded
  uint16_t checksum = 0;
  std::shared_ptr<const FirmwareImage> image;
  // What the file was on disk when it was loaded.
  std::filesystem::file_time_type written;
  uintmax_t size = 0;
  bool change_noted = false;
};

class ModelFiles {
 public:
  // Loads the files: each FILE is a model key's file by its name
  // (KORVALEN_TIDE.hex) or KEY=PATH; without any, every model's update file
  // found in directory. An error text (nothing loaded), or empty.
  std::string Load(const std::vector<std::string>& files, const std::filesystem::path& directory);

  // The file for a model row, or nullptr when the station has none.
  const ModelFile* For(int row) const;
  const std::vector<ModelFile>& all() const { return files_; }

  // Files that changed on disk since they were loaded, each named once: one
  // message per file.
  std::vector<std::string> NoteChanges();

 private:
  std::string LoadOne(int row, const std::filesystem::path& path);
  std::vector<ModelFile> files_;
};

// The ModelTable row whose file key is text (any case), or nullopt.
std::optional<int> ModelRowForKey(std::string_view text);

// The model keys, for messages: "KORVALEN_TIDE, KORVALEN_ORBIT, ...".
std::string ModelKeyList();

}  // namespace korvalen::station
