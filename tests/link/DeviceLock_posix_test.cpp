// The POSIX device lock's places and what it meets there: one folder
// whatever the environment, folders and lock files left or planted by
// others.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <random>

#include "link/DeviceLock.h"
#include "link/DeviceLockFolder_posix.h"

namespace korvalen {
namespace {

namespace fs = std::filesystem;

constexpr uid_t kNobody = 65534;

std::string TestKey() {
  std::random_device random;
  return "test-" + std::to_string(random()) + "-" + std::to_string(random()) + ":usb:bus-1";
}

class Scratch {
 public:
  Scratch() : path_(fs::temp_directory_path() / TestKey().substr(0, 24)) {
    fs::create_directories(path_);
  }
  ~Scratch() { fs::remove_all(path_); }
  const fs::path& path() const { return path_; }

 private:
  fs::path path_;
};

TEST(DeviceLockPlace, OneFolderWhateverTheTemporaryFolderAndWorkingFolder) {
  Scratch scratch;
  const std::string key = TestKey();
  const fs::path before = fs::current_path();
  const char* tmpdir = std::getenv("TMPDIR");
  const std::string old_tmpdir = tmpdir != nullptr ? tmpdir : "";
  ::setenv("TMPDIR", scratch.path().c_str(), 1);
  fs::current_path(scratch.path());
  DeviceLockAttempt held = DeviceLock::TakeDevice(key);
  fs::current_path(before);
  if (tmpdir != nullptr) ::setenv("TMPDIR", old_tmpdir.c_str(), 1); else ::unsetenv("TMPDIR");
  ASSERT_TRUE(held.lock) << held.message;
  EXPECT_TRUE(fs::exists(fs::path("/run/lock/korvalen") / (DeviceLockName(key) + ".lock")));
  EXPECT_TRUE(fs::is_empty(scratch.path()));
  struct stat folder {};
  ASSERT_EQ(::lstat("/run/lock/korvalen", &folder), 0);
  EXPECT_TRUE(S_ISDIR(folder.st_mode));
  EXPECT_EQ(folder.st_mode & 07777, 01777u) << "sticky and open to every user";
}

struct FolderCase {
  const char* name;
  void (*setup)(const fs::path& folder);
  bool root_only;
  const char* message;  // empty: the lock is taken
};

const FolderCase kFolders[] = {
    {"missing: made sticky and open to all", [](const fs::path&) {}, false, ""},
    {"a link to another folder", [](const fs::path& folder) {
       fs::create_directory(folder.parent_path() / "elsewhere");
       fs::create_directory_symlink("elsewhere", folder);
     }, false, "is a link of"},
    {"a file", [](const fs::path& folder) { std::ofstream(folder) << "x"; }, false, "is a file of"},
    {"open to all but not sticky", [](const fs::path& folder) {
       fs::create_directory(folder);
       ::chmod(folder.c_str(), 0777);
     }, false, "it is not sticky"},
    {"another user's", [](const fs::path& folder) {
       fs::create_directory(folder);
       ::chmod(folder.c_str(), 01777);
       ASSERT_EQ(::chown(folder.c_str(), kNobody, kNobody), 0);
     }, true, "belongs to nobody, who could remove anyone's lock"},
};

TEST(DeviceLockPlace, FolderThatIsNoSafeLockFolderIsRefusedSayingWhatToDo) {
  for (const FolderCase& c : kFolders) {
    if (c.root_only && ::geteuid() != 0) continue;  // only root can hand a folder to another user
    SCOPED_TRACE(c.name);
    Scratch scratch;
    const fs::path folder = scratch.path() / "korvalen";
    c.setup(folder);
    const DeviceLockAttempt attempt = TakeDeviceLockIn(folder, TestKey());
    if (*c.message == '\0') {
      ASSERT_TRUE(attempt.lock) << attempt.message;
      struct stat info {};
      ASSERT_EQ(::lstat(folder.c_str(), &info), 0);
      EXPECT_EQ(info.st_mode & 07777, 01777u);
      continue;
    }
    EXPECT_FALSE(attempt.lock);
    EXPECT_TRUE(attempt.planted);
    EXPECT_NE(attempt.message.find(c.message), std::string::npos) << attempt.message;
    EXPECT_NE(attempt.message.find("sudo"), std::string::npos) << attempt.message;
  }
}

TEST(DeviceLockFile, LockLeftByAnEndedHolderOfAnotherUserIsTakenAndNamesTheNewHolder) {
  Scratch scratch;
  const fs::path path = scratch.path() / "lock";
  // Process ids go up to 4194304: this one names nobody alive.
  { std::ofstream(path) << "4194303\n"; }
  if (::geteuid() == 0) ASSERT_EQ(::chown(path.c_str(), kNobody, kNobody), 0);
  DeviceLockAttempt first = DeviceLock::TakeFile(path);
  ASSERT_TRUE(first.lock) << first.message;
  const DeviceLockAttempt second = DeviceLock::TakeFile(path);
  EXPECT_FALSE(second.lock);
  EXPECT_TRUE(second.in_use);
  EXPECT_EQ(second.message, "the device is in use by process " + std::to_string(::getpid()));
}

TEST(DeviceLockFile, SomethingPlantedAtTheLocksNameIsRefusedNamingItsOwner) {
  Scratch scratch;
  fs::create_directory(scratch.path() / "folder");
  ASSERT_EQ(::mkfifo((scratch.path() / "fifo").c_str(), 0666), 0);
  for (const char* name : {"folder", "fifo"}) {
    SCOPED_TRACE(name);
    // A FIFO must not be waited on.
    const DeviceLockAttempt attempt = DeviceLock::TakeFile(scratch.path() / name);
    EXPECT_FALSE(attempt.lock);
    EXPECT_TRUE(attempt.planted);
    EXPECT_FALSE(attempt.in_use);
    EXPECT_NE(attempt.message.find("made by "), std::string::npos) << attempt.message;
    EXPECT_NE(attempt.message.find("remove it"), std::string::npos) << attempt.message;
  }
  EXPECT_TRUE(fs::is_directory(scratch.path() / "folder"));
  EXPECT_TRUE(fs::is_fifo(scratch.path() / "fifo"));
}

}  // namespace
}  // namespace korvalen
