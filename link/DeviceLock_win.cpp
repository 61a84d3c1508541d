#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <mutex>
#include <set>
#include <string>

#include "link/DeviceLock.h"

namespace korvalen {

struct DeviceLock::Held {
  HANDLE mutex = nullptr;
  HANDLE holder = nullptr;  // the block with the holder's process id
  std::wstring name;
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
  if (pid == 0) return "the device is in use by another process";
  return "the device is in use by process " + std::to_string(pid);
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
  held.mutex = CreateMutexW(nullptr, FALSE, (kMutexPrefix + name).c_str());
  if (held.mutex == nullptr) {
    // Made by a program of another user whose rights keep us out: in use.
    attempt.in_use = GetLastError() == ERROR_ACCESS_DENIED;
    attempt.message = attempt.in_use ? HolderText(name)
                                     : "cannot take the device lock: system error " +
                                           std::to_string(GetLastError());
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

DeviceLockAttempt DeviceLock::TakeFile(const std::filesystem::path& path) {
  std::error_code ignored;
  const std::u8string text = std::filesystem::absolute(path, ignored).u8string();
  return TakeDevice("file:" + std::string(text.begin(), text.end()));
}

}  // namespace korvalen
