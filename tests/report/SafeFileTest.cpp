// SPDX-License-Identifier: MIT
// Copyright The Kvitor authors

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "NoUnnamedFiles.h"
#include "ReportTestUtil.h"
#include "base/Error.h"
#include "base/SafeFile.h"
#include "base/Stream.h"
#include "report/FNReportBinWriter.h"
#include "report/FNReportTextWriter.h"

namespace kvitor {
namespace {

using test::Bytes;
using test::ErrorOf;
using test::InChild;
using test::Le32;
using test::ReadFile;
using test::ScratchDir;
using test::Tlv;

// Takes the first `limit` bytes, then refuses like a file on a full disk.
class TFailingStream final : public TStream {
 public:
  explicit TFailingStream(std::size_t limit) : limit_(limit) {}
  std::size_t Read(void*, std::size_t) override { return 0; }
  std::size_t Write(const void* buffer, std::size_t size) override {
    if (data_.size() + size > limit_)
      throw Error(std::string("Cannot write file \"failing\". ") + std::strerror(ENOSPC));
    data_.append(static_cast<const char*>(buffer), size);
    return size;
  }
  [[nodiscard]] int64_t Position() const override { return static_cast<int64_t>(data_.size()); }
  void SetPosition(int64_t) override {}
  [[nodiscard]] int64_t Size() const override { return static_cast<int64_t>(data_.size()); }
  [[nodiscard]] const std::string& Data() const { return data_; }

