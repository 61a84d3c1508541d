#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <cstdlib>
#include <mutex>
#include <set>
#include <string>

#include "link/DeviceLock.h"

namespace korvalen {

struct DeviceLock::Held {
  HANDLE mutex = nullptr;
  HANDLE holder = nullptr;  // the block with the holder's process id
  std::wstring name;
  HANDLE file = INVALID_HANDLE_VALUE;  // a folder's lock file (TakeFile)
  std::filesystem::path path;
};

namespace {

// Global: a program of another session (another user logged in) sees it too.
constexpr wchar_t kMutexPrefix[] = L"Global\\";
constexpr wchar_t kHolderPrefix[] = L"Local\\";
constexpr wchar_t kHolderSuffix[] = L"-holder";

std::wstring Wide(const std::string& text) {
  return std::wstring(text.begin(), text.end());  // the name is plain ASCII
}

// A thread that owns a mutex takes it again at once, so a second holder in
// this process would not see the first: the names held here are kept too,
// and a second take of one of them is refused as from another process.
std::mutex& HeldHereMutex() {
  static std::mutex mutex;
  return mutex;
}
std::set<std::wstring>& HeldHere() {
  static std::set<std::wstring> names;
  return names;
}

// Whether a process with this id runs.
bool Alive(DWORD pid) {
  const HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, pid);
  if (process == nullptr) return GetLastError() == ERROR_ACCESS_DENIED;
  const bool running = WaitForSingleObject(process, 0) == WAIT_TIMEOUT;
  CloseHandle(process);
  return running;
}

std::string HolderText(const std::wstring& name) {
  const HANDLE block = OpenFileMappingW(FILE_MAP_READ, FALSE, (kHolderPrefix + name + kHolderSuffix).c_str());
  DWORD pid = 0;
  if (block != nullptr) {
    if (const void* view = MapViewOfFile(block, FILE_MAP_READ, 0, 0, sizeof pid)) {
      pid = *static_cast<const DWORD*>(view);
      UnmapViewOfFile(view);
    }
    CloseHandle(block);
  }
  // A block left by a holder that ended names it for good: not believed.
  if (pid == 0 || !Alive(pid)) return "the device is in use by another process";
  return "the device is in use by process " + std::to_string(pid);
}

// Every user's programs must be able to wait on and release the mutex, or
// one user's holder would look like a planted object to the next:
// SYNCHRONIZE and MUTEX_MODIFY_STATE for everyone, all rights for the
// creator and the administrators.
class EveryoneMayLock {
 public:
  EveryoneMayLock() {
    attributes_.nLength = sizeof attributes_;
    attributes_.bInheritHandle = FALSE;
    attributes_.lpSecurityDescriptor = nullptr;
    InitializeSecurityDescriptor(&descriptor_, SECURITY_DESCRIPTOR_REVISION);
    SID_IDENTIFIER_AUTHORITY world = SECURITY_WORLD_SID_AUTHORITY;
    if (!AllocateAndInitializeSid(&world, 1, SECURITY_WORLD_RID, 0, 0, 0, 0, 0, 0, 0, &everyone_))
      return;
    const DWORD size = sizeof(ACL) + sizeof(ACCESS_ALLOWED_ACE) + GetLengthSid(everyone_);
    acl_ = static_cast<ACL*>(LocalAlloc(LPTR, size));
    if (acl_ == nullptr || !InitializeAcl(acl_, size, ACL_REVISION) ||
        !AddAccessAllowedAce(acl_, ACL_REVISION, SYNCHRONIZE | MUTEX_MODIFY_STATE | READ_CONTROL,
                             everyone_) ||
        !SetSecurityDescriptorDacl(&descriptor_, TRUE, acl_, FALSE))
      return;
    attributes_.lpSecurityDescriptor = &descriptor_;
  }
  ~EveryoneMayLock() {
    if (acl_ != nullptr) LocalFree(acl_);
    if (everyone_ != nullptr) FreeSid(everyone_);
  }
  SECURITY_ATTRIBUTES* get() { return attributes_.lpSecurityDescriptor ? &attributes_ : nullptr; }

