#include <fcntl.h>
#include <limits.h>
#include <pthread.h>
#include <pwd.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <optional>
#include <system_error>

#include "image/OutputFile.h"
#include "image/OutputFileParts.h"
#include "image/PathText.h"

namespace korvalen {

namespace fs = std::filesystem;
using output_parts::FolderOf;

struct OutputFile::System {
  int fd = -1;
  bool direct = false;
  fs::path fresh;     // the fresh file until it is put in place
  bool replaces = false;  // a regular file is there, whose owner and bits the new one keeps
  struct stat old {};
  bool committed = false;
};

namespace {

// Links followed at most while looking for one of our descriptors, as the
// system itself allows.
constexpr int kMaxLinks = 40;

std::string ReasonText(int error) {
  switch (error) {
    case ENOSPC:
    case EDQUOT:
      return "the disk is full";
    case EROFS:
      return "the file system is read-only";
    case EACCES:
    case EPERM:
      return "permission denied";
    case ENOENT:
    case ENOTDIR:
      return "the folder does not exist";
    case EPIPE:
      return "the reader went away";
    default:
      return std::system_category().message(error);
  }
}

std::string UserName(uid_t uid) {
  if (const passwd* entry = ::getpwuid(uid); entry != nullptr && entry->pw_name != nullptr)
    return entry->pw_name;
  return "user " + std::to_string(uid);
}

// Whether folder is this process's folder of open descriptors
// (/proc/self/fd, which /dev/fd leads to).
bool IsOwnDescriptorFolder(const fs::path& folder) {
  char resolved[PATH_MAX];
  if (::realpath(folder.c_str(), resolved) == nullptr) return false;
  const std::string text = resolved;
  return text == "/proc/" + std::to_string(::getpid()) + "/fd";
}

// The descriptor target names when it is one of ours (/dev/stdout,
// /dev/fd/3, a link to /proc/self/fd/1): those are written as they are
// open, whatever they lead to. The links are walked one at a time; none
// is replaced on the way.
std::optional<int> OwnDescriptor(const fs::path& target) {
  std::error_code ec;
  fs::path path = fs::absolute(target, ec).lexically_normal();
  if (ec) return std::nullopt;
  for (int hop = 0; hop < kMaxLinks; ++hop) {
    if (path.has_parent_path() && IsOwnDescriptorFolder(path.parent_path())) {
      const std::string name = path.filename().string();
      if (name.empty() || name.find_first_not_of("0123456789") != std::string::npos ||
          name.size() > 9)
        return std::nullopt;
      return std::stoi(name);
    }
    struct stat info {};
    if (::lstat(path.c_str(), &info) != 0 || !S_ISLNK(info.st_mode)) return std::nullopt;
    const fs::path next = fs::read_symlink(path, ec);
    if (ec) return std::nullopt;
    path = (next.is_absolute() ? next : path.parent_path() / next).lexically_normal();
  }
  return std::nullopt;
}

// What writing target means, found before anything is written.
struct Plan {
  enum class Kind { kNew, kReplace, kDevice, kDescriptor } kind = Kind::kNew;
  std::string refused;  // why it may not be written: the rest is then unset
  int descriptor = -1;
  bool replaces_file = false;
  struct stat old {};
};

Plan Refused(std::string why) {
  Plan plan;
  plan.refused = std::move(why);
  return plan;
}

// Whether this user may put a new file in place of what is at target in
// its folder: a folder with the sticky bit (/tmp) lets only the owner of
// an entry, or of the folder, replace it.
std::string CheckReplaceable(const fs::path& target, const struct stat& entry) {
  struct stat folder {};
  if (::stat(FolderOf(target).c_str(), &folder) != 0) return {};
  const uid_t me = ::geteuid();
  if ((folder.st_mode & S_ISVTX) && me != 0 && entry.st_uid != me && folder.st_uid != me)
    return "permission denied: it belongs to " + UserName(entry.st_uid);
  return {};
}

Plan PlanFor(const fs::path& target) {
  if (target.empty()) return Refused("no file named");
  if (const auto descriptor = OwnDescriptor(target)) {
    struct stat info {};
    if (::fstat(*descriptor, &info) != 0)
      return Refused("descriptor " + std::to_string(*descriptor) + " is not open");
    if (S_ISDIR(info.st_mode)) return Refused("it is a folder");
    Plan plan;
    plan.kind = Plan::Kind::kDescriptor;
    plan.descriptor = *descriptor;
    return plan;
  }
  struct stat named {};
  if (::lstat(target.c_str(), &named) != 0) return Plan{};  // a new file, or a folder missing
  Plan plan;
  if (S_ISLNK(named.st_mode)) {
    struct stat led {};
    if (::stat(target.c_str(), &led) == 0) {
      if (S_ISCHR(led.st_mode) || S_ISFIFO(led.st_mode)) {
        plan.kind = Plan::Kind::kDevice;
        return plan;
      }
      if (S_ISDIR(led.st_mode)) return Refused("it is a link to a folder");
      if (!S_ISREG(led.st_mode)) return Refused("it is a link to something that is not a regular file");
    }
    // A link to a file, or to nothing: the link goes, its target stays.
    if (std::string refused = CheckReplaceable(target, named); !refused.empty())
      return Refused(refused);
    plan.kind = Plan::Kind::kReplace;
    return plan;
  }
  if (S_ISDIR(named.st_mode)) return Refused("it is a folder");
  if (S_ISCHR(named.st_mode) || S_ISFIFO(named.st_mode)) {
    plan.kind = Plan::Kind::kDevice;
    return plan;
  }
  if (!S_ISREG(named.st_mode)) return Refused("it is not a regular file");
  // Replacing a file the user may not write would take it from its owner.
  if (::faccessat(AT_FDCWD, target.c_str(), W_OK, AT_EACCESS) != 0) {
    if (errno == EROFS) return Refused(ReasonText(EROFS));
    return Refused("permission denied: the file is not writable for " + UserName(::geteuid()) +
                   " (it belongs to " + UserName(named.st_uid) + ")");
  }
  if (std::string refused = CheckReplaceable(target, named); !refused.empty())
    return Refused(refused);
  plan.kind = Plan::Kind::kReplace;
  plan.replaces_file = true;
  plan.old = named;
  return plan;
}

// Creates a fresh file beside target; -1 with *error set when none could
// be made.
int CreateFresh(const fs::path& target, fs::path& name, int* error) {
  auto random = output_parts::SeededRandom();
  for (int attempt = 0; attempt < output_parts::kNameAttempts; ++attempt) {
    name = output_parts::FreshName(target, random);
    // O_EXCL never opens what is there, a link included; the mode is what
    // a new file gets under the user's umask.
    const int fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd >= 0) return fd;
    *error = errno;
    if (errno != EEXIST) break;
  }
  return -1;
}

// Opens a device or FIFO as it is; a FIFO without a reader is waited for,
// after saying so.
int OpenDevice(const fs::path& target, const OutputFile::WaitNotice& waiting, int* error) {
  int fd = ::open(target.c_str(), O_WRONLY | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0 && errno == ENXIO) {
    if (waiting) waiting("waiting for a program to read the FIFO " + PathText(target));
    fd = ::open(target.c_str(), O_WRONLY | O_NOCTTY | O_CLOEXEC);
  }
  if (fd < 0) {
    *error = errno;
    return -1;
  }
  struct stat info {};
  // Swapped for a file since it was looked at: that would be written in place.
  if (::fstat(fd, &info) != 0 || !(S_ISCHR(info.st_mode) || S_ISFIFO(info.st_mode))) {
    ::close(fd);
    *error = EAGAIN;
    return -1;
  }
  ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  return fd;
}

// A reader that went away must not end the program with SIGPIPE: the
// signal is held back for this thread while it writes, and one it raised
// is taken off again.
bool WriteAll(int fd, std::string_view bytes, int* error) {
  sigset_t pipe_signal;
  sigset_t old_mask;
  sigemptyset(&pipe_signal);
  sigaddset(&pipe_signal, SIGPIPE);
  sigset_t pending;
  sigpending(&pending);
  const bool was_pending = sigismember(&pending, SIGPIPE) == 1;
  pthread_sigmask(SIG_BLOCK, &pipe_signal, &old_mask);
  bool ok = true;
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t wrote = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (wrote < 0 && errno == EINTR) continue;
    if (wrote <= 0) {
      *error = wrote == 0 ? ENOSPC : errno;
      ok = false;
      break;
    }
    done += static_cast<size_t>(wrote);
  }
  if (!ok && *error == EPIPE && !was_pending) {
    const timespec none{0, 0};
    while (sigtimedwait(&pipe_signal, nullptr, &none) == -1 && errno == EINTR) {
    }
  }
  pthread_sigmask(SIG_SETMASK, &old_mask, nullptr);
  return ok;
}

}  // namespace