 private:
  std::size_t limit_;
  std::string data_;
};

// A receipt of `items` items with 200-letter names: about 210 bytes each.
void FillReport(TFNReport& report, int items) {
  TFNDocumentRec rec;
  rec.DocType = 3;
  rec.TLVData = Tlv(1040, Le32(1));
  for (int i = 0; i < items; ++i)
    rec.TLVData += Tlv(1059, Tlv(1030, std::string(200, static_cast<char>('A' + i % 26))));
  report.AddDocument(rec);
  report.Build(false);
}

std::string CannotCreate(const std::string& path, int err) {
  return "Cannot create file \"" + path + "\". " + std::strerror(err);
}

TEST(FaultPaths, StreamErrorsPassOutOfTheTextRendering) {
  TFNReport report;
  FillReport(report, 3);
  TMemoryStream whole;
  WriteReportText(report.Header(), report.Tags(), whole);
  const std::size_t size = whole.Data().size();
  for (const std::size_t limit :
       {std::size_t{0}, std::size_t{1}, std::size_t{58}, std::size_t{600}, size - 1}) {
    SCOPED_TRACE(limit);
    TFailingStream out(limit);
    EXPECT_EQ(ErrorOf([&] { WriteReportText(report.Header(), report.Tags(), out); }),
              std::string("Cannot write file \"failing\". ") + std::strerror(ENOSPC));
  }
  TFailingStream enough(size);
  WriteReportText(report.Header(), report.Tags(), enough);
  EXPECT_EQ(enough.Data(), whole.Data());

  // The report's own rendering writes pieces of 256 KiB: an error in any of
  // them comes out.
  TFNReport large;
  FillReport(large, 12000);
  TMemoryStream all;
  WriteReportText(large, all);
  const std::size_t largeSize = all.Data().size();
  ASSERT_GT(largeSize, std::size_t{2} << 20);
  for (const std::size_t limit : {std::size_t{0}, std::size_t{3} << 19, largeSize - 1}) {
    SCOPED_TRACE(limit);
    TFailingStream out(limit);
    EXPECT_EQ(ErrorOf([&] { WriteReportText(large, out); }),
              std::string("Cannot write file \"failing\". ") + std::strerror(ENOSPC));
  }
  TFailingStream room(largeSize);
  WriteReportText(large, room);
  EXPECT_EQ(room.Data(), all.Data());

  // A value that cannot be shown, after pieces have been written: its own
  // error comes out.
  TFNDocumentRec bad;
  bad.DocType = 3;
  bad.TLVData = Tlv(1023, Bytes({0x09, 0x01}));
  TFNReport broken;
  broken.AddDocument(large.Documents().Items(0).Rec());
  broken.AddDocument(bad);
  broken.Build(false);
  TMemoryStream partial;
  EXPECT_EQ(ErrorOf([&] { WriteReportText(broken, partial); }), "Неверная длина FVLN");
}

TEST(FaultPaths, MissingFolderIsNamedWithTheFullPath) {
  ScratchDir dir;
  const std::string cwd = std::filesystem::current_path().string();
  ASSERT_EQ(::chdir(dir.Dir().c_str()), 0);
  TFNReport report;
  const std::string bin =
      ErrorOf([&] { TFNReportBinWriter().SaveToFile(report, "missing/report.bin"); });
  const std::string txt =
      ErrorOf([&] { TFNReportTextWriter().SaveToFile(report, "./missing/../missing/r.txt"); });
  ASSERT_EQ(::chdir(cwd.c_str()), 0);
  EXPECT_EQ(bin, CannotCreate(dir.Path("missing/report.bin"), ENOENT));
  EXPECT_EQ(txt, CannotCreate(dir.Path("missing/r.txt"), ENOENT));
  EXPECT_TRUE(dir.Entries().empty());
}

TEST(FaultPaths, FolderIsRefusedDevicesAndPipesAreWrittenInPlace) {
  ScratchDir dir;
  std::filesystem::create_directory(dir.Dir() / "folder.bin");
  ASSERT_EQ(::mkfifo(dir.Path("pipe.txt").c_str(), 0600), 0);
  TFNReport report;
  FillReport(report, 2);
  EXPECT_EQ(ErrorOf([&] { TFNReportBinWriter().SaveToFile(report, dir.Path("folder.bin")); }),
            CannotCreate(dir.Path("folder.bin"), EISDIR));
  // A pipe nobody reads is refused at once rather than waited on.
  EXPECT_EQ(ErrorOf([&] { TFNReportTextWriter().SaveToFile(report, dir.Path("pipe.txt")); }),
            CannotCreate(dir.Path("pipe.txt"), ENXIO));
  TFNReportBinWriter().SaveToFile(report, "/dev/null");
  EXPECT_TRUE(std::filesystem::is_character_file("/dev/null"));
  EXPECT_EQ(ErrorOf([&] { TFNReportBinWriter().SaveToFile(report, "/dev/full"); }),
            std::string("Cannot write file \"/dev/full\". ") + std::strerror(ENOSPC));

  // With a reader, the pipe gets exactly the file's bytes (the binary writer
  // seeks back for its checksum, which a pipe cannot).
  TFNReportBinWriter().SaveToFile(report, dir.Path("plain.bin"));
  const int reader = ::open(dir.Path("pipe.txt").c_str(), O_RDONLY | O_NONBLOCK);
  ASSERT_GE(reader, 0);
  TFNReportBinWriter().SaveToFile(report, dir.Path("pipe.txt"));
  std::string piped(1 << 16, '\0');
  const ssize_t n = ::read(reader, piped.data(), piped.size());
  ::close(reader);
  ASSERT_GT(n, 0);
  piped.resize(static_cast<std::size_t>(n));
  EXPECT_EQ(piped, ReadFile(dir.Path("plain.bin")));
  EXPECT_TRUE(std::filesystem::is_directory(dir.Dir() / "folder.bin"));
  EXPECT_TRUE(std::filesystem::is_fifo(dir.Dir() / "pipe.txt"));
  EXPECT_EQ(dir.Entries(), (std::set<std::string>{"folder.bin", "pipe.txt", "plain.bin"}));
}

// The system's shared memory in KiB, where a staging memfd would show (it is
// in no process's RSS).
long SharedMemoryKiB() {
  std::ifstream in("/proc/meminfo");
  for (std::string key; in >> key;) {
    long value = 0;
    in >> value;
    if (key == "Shmem:") return value;
    in.ignore(64, '\n');
  }
  return -1;
}

// A device or a pipe gets the save as it is written: a pipe's reader has the
// first bytes before the save ends, and /dev/null costs no memory.
TEST(FaultPaths, DevicesAndPipesAreWrittenAsTheSaveGoes) {
  ScratchDir dir;
  ASSERT_EQ(::mkfifo(dir.Path("pipe").c_str(), 0600), 0);
  const int reader = ::open(dir.Path("pipe").c_str(), O_RDONLY | O_NONBLOCK);
  ASSERT_GE(reader, 0);
  const std::string part(1000, 'p');  // 70 of them: more than a buffer, less than the pipe
  std::string got(1 << 17, '\0');
  {
    TSafeFileWriter file(dir.Path("pipe"));
    EXPECT_FALSE(file.Seekable());
    for (int i = 0; i < 70; ++i) file.Stream().Write(part.data(), part.size());
    const ssize_t early = ::read(reader, got.data(), got.size());
    EXPECT_GT(early, 60000);
    file.Commit();
    const ssize_t rest = ::read(reader, got.data(), got.size());
    EXPECT_EQ(early + rest, 70000);
  }
  ::close(reader);

  const long before = SharedMemoryKiB();
  ASSERT_GE(before, 0);
  TSafeFileWriter null("/dev/null");
  const std::string megabyte(1 << 20, 'n');
  for (int i = 0; i < 256; ++i) null.Stream().Write(megabyte.data(), megabyte.size());
  // 256 MiB staged would show whole; other programs' share stays well below.
  EXPECT_LT(SharedMemoryKiB() - before, 64L << 10);
  null.Commit();
  EXPECT_TRUE(std::filesystem::is_character_file("/dev/null"));
}

TEST(SafeSave, KeepsOnlyThePermissionBitsOfTheOldFile) {
  ScratchDir dir;
  TFNReport report;
  test::WriteFile(dir.Path("planted.bin"), "old");
  ASSERT_EQ(::chmod(dir.Path("planted.bin").c_str(), 07750), 0);
  TFNReportBinWriter().SaveToFile(report, dir.Path("planted.bin"));
  struct stat st {};
  ASSERT_EQ(::stat(dir.Path("planted.bin").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0750u);
  EXPECT_NE(ReadFile(dir.Path("planted.bin")), "old");

  const mode_t mask = ::umask(022);
  TFNReportTextWriter().SaveToFile(report, dir.Path("new.txt"));
  ::umask(mask);
  ASSERT_EQ(::stat(dir.Path("new.txt").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0644u);
}

// The kernel's protected-symlinks rule: in a world-writable sticky folder a
// link is followed only when its owner is the one who follows it or the
// folder's owner. Root changes the owners here to play the other users.
TEST(SafeSave, RefusesAnotherUsersLinkInASharedStickyFolder) {
  ScratchDir dir;
  constexpr uid_t kOther = 65534;
  constexpr uid_t kThird = 65533;
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to give files to other users";
  const std::string shared = dir.Path("shared");
  std::filesystem::create_directory(shared);
  ASSERT_EQ(::chmod(shared.c_str(), 01777), 0);
  test::WriteFile(dir.Path("victim"), "keep");
  ASSERT_EQ(::symlink(dir.Path("victim").c_str(), (shared + "/link").c_str()), 0);
  TFNReport report;
  const auto save = [&] {
    return ErrorOf([&] { TFNReportBinWriter().SaveToFile(report, shared + "/link"); });
  };

  ASSERT_EQ(::lchown((shared + "/link").c_str(), kOther, kOther), 0);
  EXPECT_EQ(save(), CannotCreate(shared + "/link", EACCES) +
                        " (a symbolic link of another user in a shared folder)");
  EXPECT_EQ(ReadFile(dir.Path("victim")), "keep");

  // The folder's owner may link; so may the one who saves.
  ASSERT_EQ(::chown(shared.c_str(), kOther, kOther), 0);
  ASSERT_EQ(::chmod(shared.c_str(), 01777), 0);
  EXPECT_EQ(save(), "(no error)");
  EXPECT_NE(ReadFile(dir.Path("victim")), "keep");
  ASSERT_EQ(::lchown((shared + "/link").c_str(), kThird, kThird), 0);
  EXPECT_NE(save(), "(no error)");
  ASSERT_EQ(::lchown((shared + "/link").c_str(), 0, 0), 0);
  EXPECT_EQ(save(), "(no error)");
  EXPECT_TRUE(std::filesystem::is_symlink(shared + "/link"));
  // Outside a sticky folder the rule does not apply.
  ASSERT_EQ(::chmod(shared.c_str(), 0777), 0);
  ASSERT_EQ(::lchown((shared + "/link").c_str(), kThird, kThird), 0);
  EXPECT_EQ(save(), "(no error)");

  // A link on the way to the folder, as well.
  ASSERT_EQ(::chown(shared.c_str(), 0, 0), 0);
  ASSERT_EQ(::chmod(shared.c_str(), 01777), 0);
  std::filesystem::create_directory(dir.Path("private"));
  ASSERT_EQ(::symlink(dir.Path("private").c_str(), (shared + "/way").c_str()), 0);
  ASSERT_EQ(::lchown((shared + "/way").c_str(), kOther, kOther), 0);
  const std::string through = shared + "/way/r.bin";
  EXPECT_EQ(
      ErrorOf([&] { TFNReportBinWriter().SaveToFile(report, through); }),
      CannotCreate(through, EACCES) + " (a symbolic link of another user in a shared folder)");
  EXPECT_EQ(ErrorOf([&] { CheckSaveTarget(through); }),
            ErrorOf([&] { TFNReportBinWriter().SaveToFile(report, through); }));
  EXPECT_FALSE(std::filesystem::exists(dir.Path("private/r.bin")));
  ASSERT_EQ(::lchown((shared + "/way").c_str(), 0, 0), 0);
  EXPECT_EQ(ErrorOf([&] { TFNReportBinWriter().SaveToFile(report, through); }), "(no error)");
  EXPECT_TRUE(std::filesystem::exists(dir.Path("private/r.bin")));
}

// A save cut short by a signal leaves the old file and nothing else: the
// unnamed temporary file vanishes with the process even on SIGKILL, and a
// named one is removed before SIGINT or SIGTERM ends the process.
TEST(SafeSave, InterruptedSavesLeaveNoTemporaryFile) {
  ScratchDir dir;
  const std::string target = dir.Path("r.bin");
  test::WriteFile(target, "old");
  const std::string megabyte(1 << 20, 'x');
  const auto interrupted = [&](bool named, int sig) {
    return InChild([&] {
      if (named && !test::ForbidUnnamedFiles()) return 97;
      TSafeFileWriter file(target);
      file.Stream().Write(megabyte.data(), megabyte.size());
      file.Stream().SetPosition(0);  // the buffer reaches the disk
      ::kill(::getpid(), sig);
      return 0;
    });
  };
  EXPECT_EQ(interrupted(false, SIGKILL), 128 + SIGKILL);
  EXPECT_EQ(interrupted(true, SIGTERM), 128 + SIGTERM);
  EXPECT_EQ(interrupted(true, SIGINT), 128 + SIGINT);
  EXPECT_EQ(dir.Entries(), std::set<std::string>{"r.bin"});
  EXPECT_EQ(ReadFile(target), "old");

  // The program's own handler keeps the signal: here it only takes note, and
  // the save completes.
  static volatile std::sig_atomic_t noted = 0;
  EXPECT_EQ(InChild([&] {
              std::signal(SIGINT, [](int) { noted = 1; });
              if (!test::ForbidUnnamedFiles()) return 97;
              TSafeFileWriter file(target);
              file.Stream().Write(megabyte.data(), megabyte.size());
              ::kill(::getpid(), SIGINT);
              file.Commit();
              return noted == 1 && std::signal(SIGINT, SIG_DFL) != SIG_DFL ? 0 : 1;
            }),
            0);
  EXPECT_EQ(ReadFile(target), megabyte);
  EXPECT_EQ(dir.Entries(), std::set<std::string>{"r.bin"});

  // A named temporary file also goes when the save is abandoned.
  EXPECT_EQ(InChild([&] {
              if (!test::ForbidUnnamedFiles()) return 97;
              {
                TSafeFileWriter file(dir.Path("abandoned.bin"));
                file.Stream().Write("x", 1);
                if (dir.Entries().size() != 2u) return 1;  // a named file it is
              }
              return dir.Entries() == std::set<std::string>{"r.bin"} ? 0 : 2;
            }),
            0);
}

std::string OldFileKept(const std::string& path, int err) {
  return CannotCreate(path, err) + " (no new file can be made in its folder; the old file is kept)";
}

// A stop asked for by a signal handler ends the save at its next write and
// leaves the old file, with either kind of temporary file.
TEST(SafeSave, StopRequestEndsTheSaveAndKeepsTheOldFile) {
  ScratchDir dir;
  const std::string target = dir.Path("r.bin");
  test::WriteFile(target, "old");
  const std::string megabyte(1 << 20, 'x');
  std::atomic<bool> stop{false};
  StopSavesWhen(&stop);
  // 0 when both saves stop and leave the old file alone.
  const auto stopped = [&] {
    const auto refused = [&](const std::function<void()>& save) {
      try {
        save();
      } catch (const TSaveStopped&) {
        return true;
      }
      return false;
    };
    stop = false;
    const bool midway = refused([&] {
      TSafeFileWriter file(target);
      file.Stream().Write(megabyte.data(), megabyte.size());
      stop = true;
      file.Stream().Write(megabyte.data(), megabyte.size());
      file.Commit();
    });
    stop = false;
    // Asked for after the last write: the file is not put in place.
    const bool atCommit = refused([&] {
      TSafeFileWriter file(target);
      file.Stream().Write("new", 3);
      stop = true;
      file.Commit();
    });
    const bool kept = ReadFile(target) == "old" && dir.Entries() == std::set<std::string>{"r.bin"};
    return midway && atCommit && kept ? 0 : 1;
  };
  EXPECT_EQ(stopped(), 0);
  EXPECT_EQ(InChild([&] { return test::ForbidUnnamedFiles() ? stopped() : 97; }), 0);
  StopSavesWhen(nullptr);
  TSafeFileWriter file(target);
  file.Stream().Write("new", 3);
  file.Commit();
  EXPECT_EQ(ReadFile(target), "new");
}

// Root may write anywhere; another user shows the folder it cannot write to.
// Its own file there is not truncated and rewritten: a failure half way would
// lose the old report.
TEST(SafeSave, WritableFileInAReadOnlyFolderIsKeptAndTheSaveRefused) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to act as another user";
  ScratchDir dir;
  constexpr uid_t kUser = 65534;
  ASSERT_EQ(::chmod(dir.Dir().c_str(), 0755), 0);
  test::WriteFile(dir.Path("r.txt"), "old report");
  test::WriteFile(dir.Path("locked.txt"), "locked");
  ASSERT_EQ(::chown(dir.Path("r.txt").c_str(), kUser, kUser), 0);
  ASSERT_EQ(::chmod(dir.Path("locked.txt").c_str(), 0644), 0);
  TFNReport report;
  FillReport(report, 2);
  const int code = InChild([&] {
    if (::setgid(kUser) != 0 || ::setuid(kUser) != 0) return 98;
    if (::access(dir.Path("r.txt").c_str(), W_OK) != 0) return 97;  // a path it cannot reach
    const auto save = [&](const char* name) {
      return ErrorOf([&] { TFNReportTextWriter().SaveToFile(report, dir.Path(name)); });
    };
    const auto check = [&](const char* name) {
      return ErrorOf([&] { CheckSaveTarget(dir.Path(name)); });
    };
    const std::string own = OldFileKept(dir.Path("r.txt"), EACCES);
    const std::string locked = OldFileKept(dir.Path("locked.txt"), EACCES);
    const std::string fresh = CannotCreate(dir.Path("new.txt"), EACCES);
    return save("r.txt") == own && check("r.txt") == own && save("locked.txt") == locked &&
                   save("new.txt") == fresh && check("new.txt") == fresh &&
                   check("none/x.txt") == CannotCreate(dir.Path("none/x.txt"), ENOENT) &&
                   check("/dev/null") == "(no error)"
               ? 0
               : 1;
  });
  if (code == 97) GTEST_SKIP() << "the scratch folder is not reachable for another user";
  EXPECT_EQ(code, 0);
  EXPECT_EQ(ReadFile(dir.Path("r.txt")), "old report");
  EXPECT_EQ(ReadFile(dir.Path("locked.txt")), "locked");
  EXPECT_EQ(dir.Entries(), (std::set<std::string>{"locked.txt", "r.txt"}));
  EXPECT_EQ(ErrorOf([&] { CheckSaveTarget(dir.Path("r.txt")); }), "(no error)");
  std::filesystem::create_directory(dir.Dir() / "sub");
  EXPECT_EQ(ErrorOf([&] { CheckSaveTarget(dir.Path("sub")); }),
            CannotCreate(dir.Path("sub"), EISDIR));
}

// Another user swaps a file of theirs with a link of theirs to a file they
// may not write, over and over, while root saves onto the file's name: the
// save never reaches the linked file.
TEST(SafeSave, SwappingAFileAndALinkNeverRedirectsTheSave) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to act as another user";
  ScratchDir dir;
  constexpr uid_t kOther = 65534;
  const std::string shared = dir.Path("shared");
  std::filesystem::create_directory(shared);
  ASSERT_EQ(::chmod(dir.Dir().c_str(), 0755), 0);
  ASSERT_EQ(::chmod(shared.c_str(), 01777), 0);
  test::WriteFile(dir.Path("victim"), "keep");
  const std::string file = shared + "/report.bin";
  const std::string link = shared + "/link";
  const pid_t racer = ::fork();
  ASSERT_GE(racer, 0);
  if (racer == 0) {
    if (::setgid(kOther) != 0 || ::setuid(kOther) != 0) ::_exit(98);
    if (::access(shared.c_str(), W_OK | X_OK) != 0) ::_exit(97);
    while (true) ::renameat2(AT_FDCWD, file.c_str(), AT_FDCWD, link.c_str(), RENAME_EXCHANGE);
  }
  TFNReport report;
  int saved = 0;
  for (int attempt = 0; attempt < 200; ++attempt) {
    ::unlink(file.c_str());
    ::unlink(link.c_str());
    test::WriteFile(file, "theirs");
    ASSERT_EQ(::symlink(dir.Path("victim").c_str(), link.c_str()), 0);
    ASSERT_EQ(::chown(file.c_str(), kOther, kOther), 0);
    ASSERT_EQ(::lchown(link.c_str(), kOther, kOther), 0);
    if (ErrorOf([&] { TFNReportBinWriter().SaveToFile(report, file); }) == "(no error)") ++saved;
    ASSERT_EQ(ReadFile(dir.Path("victim")), "keep") << "attempt " << attempt;
  }
  ::kill(racer, SIGKILL);
  int status = 0;
  ::waitpid(racer, &status, 0);
  if (WIFEXITED(status) && WEXITSTATUS(status) == 97)
    GTEST_SKIP() << "the scratch folder is not reachable for another user";
  EXPECT_TRUE(WIFSIGNALED(status)) << "the racing process did not run";
  EXPECT_GT(saved, 0);
}

// A small tmpfs of the test's own on a folder of the scratch folder.
class MountedFolder : public ::testing::Test {
 protected:
  void Mount(const std::string& options) {
    mountPoint_ = scratch_.Path("mnt");
    std::filesystem::create_directory(mountPoint_);
    if (Run("mount -t tmpfs -o " + options + " tmpfs '" + mountPoint_ + "'") != 0) {
      mountPoint_.clear();
      GTEST_SKIP() << "cannot mount a tmpfs (needs root and a mount namespace that allows it)";
    }
  }
  void TearDown() override {
    if (!mountPoint_.empty()) Run("umount '" + mountPoint_ + "'");
  }
  static int Run(const std::string& command) {
    return std::system((command + " 2>/dev/null").c_str());
  }
  [[nodiscard]] std::string Path(const std::string& name) const { return mountPoint_ + "/" + name; }

