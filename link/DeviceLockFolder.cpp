// The lock of state kept in a folder of its own: the same on every system,
// over each system's TakeFile.
#include <system_error>

#include "link/DeviceLock.h"

namespace korvalen {

namespace fs = std::filesystem;

DeviceLockAttempt DeviceLock::TakeFolder(const fs::path& folder) {
  std::error_code ec;
  fs::path full = fs::absolute(folder, ec).lexically_normal();
  if (!full.has_filename()) full = full.parent_path();  // "dev/" is "dev"
  // The folders this call makes, deepest first, so that a run refused
  // before it saved anything leaves no empty folder behind.
  std::vector<fs::path> made;
  for (fs::path level = full; level.has_relative_path(); level = level.parent_path()) {
    if (fs::exists(fs::symlink_status(level, ec))) break;
    made.push_back(level);
  }
  fs::create_directories(full, ec);
  DeviceLockAttempt attempt;
  if (!fs::is_directory(full, ec)) {
    attempt.message = "cannot make the folder for its lock: " +
                      (ec ? ec.message() : std::string("something else is in its place"));
    for (const fs::path& level : made) fs::remove(level, ec);
    return attempt;
  }
  attempt = TakeFile(full / kFolderLockName);
  if (!attempt.lock) {
    for (const fs::path& level : made) fs::remove(level, ec);
    return attempt;
  }
  attempt.lock->made_folders_ = std::move(made);
  return attempt;
}

void DeviceLock::RemoveMadeFolders() {
  // Only empty folders go: a run that saved anything keeps it.
  std::error_code ignored;
  for (const fs::path& level : made_folders_) {
    if (!fs::is_empty(level, ignored) || !fs::remove(level, ignored)) break;
  }
}

}  // namespace korvalen
