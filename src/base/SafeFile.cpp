// SPDX-License-Identifier: MIT
// Copyright The Kvitor authors

#include "base/SafeFile.h"

#include "base/Messages.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <random>
#include <utility>
#include <vector>

namespace kvitor {
namespace {

namespace fs = std::filesystem;

[[noreturn]] void CannotCreate(const std::string& path, const std::string& reason) {
  throw Error(Fmt(TrEn("Cannot create file \"%s\". %s"), path, reason));
}

std::string AbsolutePath(const std::string& fileName) {
  std::error_code ec;
  fs::path p = fs::absolute(fileName, ec);
  if (ec) p = fileName;
  return p.lexically_normal().string();
}

mode_t NewFileMode() {
  const mode_t mask = ::umask(0);
  ::umask(mask);
  return 0666 & ~mask;
}

std::atomic<const std::atomic<bool>*> gStop{nullptr};

// The named temporary files in existence, for the signal handler: fixed
// slots of pointers, since a handler may neither lock nor allocate.
constexpr std::size_t kSlots = 64;
std::array<std::atomic<const char*>, kSlots> gPending{};

std::mutex gHandlerMutex;  // guards gHandlerUsers and the installation
int gHandlerUsers = 0;
constexpr std::array<int, 2> kSignals = {SIGINT, SIGTERM};
std::array<struct sigaction, 2> gPrevious{};

extern "C" void OnTerminatingSignal(int sig, siginfo_t* info, void* context) {
  const struct sigaction& previous = gPrevious[sig == SIGINT ? 0 : 1];
  // A handler of the program's own stays in charge of what the signal does.
  if ((previous.sa_flags & SA_SIGINFO) != 0) {
    if (previous.sa_sigaction != nullptr) previous.sa_sigaction(sig, info, context);
    return;
  }
  if (previous.sa_handler == SIG_IGN) return;
  if (previous.sa_handler != SIG_DFL) {
    previous.sa_handler(sig);
    return;
  }
  RemovePendingTempFiles();
  struct sigaction standard {};
  standard.sa_handler = SIG_DFL;
  ::sigemptyset(&standard.sa_mask);
  ::sigaction(sig, &standard, nullptr);
  // Delivered when this handler returns: the process ends as it would have.
  ::raise(sig);
}

void AcquireHandlers() {
  std::lock_guard lock(gHandlerMutex);
  if (gHandlerUsers++ > 0) return;
  struct sigaction ours {};
  ours.sa_sigaction = &OnTerminatingSignal;
  ours.sa_flags = SA_SIGINFO | SA_RESTART;
  ::sigemptyset(&ours.sa_mask);
  for (std::size_t i = 0; i < kSignals.size(); ++i) ::sigaction(kSignals[i], &ours, &gPrevious[i]);
}

void ReleaseHandlers() {
  std::lock_guard lock(gHandlerMutex);
  if (--gHandlerUsers > 0) return;
  for (std::size_t i = 0; i < kSignals.size(); ++i) {
    // A handler installed since then by someone else stays.
    struct sigaction current {};
    ::sigaction(kSignals[i], nullptr, &current);
    if ((current.sa_flags & SA_SIGINFO) != 0 && current.sa_sigaction == &OnTerminatingSignal) {
      ::sigaction(kSignals[i], &gPrevious[i], nullptr);
    }
  }
}

std::string SizeText(std::size_t bytes) {
  if (bytes % (1u << 20) == 0) return Fmt(TrEn("%s MiB"), bytes >> 20);
  return Fmt(TrEn("%s bytes"), bytes);
}

// A descriptor closed with its owner.
class TFd {
 public:
  explicit TFd(int fd = -1) : fd_(fd) {}
  ~TFd() {
    if (fd_ >= 0) ::close(fd_);
  }
  TFd(TFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  TFd& operator=(TFd&& other) noexcept {
    if (this != &other) {
      if (fd_ >= 0) ::close(fd_);
      fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
  }
  TFd(const TFd&) = delete;
  TFd& operator=(const TFd&) = delete;
  [[nodiscard]] int Get() const { return fd_; }
  int Release() { return std::exchange(fd_, -1); }

 private:
  int fd_;
};

// Where a save goes: an entry of a folder that is held open, so that what was
// checked is what gets written, whatever happens to the path meanwhile.
struct TLocation {
  TFd Folder;
  std::string Name;  // the entry in Folder
  std::string Path;  // the full path, for messages
  struct stat St {};
  bool Exists = false;
  bool ThroughLink = false;  // Name is a link to a device or a pipe
};

// The kernel's protected-symlinks rule, for every link on the way: in a
// world-writable sticky folder a link is followed only when its owner is the
// one who follows it or the folder's owner. The writer follows the links
// itself (a rename replaces a link rather than following it, and the kernel
// applies the rule only where fs.protected_symlinks is set).
void CheckLinkOwner(int folder, const struct stat& link, const std::string& path) {
  struct stat dir {};
  if (::fstat(folder, &dir) == 0 && (dir.st_mode & S_ISVTX) != 0 && (dir.st_mode & S_IWOTH) != 0 &&
      link.st_uid != ::geteuid() && link.st_uid != dir.st_uid) {
    CannotCreate(path, Fmt(TrEn("%s (a symbolic link of another user in a shared folder)"),
                           std::string(std::strerror(EACCES))));
  }
}

// Opens a folder component by component from the root, each without
// following a link that was not checked.
TFd OpenFolder(const fs::path& folder, const std::string& target) {
  std::vector<std::string> rest;  // the components still to walk, the next last
  const auto push = [&rest](const fs::path& path) {
    std::vector<std::string> parts;
    for (const auto& part : path.relative_path()) parts.push_back(part.string());
    rest.insert(rest.end(), parts.rbegin(), parts.rend());
  };
  const auto open = [&target](int at, const char* name) {
    const int fd = ::openat(at, name, O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) CannotCreate(target, std::strerror(errno));
    return TFd(fd);
  };
  push(folder);
  TFd current = open(AT_FDCWD, "/");
  for (int hops = 0; !rest.empty();) {
    const std::string name = rest.back();
    rest.pop_back();
    if (name.empty() || name == ".") continue;
    struct stat st {};
    if (::fstatat(current.Get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
      CannotCreate(target, std::strerror(errno));
    if (!S_ISLNK(st.st_mode)) {
      current = open(current.Get(), name.c_str());
      continue;
    }
    if (++hops > 40) CannotCreate(target, std::strerror(ELOOP));
    CheckLinkOwner(current.Get(), st, target);
    std::string text(PATH_MAX, '\0');
    const ssize_t n = ::readlinkat(current.Get(), name.c_str(), text.data(), text.size());
    if (n < 0) CannotCreate(target, std::strerror(errno));
    text.resize(static_cast<std::size_t>(n));
    if (!text.empty() && text[0] == '/') current = open(AT_FDCWD, "/");
    push(text);
  }
  return current;
}

TLocation Locate(const std::string& absolute) {
  TLocation at;
  at.Path = absolute;
  for (int hops = 0;; ++hops) {
    const fs::path path(at.Path);
    at.Name = path.filename().string();
    if (at.Name.empty() || at.Name == "." || at.Name == "..")
      CannotCreate(at.Path, std::strerror(EISDIR));
    at.Folder = OpenFolder(path.parent_path(), at.Path);
    const int folder = at.Folder.Get();
    if (::fstatat(folder, at.Name.c_str(), &at.St, AT_SYMLINK_NOFOLLOW) != 0) {
      if (errno != ENOENT) CannotCreate(at.Path, std::strerror(errno));
      at.Exists = false;
      return at;
    }
    at.Exists = true;
    if (!S_ISLNK(at.St.st_mode)) return at;
    if (hops >= 40) CannotCreate(at.Path, std::strerror(ELOOP));
    CheckLinkOwner(folder, at.St, at.Path);
    // A device or a pipe is opened through its link by the kernel: such links
    // (/dev/stdout, /proc/self/fd/1) may name no path at all ("pipe:[...]").
    struct stat to {};
    if (::fstatat(folder, at.Name.c_str(), &to, 0) == 0 && !S_ISREG(to.st_mode) &&
        !S_ISDIR(to.st_mode)) {
      at.St = to;
      at.ThroughLink = true;
      return at;
    }
    std::string text(PATH_MAX, '\0');
    const ssize_t n = ::readlinkat(folder, at.Name.c_str(), text.data(), text.size());
    if (n < 0) CannotCreate(at.Path, std::strerror(errno));
    text.resize(static_cast<std::size_t>(n));
    const fs::path next(text);
    at.Path = (next.is_absolute() ? next : path.parent_path() / next).lexically_normal().string();
  }
}

// A folder that admits no new file does not make the writer overwrite the
// old file in place: a failure half way would leave neither old nor new.
std::string NoNewFileReason(int error, bool exists) {
  std::string reason = std::strerror(error);
  if (exists && (error == EACCES || error == EPERM || error == EROFS))
    reason = Fmt(TrEn("%s (no new file can be made in its folder; the old file is kept)"), reason);
  return reason;
}

std::string RandomTempName(const std::string& name, std::random_device& random) {
  // The temporary name must fit the folder's name limit as well as the
  // target's does, so a long target name is shortened in it.
  std::string temp = "." + name.substr(0, 200) + ".";
  static constexpr char kLetters[] = "abcdefghijklmnopqrstuvwxyz0123456789";
  for (int i = 0; i < 6; ++i) temp += kLetters[random() % 36];
  return temp;
}

}  // namespace

// Registers a temporary file's name (a buffer that stays put until Release).
class TPendingTempName {
 public:
  explicit TPendingTempName(const char* name) {
    AcquireHandlers();
    for (std::size_t i = 0; i < kSlots; ++i) {
      const char* expected = nullptr;
      if (gPending[i].compare_exchange_strong(expected, name)) {
        slot_ = i;
        break;
      }
    }
  }
  ~TPendingTempName() {
    if (slot_ < kSlots) gPending[slot_].store(nullptr);
    ReleaseHandlers();
  }
  TPendingTempName(const TPendingTempName&) = delete;
  TPendingTempName& operator=(const TPendingTempName&) = delete;

 private:
  std::size_t slot_ = kSlots;
};

void RemovePendingTempFiles() noexcept {
  for (auto& slot : gPending) {
    if (const char* name = slot.load()) ::unlink(name);
  }
}

void StopSavesWhen(const std::atomic<bool>* stop) { gStop = stop; }

void CheckSaveTarget(const std::string& fileName) {
  const std::string target = AbsolutePath(fileName);
  if (fileName.empty()) CannotCreate(target, std::strerror(ENOENT));
  if (fileName == kStandardOutput) return;
  const TLocation at = Locate(target);
  if (at.Exists && S_ISDIR(at.St.st_mode)) CannotCreate(at.Path, std::strerror(EISDIR));
  if (at.Exists && !S_ISREG(at.St.st_mode)) return;
  if (::faccessat(at.Folder.Get(), ".", W_OK | X_OK, AT_EACCESS) != 0)
    CannotCreate(at.Path, NoNewFileReason(errno, at.Exists));
}

TSafeFileWriter::TSafeFileWriter(const std::string& fileName) : target_(AbsolutePath(fileName)) {
  if (fileName.empty()) CannotCreate(target_, std::strerror(ENOENT));
  if (fileName == kStandardOutput) {
    // Written where it stands: a file the shell opened, perhaps to append
    // to, is neither replaced nor rewound.
    const int fd = ::fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 0);
    if (fd < 0) CannotCreate(target_, std::strerror(errno));
    sequential_ = std::make_unique<TSequentialStream>(fd, target_);
    sequential_->StopWhen(gStop.load());
    mode_ = TMode::Special;
    return;
  }
  TLocation at = Locate(target_);
  target_ = at.Path;
  mode_t mode = NewFileMode();
  if (at.Exists) {
    if (S_ISDIR(at.St.st_mode)) CannotCreate(target_, std::strerror(EISDIR));
    if (!S_ISREG(at.St.st_mode)) {
      // A device or a pipe cannot be replaced; what it receives is the save.
      OpenSpecial(at.Folder.Get(), at.Name, at.St, at.ThroughLink);
      return;
    }
    mode = at.St.st_mode & 0777;
  }
  folderFd_ = at.Folder.Release();
  name_ = at.Name;
  int error = 0;
  if (!OpenTemporary(mode, error)) CannotCreate(target_, NoNewFileReason(error, at.Exists));
}

bool TSafeFileWriter::OpenTemporary(mode_t mode, int& error) {
  const int unnamed = ::openat(folderFd_, ".", O_TMPFILE | O_RDWR | O_CLOEXEC, mode);
  if (unnamed >= 0) {
    ::fchmod(unnamed, mode);
    fd_ = unnamed;
    stream_ = std::make_unique<TFileStream>(unnamed, target_);
    stream_->StopWhen(gStop.load());
    mode_ = TMode::Unnamed;
    return true;
  }
  // Only a file system without unnamed files leads on to a named one.
  if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) {
    error = errno;
    return false;
  }
  std::random_device random;
  const fs::path folder = fs::path(target_).parent_path();
  for (int attempt = 0; attempt < 100; ++attempt) {
    pending_.reset();
    tempName_ = RandomTempName(name_, random);
    temp_ = (folder / tempName_).string();
    // Registered before it exists, so that no moment is left uncovered.
    pending_ = std::make_unique<TPendingTempName>(temp_.c_str());
    const int fd = ::openat(folderFd_, tempName_.c_str(),
                            O_CREAT | O_EXCL | O_RDWR | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd >= 0) {
      ::fchmod(fd, mode);
      fd_ = fd;
      stream_ = std::make_unique<TFileStream>(fd, target_);
      stream_->StopWhen(gStop.load());
      mode_ = TMode::Named;
      return true;
    }
    if (errno == EEXIST) continue;
    error = errno;
    break;
  }
  if (error == 0) error = EEXIST;
  pending_.reset();
  temp_.clear();
  tempName_.clear();
  return false;
}

void TSafeFileWriter::OpenSpecial(int folder, const std::string& name, const struct stat& seen,
                                  bool throughLink) {
  // Without O_NONBLOCK a named pipe without a reader would block for ever. An
  // entry that was no link is not followed should it have become one since.
  const int flags = O_WRONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK | (throughLink ? 0 : O_NOFOLLOW);
  const int fd = ::openat(folder, name.c_str(), flags);
  if (fd < 0) CannotCreate(target_, std::strerror(errno));
  struct stat st {};
  if (::fstat(fd, &st) != 0 || st.st_dev != seen.st_dev || st.st_ino != seen.st_ino) {
    ::close(fd);
    CannotCreate(target_, std::strerror(EAGAIN));
  }
  // It stays non-blocking: the stream waits on a full pipe itself.
  sequential_ = std::make_unique<TSequentialStream>(fd, target_);
  sequential_->StopWhen(gStop.load());
  mode_ = TMode::Special;
}

void TSafeFileWriter::LinkUnnamed() {
  const std::string proc = "/proc/self/fd/" + std::to_string(fd_);
  // Through /proc when it is mounted; else AT_EMPTY_PATH, which needs
  // CAP_DAC_READ_SEARCH.
  const auto link = [&](const std::string& to) {
    if (::linkat(AT_FDCWD, proc.c_str(), folderFd_, to.c_str(), AT_SYMLINK_FOLLOW) == 0) return 0;
    if (errno != ENOENT) return errno;
    return ::linkat(fd_, "", folderFd_, to.c_str(), AT_EMPTY_PATH) == 0 ? 0 : errno;
  };
  int err = link(name_);
  if (err == 0) return;
  if (err != EEXIST) CannotCreate(target_, std::strerror(err));
  // linkat never replaces: link under a fresh name, then rename over.
  std::random_device random;
  const fs::path folder = fs::path(target_).parent_path();
  for (int attempt = 0; attempt < 100; ++attempt) {
    const std::string name = RandomTempName(name_, random);
    const std::string full = (folder / name).string();
    const TPendingTempName pending(full.c_str());
    err = link(name);
    if (err == EEXIST) continue;
    if (err != 0) CannotCreate(target_, std::strerror(err));
    if (::renameat(folderFd_, name.c_str(), folderFd_, name_.c_str()) != 0) {
      err = errno;
      ::unlinkat(folderFd_, name.c_str(), 0);
      CannotCreate(target_, std::strerror(err));
    }
    return;
  }
  CannotCreate(target_, std::strerror(EEXIST));
}

TSafeFileWriter::~TSafeFileWriter() {
  if (!committed_) {
    stream_.reset();
    if (mode_ == TMode::Named) ::unlinkat(folderFd_, tempName_.c_str(), 0);
  }
  if (folderFd_ >= 0) ::close(folderFd_);
}

void TSafeFileWriter::Commit() {
  switch (mode_) {
    case TMode::Unnamed:
      stream_->Flush();
      LinkUnnamed();
      stream_->Close();
      break;
    case TMode::Named:
      stream_->Close();
      if (::renameat(folderFd_, tempName_.c_str(), folderFd_, name_.c_str()) != 0)
        CannotCreate(target_, std::strerror(errno));
      pending_.reset();
      break;
    case TMode::Special: sequential_->Close(); break;
  }
  committed_ = true;
}

TRegularFile::~TRegularFile() {
  if (fd_ >= 0) ::close(fd_);
}

TRegularFile::TRegularFile(TRegularFile&& other) noexcept : fd_(other.fd_), size_(other.size_) {
  other.fd_ = -1;
}

TRegularFile OpenRegularFile(const std::string& path, uint64_t maxBytes) {
  const auto refuse = [](int code, const std::string& reason) -> TFileReadError {
    return {code, reason};
  };
  const auto check = [&](const struct stat& s) {
    if (S_ISDIR(s.st_mode)) throw refuse(EISDIR, std::strerror(EISDIR));
    if (!S_ISREG(s.st_mode)) throw refuse(0, TrEn("Not a regular file"));
    if (static_cast<uint64_t>(s.st_size) > maxBytes) {
      throw refuse(0, Fmt(TrEn("larger than %s"), SizeText(maxBytes)));
    }
  };
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) throw refuse(errno, std::strerror(errno));
  check(st);
  // O_NONBLOCK: the name may have become a pipe since the check.
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) throw refuse(errno, std::strerror(errno));
  TRegularFile file(fd);
  if (::fstat(fd, &st) != 0) throw refuse(errno, std::strerror(errno));
  check(st);
  file.size_ = static_cast<uint64_t>(st.st_size);
  return file;
}

std::string ReadRegularFile(const std::string& path, std::size_t maxBytes) {
  const TRegularFile file = OpenRegularFile(path, maxBytes);
  std::string content;
  content.reserve(static_cast<std::size_t>(file.Size()));
  char buffer[1 << 16];
  while (true) {
    const ssize_t n = ::read(file.Fd(), buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) throw TFileReadError(errno, std::strerror(errno));
    if (n == 0) break;
    content.append(buffer, static_cast<std::size_t>(n));
    // A file that grows while it is read.
    if (content.size() > maxBytes)
      throw TFileReadError(0, Fmt(TrEn("larger than %s"), SizeText(maxBytes)));
  }
  return content;
}

}  // namespace kvitor