  ScratchDir scratch_;
  std::string mountPoint_;
};

TEST_F(MountedFolder, ReadOnlyFolderRefusesTheSaveAndKeepsTheOldFile) {
  Mount("size=64k");
  if (mountPoint_.empty()) return;
  test::WriteFile(Path("old.bin"), "previous report");
  ASSERT_EQ(Run("mount -o remount,ro '" + mountPoint_ + "'"), 0);
  TFNReport report;
  FillReport(report, 2);
  EXPECT_EQ(ErrorOf([&] { TFNReportBinWriter().SaveToFile(report, Path("new.bin")); }),
            CannotCreate(Path("new.bin"), EROFS));
  EXPECT_EQ(ErrorOf([&] { TFNReportTextWriter().SaveToFile(report, Path("new.txt")); }),
            CannotCreate(Path("new.txt"), EROFS));
  EXPECT_EQ(ErrorOf([&] { TFNReportBinWriter().SaveToFile(report, Path("old.bin")); }),
            OldFileKept(Path("old.bin"), EROFS));
  EXPECT_EQ(ReadFile(Path("old.bin")), "previous report");
  EXPECT_EQ(ScratchDir::Entries(mountPoint_), std::set<std::string>{"old.bin"});
}

TEST_F(MountedFolder, FullDiskFailsTheSaveAndKeepsTheOldFile) {
  Mount("size=8k");
  if (mountPoint_.empty()) return;
  TFNReport report;
  FillReport(report, 60);  // about 12 KiB in either form
  ASSERT_GT(report.Tags().Encode().size(), 8192u);
  const auto failsFull = [](const std::string& message, const std::string& path) {
    EXPECT_EQ(message.rfind("Cannot write file \"" + path + "\". ", 0), 0u) << message;
    EXPECT_NE(message.find(std::strerror(ENOSPC)), std::string::npos) << message;
  };

  // One page holds the old file; the other fills up part way through the save.
  test::WriteFile(Path("r.bin"), "previous binary report");
  failsFull(ErrorOf([&] { TFNReportBinWriter().SaveToFile(report, Path("r.bin")); }),
            Path("r.bin"));
  EXPECT_EQ(ReadFile(Path("r.bin")), "previous binary report");
  EXPECT_EQ(ScratchDir::Entries(mountPoint_), std::set<std::string>{"r.bin"});

  std::filesystem::remove(Path("r.bin"));
  test::WriteFile(Path("r.txt"), "previous text report");
  failsFull(ErrorOf([&] { TFNReportTextWriter().SaveToFile(report, Path("r.txt")); }),
            Path("r.txt"));
  EXPECT_EQ(ReadFile(Path("r.txt")), "previous text report");
  EXPECT_EQ(ScratchDir::Entries(mountPoint_), std::set<std::string>{"r.txt"});

  // The space of the failed attempt is free again: a small report fits.
  TFNReport small;
  FillReport(small, 1);
  TFNReportTextWriter().SaveToFile(small, Path("r.txt"));
  EXPECT_EQ(ReadFile(Path("r.txt")).substr(0, 57), std::string(57, '-'));
  EXPECT_EQ(ScratchDir::Entries(mountPoint_), std::set<std::string>{"r.txt"});
}

}  // namespace
}  // namespace kvitor
