#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <algorithm>
#include <cwctype>
#include <system_error>

#include "image/OutputFile.h"
#include "image/OutputFileParts.h"
#include "image/PathText.h"

namespace korvalen {

namespace fs = std::filesystem;

struct OutputFile::System {
  HANDLE handle = INVALID_HANDLE_VALUE;
  bool direct = false;
  fs::path fresh;         // the fresh file until it is put in place
  bool replaces = false;  // a regular file is there: ReplaceFileW keeps its security and attributes
  bool committed = false;
};

namespace {

std::string ReasonText(DWORD error) {
  switch (error) {
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
      return "the disk is full";
    case ERROR_WRITE_PROTECT:
      return "the disk is read-only";
    case ERROR_ACCESS_DENIED:
      return "permission denied";
    case ERROR_PATH_NOT_FOUND:
    case ERROR_FILE_NOT_FOUND:
      return "the folder does not exist";
    case ERROR_SHARING_VIOLATION:
      return "another program has it open";
    case ERROR_BROKEN_PIPE:
    case ERROR_NO_DATA:
      return "the reader went away";
    default:
      return std::system_category().message(static_cast<int>(error));
  }
}

std::wstring Upper(std::wstring text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](wchar_t c) { return static_cast<wchar_t>(std::towupper(c)); });
  return text;
}

// The names Windows keeps for its devices: CON, NUL, CONOUT$, PRN, AUX,
// COM1-9 and LPT1-9 (in any folder and with any extension), and every
// \\.\ name (pipes: \\.\pipe\NAME). Those are written as they are.
bool IsDeviceName(const fs::path& target) {
  const std::wstring whole = target.native();
  if (whole.rfind(L"\\\\.\\", 0) == 0 || whole.rfind(L"//./", 0) == 0) return true;
  std::wstring name = Upper(target.filename().native());
  if (const size_t dot = name.find(L'.'); dot != std::wstring::npos) name.resize(dot);
  while (!name.empty() && (name.back() == L' ' || name.back() == L':')) name.pop_back();
  if (name == L"CON" || name == L"NUL" || name == L"PRN" || name == L"AUX" ||
      Upper(target.filename().native()) == L"CONOUT$")
    return true;
  return name.size() == 4 && (name.rfind(L"COM", 0) == 0 || name.rfind(L"LPT", 0) == 0) &&
         name[3] >= L'1' && name[3] <= L'9';
}

// What writing target means, found before anything is written.
struct Plan {
  enum class Kind { kNew, kReplace, kDevice } kind = Kind::kNew;
  std::string refused;
  bool replaces_file = false;
};

Plan Refused(std::string why) {
  Plan plan;
  plan.refused = std::move(why);
  return plan;
}

Plan PlanFor(const fs::path& target) {
  if (target.empty()) return Refused("no file named");
  Plan plan;
  if (IsDeviceName(target)) {
    plan.kind = Plan::Kind::kDevice;
    return plan;
  }
  const DWORD attributes = GetFileAttributesW(target.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return plan;  // a new file, or a folder missing
  if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) {
    // A link is replaced itself; one that leads to a folder is refused.
    if (attributes & FILE_ATTRIBUTE_DIRECTORY) return Refused("it is a link to a folder");
    plan.kind = Plan::Kind::kReplace;
    return plan;
  }
  if (attributes & FILE_ATTRIBUTE_DIRECTORY) return Refused("it is a folder");
  if (attributes & FILE_ATTRIBUTE_READONLY) return Refused("permission denied: the file is read-only");
  // Whether this user may write it at all (opening changes nothing).
  const HANDLE probe = CreateFileW(target.c_str(), GENERIC_WRITE,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                   OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (probe == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    if (error == ERROR_ACCESS_DENIED) return Refused("permission denied: the file is not yours to write");
    if (error == ERROR_SHARING_VIOLATION) return Refused(ReasonText(error));
  } else {
    const DWORD type = GetFileType(probe);
    CloseHandle(probe);
    if (type == FILE_TYPE_CHAR || type == FILE_TYPE_PIPE) {
      plan.kind = Plan::Kind::kDevice;
      return plan;
    }
  }
  plan.kind = Plan::Kind::kReplace;
  plan.replaces_file = true;
  return plan;
}

// Creates a fresh file beside target; INVALID_HANDLE_VALUE with *error set
// when none could be made.
HANDLE CreateFresh(const fs::path& target, fs::path& name, DWORD* error) {
  auto random = output_parts::SeededRandom();
  for (int attempt = 0; attempt < output_parts::kNameAttempts; ++attempt) {
    name = output_parts::FreshName(target, random);
    // CREATE_NEW fails on anything already there, a link included. Shared
    // for reading and deleting only: it is renamed while still open.
    const HANDLE file = CreateFileW(name.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE,
                                    nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE) return file;
    *error = GetLastError();
    if (*error != ERROR_FILE_EXISTS && *error != ERROR_ALREADY_EXISTS) break;
  }
  return INVALID_HANDLE_VALUE;
}

// Opens a device or pipe as it is; a pipe whose reader is busy is waited
// for, after saying so.
HANDLE OpenDevice(const fs::path& target, const OutputFile::WaitNotice& waiting, DWORD* error) {
  for (bool told = false;;) {
    const HANDLE handle = CreateFileW(target.c_str(), GENERIC_WRITE,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                      FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle != INVALID_HANDLE_VALUE) {
      const DWORD type = GetFileType(handle);
      if (type == FILE_TYPE_CHAR || type == FILE_TYPE_PIPE) return handle;
      CloseHandle(handle);
      *error = ERROR_INVALID_FUNCTION;
      return INVALID_HANDLE_VALUE;
    }
    *error = GetLastError();
    if (*error != ERROR_PIPE_BUSY) return INVALID_HANDLE_VALUE;
    if (!told && waiting) waiting("waiting for the program reading the pipe " + PathText(target));
    told = true;
    WaitNamedPipeW(target.c_str(), NMPWAIT_WAIT_FOREVER);
  }
}

}  // namespace