 private:
  SECURITY_ATTRIBUTES attributes_{};
  SECURITY_DESCRIPTOR descriptor_{};
  PSID everyone_ = nullptr;
  ACL* acl_ = nullptr;
};

std::string PlantedText(const std::wstring& name) {
  return "the device lock Global\\" + std::string(name.begin(), name.end()) +
         " was made by a program that shuts this user out of it (not a lock of this program, or "
         "one of an older version run by another user); nobody can take the lock while it is "
         "there: close the other user's programs, or sign them out, or restart Windows";
}

DeviceLockAttempt TakeNamed(const std::string& key, DeviceLock::Held& held, bool& taken) {
  DeviceLockAttempt attempt;
  const std::wstring name = Wide(DeviceLockName(key));
  {
    std::lock_guard<std::mutex> guard(HeldHereMutex());
    if (HeldHere().count(name) != 0) {
      attempt.in_use = true;
      attempt.message = "the device is in use by process " + std::to_string(GetCurrentProcessId());
      return attempt;
    }
  }
  EveryoneMayLock security;
  held.mutex = CreateMutexW(security.get(), FALSE, (kMutexPrefix + name).c_str());
  if (held.mutex == nullptr) {
    const DWORD error = GetLastError();
    // Our own programs leave everyone the rights to wait: an object that
    // does not (or one of another kind under the name) is no lock of ours.
    if (error == ERROR_ACCESS_DENIED || error == ERROR_INVALID_HANDLE) {
      attempt.planted = true;
      attempt.message = PlantedText(name);
    } else {
      attempt.message = "cannot take the device lock: system error " + std::to_string(error);
    }
    return attempt;
  }
  const DWORD waited = WaitForSingleObject(held.mutex, 0);
  // An abandoned mutex was held by a program that ended: it is ours now.
  if (waited != WAIT_OBJECT_0 && waited != WAIT_ABANDONED) {
    attempt.in_use = true;
    attempt.message = HolderText(name);
    CloseHandle(held.mutex);
    held.mutex = nullptr;
    return attempt;
  }
  held.holder = CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, sizeof(DWORD),
                                   (kHolderPrefix + name + kHolderSuffix).c_str());
  if (held.holder != nullptr) {
    if (void* view = MapViewOfFile(held.holder, FILE_MAP_WRITE, 0, 0, sizeof(DWORD))) {
      *static_cast<DWORD*>(view) = GetCurrentProcessId();
      UnmapViewOfFile(view);
    }
  }
  held.name = name;
  {
    std::lock_guard<std::mutex> guard(HeldHereMutex());
    HeldHere().insert(name);
  }
  taken = true;
  return attempt;
}

}  // namespace

DeviceLock::DeviceLock(std::unique_ptr<Held> held) : held_(std::move(held)) {}

DeviceLock::~DeviceLock() {
  if (held_->file != INVALID_HANDLE_VALUE) {
    // Closing lets go of the byte lock; the file goes where nobody else has
    // it open (a waiter that opened it meanwhile keeps it).
    FILE_DISPOSITION_INFO gone{TRUE};
    SetFileInformationByHandle(held_->file, FileDispositionInfo, &gone, sizeof gone);
    CloseHandle(held_->file);
    RemoveMadeFolders();
    return;
  }
  {
    std::lock_guard<std::mutex> guard(HeldHereMutex());
    HeldHere().erase(held_->name);
  }
  if (held_->holder != nullptr) CloseHandle(held_->holder);
  ReleaseMutex(held_->mutex);
  CloseHandle(held_->mutex);
}

DeviceLockAttempt DeviceLock::TakeDevice(std::string_view key) {
  auto held = std::make_unique<Held>();
  bool taken = false;
  DeviceLockAttempt attempt = TakeNamed(std::string(key), *held, taken);
  if (taken) attempt.lock.reset(new DeviceLock(std::move(held)));
  return attempt;
}

// A lock file, as on the other systems: a byte lock (LockFileEx) on a file
// opened without following a link under its name. The system lets go of
// it when the program ends, however it ends.
DeviceLockAttempt DeviceLock::TakeFile(const std::filesystem::path& path) {
  DeviceLockAttempt attempt;
  const DWORD attributes = GetFileAttributesW(path.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES &&
      (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT))) {
    attempt.planted = true;
    const std::u8string text = path.u8string();
    attempt.message = "the lock " + std::string(text.begin(), text.end()) + " is " +
                      ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) ? "a link" : "a folder") +
                      ", not a lock file of this program; nobody can take the lock while it is "
                      "there: remove it";
    return attempt;
  }
  const HANDLE file = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE | DELETE,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT,
                                  nullptr);
  const std::u8string text = path.u8string();
  const std::string shown(text.begin(), text.end());
  if (file == INVALID_HANDLE_VALUE) {
    attempt.message = "cannot take the lock " + shown + ": system error " +
                      std::to_string(GetLastError());
    return attempt;
  }
  OVERLAPPED whole{};
  if (!LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &whole)) {
    const DWORD error = GetLastError();
    DWORD pid = 0;
    DWORD got = 0;
    // The holder's id lies past the locked byte, where a reader may look.
    OVERLAPPED at{};
    at.Offset = 1;
    char digits[16] = {};
    if (ReadFile(file, digits, sizeof digits - 1, &got, &at)) pid = std::strtoul(digits, nullptr, 10);
    CloseHandle(file);
    if (error == ERROR_LOCK_VIOLATION || error == ERROR_IO_PENDING) {
      attempt.in_use = true;
      attempt.message = pid != 0 && Alive(pid)
                            ? "the device is in use by process " + std::to_string(pid)
                            : "the device is in use by another process";
    } else {
      attempt.message = "cannot take the lock " + shown + ": system error " + std::to_string(error);
    }
    return attempt;
  }
  const std::string pid = " " + std::to_string(GetCurrentProcessId()) + "\r\n";
  DWORD wrote = 0;
  OVERLAPPED start{};
  SetFilePointer(file, 0, nullptr, FILE_BEGIN);
  SetEndOfFile(file);
  WriteFile(file, pid.data(), static_cast<DWORD>(pid.size()), &wrote, &start);
  auto held = std::make_unique<Held>();
  held->file = file;
  held->path = path;
  attempt.lock.reset(new DeviceLock(std::move(held)));
  return attempt;
}

}  // namespace korvalen
