// SPDX-License-Identifier: MIT
// Copyright The Kvitor authors

#include "base/SafeFile.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <random>

namespace kvitor {
namespace {

namespace fs = std::filesystem;

[[noreturn]] void CannotCreate(const std::string& path, const std::string& reason) {
  throw Error("Cannot create file \"" + path + "\". " + reason);
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

// The kernel's protected-symlinks rule, applied to every link on the way to
// the file: renaming over the link's target follows it without the kernel's
// check, so the writer checks itself.
void CheckLinks(const std::string& path) {
  std::string at = path;
  for (int hops = 0; hops < 40; ++hops) {
    struct stat link {};
    if (::lstat(at.c_str(), &link) != 0 || !S_ISLNK(link.st_mode)) return;
    const fs::path folder = fs::path(at).parent_path();
    struct stat dir {};
    if (::stat(folder.c_str(), &dir) == 0 && (dir.st_mode & S_ISVTX) != 0 &&
        (dir.st_mode & S_IWOTH) != 0 && link.st_uid != ::geteuid() && link.st_uid != dir.st_uid) {
      CannotCreate(path, std::string(std::strerror(EACCES)) +
                             " (a symbolic link of another user in a shared folder)");
    }
    std::error_code ec;
    const fs::path next = fs::read_symlink(at, ec);
    if (ec) return;
    at = (next.is_absolute() ? next : folder / next).lexically_normal().string();
  }
}

// Saving through a link writes the file it points to, not over the link.
std::string Resolved(const std::string& path) {
  std::error_code ec;
  if (!fs::is_symlink(path, ec)) return path;
  const fs::path resolved = fs::weakly_canonical(path, ec);
  return ec ? path : resolved.lexically_normal().string();
}

std::atomic<bool> gForceNamed{false};

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

std::string TempName(const std::string& target) {
  const fs::path path(target);
  // The temporary name must fit the folder's name limit as well as the
  // target's does, so a long target name is shortened in it.
  std::string base = path.filename().string();
  if (base.size() > 200) base.resize(200);
  return (path.parent_path() / ("." + base + ".XXXXXX")).string();
}

bool WriteAll(int fd, const char* data, std::size_t size) {
  while (size > 0) {
    const ssize_t n = ::write(fd, data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (n == 0) errno = EIO;
      return false;
    }
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

std::string SizeText(std::size_t bytes) {
  if (bytes % (1u << 20) == 0) return std::to_string(bytes >> 20) + " MiB";
  return std::to_string(bytes) + " bytes";
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

void ForceNamedTempFilesForTesting(bool force) { gForceNamed = force; }

TSafeFileWriter::TSafeFileWriter(const std::string& fileName) : target_(AbsolutePath(fileName)) {
  if (fileName.empty()) CannotCreate(target_, std::strerror(ENOENT));
  CheckLinks(target_);
  struct stat st {};
  mode_t mode = NewFileMode();
  bool exists = false;
  if (::stat(target_.c_str(), &st) == 0) {
    if (S_ISDIR(st.st_mode)) CannotCreate(target_, std::strerror(EISDIR));
    if (!S_ISREG(st.st_mode)) {
      // A device or a pipe cannot be replaced; what it receives is the save.
      OpenInPlace(false);
      return;
    }
    exists = true;
    mode = st.st_mode & 0777;
  }
  target_ = Resolved(target_);
  int error = 0;
  if (OpenTemporary(mode, error)) return;
  // A writable file in a folder the user may not write to.
  if (exists && (error == EACCES || error == EPERM)) {
    OpenInPlace(true);
    return;
  }
  CannotCreate(target_, std::strerror(error));
}

bool TSafeFileWriter::OpenTemporary(mode_t mode, int& error) {
  const std::string folder = fs::path(target_).parent_path().string();
  if (!gForceNamed) {
    const int fd = ::open(folder.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, mode);
    if (fd >= 0) {
      ::fchmod(fd, mode);
      fd_ = fd;
      stream_ = std::make_unique<TFileStream>(fd, target_);
      mode_ = TMode::Unnamed;
      return true;
    }
    // Only a file system without unnamed files leads on to a named one.
    if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) {
      error = errno;
      return false;
    }
  }
  temp_ = TempName(target_);
  // Registered before it exists, so that no moment is left uncovered.
  pending_ = std::make_unique<TPendingTempName>(temp_.c_str());
  const int fd = ::mkostemp(temp_.data(), O_CLOEXEC);
  if (fd < 0) {
    error = errno;
    pending_.reset();
    temp_.clear();
    return false;
  }
  ::fchmod(fd, mode);
  fd_ = fd;
  stream_ = std::make_unique<TFileStream>(fd, target_);
  mode_ = TMode::Named;
  return true;
}

void TSafeFileWriter::OpenInPlace(bool regular) {
  // Without O_NONBLOCK a named pipe without a reader would block for ever. A
  // pipe opened for reading too would never lack a reader, and block later.
  const int flags = O_CLOEXEC | O_NOCTTY | O_NONBLOCK | (regular ? O_TRUNC : 0);
  int fd = regular ? ::open(target_.c_str(), O_RDWR | flags) : -1;
  if (fd >= 0) {
    fd_ = fd;
    stream_ = std::make_unique<TFileStream>(fd, target_);
    mode_ = TMode::InPlace;
    return;
  }
  fd = ::open(target_.c_str(), O_WRONLY | flags);
  if (fd < 0) CannotCreate(target_, std::strerror(errno));
  ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  // A writer may seek back and read what it wrote, which a pipe, a terminal
  // or /dev/null cannot give: the save is gathered in memory and handed over
  // whole on Commit.
  const int staging = ::memfd_create("kvitor-save", MFD_CLOEXEC);
  if (staging < 0) {
    const int err = errno;
    ::close(fd);
    CannotCreate(target_, std::strerror(err));
  }
  outFd_ = fd;
  fd_ = staging;
  stream_ = std::make_unique<TFileStream>(staging, target_);
  mode_ = TMode::Staged;
}

void TSafeFileWriter::LinkUnnamed() {
  const std::string proc = "/proc/self/fd/" + std::to_string(fd_);
  // Through /proc when it is mounted; else AT_EMPTY_PATH, which needs
  // CAP_DAC_READ_SEARCH.
  const auto link = [&](const std::string& to) {
    if (::linkat(AT_FDCWD, proc.c_str(), AT_FDCWD, to.c_str(), AT_SYMLINK_FOLLOW) == 0) return 0;
    if (errno != ENOENT) return errno;
    return ::linkat(fd_, "", AT_FDCWD, to.c_str(), AT_EMPTY_PATH) == 0 ? 0 : errno;
  };
  int err = link(target_);
  if (err == 0) return;
  if (err != EEXIST) CannotCreate(target_, std::strerror(err));
  // linkat never replaces: link under a fresh name, then rename over.
  std::random_device random;
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::string name = TempName(target_);
    static constexpr char kLetters[] = "abcdefghijklmnopqrstuvwxyz0123456789";
    for (std::size_t i = name.size() - 6; i < name.size(); ++i) name[i] = kLetters[random() % 36];
    const TPendingTempName pending(name.c_str());
    err = link(name);
    if (err == EEXIST) continue;
    if (err != 0) CannotCreate(target_, std::strerror(err));
    if (::rename(name.c_str(), target_.c_str()) != 0) {
      err = errno;
      ::unlink(name.c_str());
      CannotCreate(target_, std::strerror(err));
    }
    return;
  }
  CannotCreate(target_, std::strerror(EEXIST));
}

TSafeFileWriter::~TSafeFileWriter() {
  if (committed_) return;
  stream_.reset();
  if (outFd_ >= 0) ::close(outFd_);
  if (mode_ == TMode::Named) ::unlink(temp_.c_str());
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
      if (::rename(temp_.c_str(), target_.c_str()) != 0)
        CannotCreate(target_, std::strerror(errno));
      pending_.reset();
      break;
    case TMode::InPlace: stream_->Close(); break;
    case TMode::Staged: {
      stream_->Flush();
      const int64_t size = stream_->Size();
      std::string buffer(1 << 16, '\0');
      for (int64_t at = 0; at < size;) {
        const ssize_t n = ::pread(fd_, buffer.data(), buffer.size(), at);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0 || !WriteAll(outFd_, buffer.data(), static_cast<std::size_t>(n))) {
          throw Error("Cannot write file \"" + target_ + "\". " +
                      std::strerror(n == 0 ? EIO : errno));
        }
        at += n;
      }
      const int out = outFd_;
      outFd_ = -1;
      if (::close(out) != 0 && errno != EINTR) {
        throw Error("Cannot write file \"" + target_ + "\". " + std::strerror(errno));
      }
      stream_->Close();
      break;
    }
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
    if (!S_ISREG(s.st_mode)) throw refuse(0, "Not a regular file");
    if (static_cast<uint64_t>(s.st_size) > maxBytes) {
      throw refuse(0, "larger than " + SizeText(maxBytes));
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
    if (content.size() > maxBytes) throw TFileReadError(0, "larger than " + SizeText(maxBytes));
  }
  return content;
}

}  // namespace kvitor