OutputFile::OutputFile(fs::path target, std::unique_ptr<System> system)
    : target_(std::move(target)), system_(std::move(system)) {}

OutputFile::~OutputFile() {
  if (system_->fd >= 0) ::close(system_->fd);
  if (!system_->fresh.empty() && !system_->committed) ::unlink(system_->fresh.c_str());
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
  int error = 0;
  switch (plan.kind) {
    case Plan::Kind::kDescriptor:
      system->direct = true;
      system->fd = ::fcntl(plan.descriptor, F_DUPFD_CLOEXEC, 3);
      if (system->fd < 0) error = errno;
      break;
    case Plan::Kind::kDevice:
      system->direct = true;
      system->fd = OpenDevice(target, waiting, &error);
      break;
    case Plan::Kind::kNew:
    case Plan::Kind::kReplace:
      system->replaces = plan.replaces_file;
      system->old = plan.old;
      system->fd = CreateFresh(target, system->fresh, &error);
      if (system->fd < 0) system->fresh.clear();
      break;
  }
  if (system->fd < 0) {
    *why = error == EAGAIN ? "it changed while it was opened" : ReasonText(error);
    return nullptr;
  }
  return std::unique_ptr<OutputFile>(new OutputFile(target, std::move(system)));
}

bool OutputFile::Write(std::string_view bytes) {
  int error = 0;
  if (WriteAll(system_->fd, bytes, &error)) return true;
  reason_ = ReasonText(error);
  return false;
}

