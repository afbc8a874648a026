#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "BinStream.h"
#include "Error.h"
#include "FNReportBinWriter.h"
#include "FNReportTextWriter.h"
#include "ReportTestUtil.h"

namespace kvitor {
namespace {

using test::ErrorOf;
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

TEST(FaultPaths, FolderOrSpecialFileIsNotReplaced) {
  ScratchDir dir;
  std::filesystem::create_directory(dir.Dir() / "folder.bin");
  ASSERT_EQ(::mkfifo(dir.Path("pipe.txt").c_str(), 0600), 0);
  TFNReport report;
  EXPECT_EQ(ErrorOf([&] { TFNReportBinWriter().SaveToFile(report, dir.Path("folder.bin")); }),
            CannotCreate(dir.Path("folder.bin"), EISDIR));
  EXPECT_EQ(ErrorOf([&] { TFNReportTextWriter().SaveToFile(report, dir.Path("pipe.txt")); }),
            "Cannot create file \"" + dir.Path("pipe.txt") + "\". Not a regular file");
  EXPECT_TRUE(std::filesystem::is_directory(dir.Dir() / "folder.bin"));
  EXPECT_TRUE(std::filesystem::is_fifo(dir.Dir() / "pipe.txt"));
  EXPECT_EQ(dir.Entries(), (std::set<std::string>{"folder.bin", "pipe.txt"}));
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
            CannotCreate(Path("old.bin"), EROFS));
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
