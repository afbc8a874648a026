#include "SafeFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "Error.h"

namespace kvitor {
namespace {

[[noreturn]] void CannotCreate(const std::string& path, const std::string& reason) {
  throw Error("Cannot create file \"" + path + "\". " + reason);
}

std::string AbsolutePath(const std::string& fileName) {
  std::error_code ec;
  std::filesystem::path p = std::filesystem::absolute(fileName, ec);
  if (ec) p = fileName;
  // Saving through a link writes the file it points to, not over the link.
  if (std::filesystem::is_symlink(p, ec)) {
    const auto resolved = std::filesystem::weakly_canonical(p, ec);
    if (!ec) p = resolved;
  }
  return p.lexically_normal().string();
}

mode_t NewFileMode() {
  const mode_t mask = ::umask(0);
  ::umask(mask);
  return 0666 & ~mask;
}

}  // namespace

TSafeFileWriter::TSafeFileWriter(const std::string& fileName) : target_(AbsolutePath(fileName)) {
  if (fileName.empty()) CannotCreate(target_, std::strerror(ENOENT));
  struct stat st {};
  mode_t mode = NewFileMode();
  if (::stat(target_.c_str(), &st) == 0) {
    // Replacing a folder or a device node by a renamed file would be no save.
    if (S_ISDIR(st.st_mode)) CannotCreate(target_, std::strerror(EISDIR));
    if (!S_ISREG(st.st_mode)) CannotCreate(target_, "Not a regular file");
    mode = st.st_mode & 07777;
  }
  const std::filesystem::path target(target_);
  // The temporary name must fit the folder's name limit as well as the
  // target's does, so a long target name is shortened in it.
  std::string base = target.filename().string();
  if (base.size() > 200) base.resize(200);
  temp_ = (target.parent_path() / ("." + base + ".XXXXXX")).string();
  const int fd = ::mkostemp(temp_.data(), O_CLOEXEC);
  if (fd < 0) CannotCreate(target_, std::strerror(errno));
  ::fchmod(fd, mode);
  stream_ = std::make_unique<TFileStream>(fd, target_);
}

TSafeFileWriter::~TSafeFileWriter() {
  if (committed_) return;
  stream_.reset();
  ::unlink(temp_.c_str());
}

void TSafeFileWriter::Commit() {
  stream_->Close();
  if (::rename(temp_.c_str(), target_.c_str()) != 0) {
    const int err = errno;
    CannotCreate(target_, std::strerror(err));
  }
  committed_ = true;
}

}  // namespace kvitor