std::string OutputFile::Commit() {
  if (system_->direct || system_->committed) return {};
  const int fd = system_->fd;
  bool ok = true;
  if (system_->replaces) {
    // The owner first: a change of owner clears the set-id bits.
    if (::fchown(fd, system_->old.st_uid, system_->old.st_gid) != 0) {
      [[maybe_unused]] const int group_only = ::fchown(fd, static_cast<uid_t>(-1), system_->old.st_gid);
    }
    // The replaced file's readers keep their access.
    ok = ::fchmod(fd, system_->old.st_mode & 07777) == 0;
  }
  // Delayed allocation reports a full disk only here.
  if (ok) ok = ::fsync(fd) == 0;
  if (ok && ::rename(system_->fresh.c_str(), target_.c_str()) != 0) ok = false;
  if (!ok) {
    const int error = errno;
    ::unlink(system_->fresh.c_str());
    system_->fresh.clear();
    return OutputFailed(target_, ReasonText(error));
  }
  system_->committed = true;
  // The rename itself reaches the disk with the folder.
  const int folder = ::open(FolderOf(target_).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (folder >= 0) {
    ::fsync(folder);
    ::close(folder);
  }
  return {};
}

std::string CheckOutput(const fs::path& target) {
  const Plan plan = PlanFor(target);
  if (!plan.refused.empty()) return OutputFailed(target, plan.refused);
  if (plan.kind == Plan::Kind::kDescriptor) return {};
  if (plan.kind == Plan::Kind::kDevice) {
    // A FIFO is not opened here: that would wait for its reader.
    struct stat info {};
    if (::stat(target.c_str(), &info) == 0 && S_ISCHR(info.st_mode) &&
        ::faccessat(AT_FDCWD, target.c_str(), W_OK, AT_EACCESS) != 0)
      return OutputFailed(target, ReasonText(errno));
    return {};
  }
  fs::path name;
  int error = 0;
  const int fd = CreateFresh(target, name, &error);
  if (fd < 0) return OutputFailed(target, ReasonText(error));
  ::close(fd);
  ::unlink(name.c_str());
  return {};
}

bool IsDirectOutput(const fs::path& target) {
  const Plan plan = PlanFor(target);
  return plan.refused.empty() &&
         (plan.kind == Plan::Kind::kDevice || plan.kind == Plan::Kind::kDescriptor);
}

}  // namespace korvalen