OutputFile::OutputFile(fs::path target, std::unique_ptr<System> system)
    : target_(std::move(target)), system_(std::move(system)) {}

OutputFile::~OutputFile() {
  if (system_->handle != INVALID_HANDLE_VALUE) CloseHandle(system_->handle);
  if (!system_->fresh.empty() && !system_->committed) DeleteFileW(system_->fresh.c_str());
}

bool OutputFile::direct() const { return system_->direct; }

std::unique_ptr<OutputFile> OutputFile::Open(const fs::path& target, std::string* why,
                                             const WaitNotice& waiting) {
  const Plan plan = PlanFor(target);
  if (!plan.refused.empty()) {
    *why = plan.refused;
    return nullptr;
  }
  auto system = std::make_unique<System>();
  DWORD error = 0;
  if (plan.kind == Plan::Kind::kDevice) {
    system->direct = true;
    system->handle = OpenDevice(target, waiting, &error);
  } else {
    system->replaces = plan.replaces_file;
    system->handle = CreateFresh(target, system->fresh, &error);
    if (system->handle == INVALID_HANDLE_VALUE) system->fresh.clear();
  }
  if (system->handle == INVALID_HANDLE_VALUE) {
    *why = error == ERROR_INVALID_FUNCTION ? "it changed while it was opened" : ReasonText(error);
    return nullptr;
  }
  return std::unique_ptr<OutputFile>(new OutputFile(target, std::move(system)));
}

bool OutputFile::Write(std::string_view bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    const DWORD want = static_cast<DWORD>(std::min<size_t>(bytes.size() - done, 1u << 30));
    DWORD wrote = 0;
    if (!WriteFile(system_->handle, bytes.data() + done, want, &wrote, nullptr) || wrote == 0) {
      const DWORD error = GetLastError();
      reason_ = ReasonText(error != 0 ? error : ERROR_DISK_FULL);
      return false;
    }
    done += wrote;
  }
  return true;
}

std::string OutputFile::Commit() {
  if (system_->direct || system_->committed) return {};
  bool ok = FlushFileBuffers(system_->handle) != 0;
  DWORD error = ok ? 0 : GetLastError();
  if (ok) {
    // The file replaced keeps its owner, security and attributes; a new
    // file or a link takes the name by a plain move (a link is replaced,
    // never followed). The handle stays open for later writes: the move
    // happens under it.
    ok = system_->replaces && ReplaceFileW(target_.c_str(), system_->fresh.c_str(), nullptr,
                                           REPLACEFILE_IGNORE_MERGE_ERRORS, nullptr, nullptr) != 0;
    // Where the system will not swap a file still open, a plain move.
    if (!ok) {
      ok = MoveFileExW(system_->fresh.c_str(), target_.c_str(),
                       MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
    }
    if (!ok) error = GetLastError();
  }
  if (!ok) {
    CloseHandle(system_->handle);
    system_->handle = INVALID_HANDLE_VALUE;
    DeleteFileW(system_->fresh.c_str());
    system_->fresh.clear();
    return OutputFailed(target_, ReasonText(error));
  }
  system_->committed = true;
  return {};
}

std::string CheckOutput(const fs::path& target) {
  const Plan plan = PlanFor(target);
  if (!plan.refused.empty()) return OutputFailed(target, plan.refused);
  // A pipe is not opened here: that would take its one reader.
  if (plan.kind == Plan::Kind::kDevice) return {};
  fs::path name;
  DWORD error = 0;
  const HANDLE file = CreateFresh(target, name, &error);
  if (file == INVALID_HANDLE_VALUE) return OutputFailed(target, ReasonText(error));
  CloseHandle(file);
  DeleteFileW(name.c_str());
  return {};
}

bool IsDirectOutput(const fs::path& target) {
  const Plan plan = PlanFor(target);
  return plan.refused.empty() && plan.kind == Plan::Kind::kDevice;
}

}  // namespace korvalen
