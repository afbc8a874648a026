// SPDX-License-Identifier: MIT
// Copyright The Kvitor authors

#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <nlohmann/json.hpp>
#include <regex>
#include <sstream>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "report/Checksum.h"
#include "tlv/StringUtils.h"

// kvitor-cli run as a separate process against data files of the emulated
// cash register, its output captured in files.
namespace kvitor::test {
namespace {

namespace fs = std::filesystem;

std::string DataFile(const char* name) {
  return std::string(KVITOR_TEST_DATA_DIR) + "/cli/" + name;
}

std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void WriteFile(const fs::path& path, std::string_view content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(content.data(), static_cast<std::streamsize>(content.size()));
}

std::string Le32(uint32_t v) {
  std::string out;
  for (int i = 0; i < 4; ++i) out += static_cast<char>((v >> (8 * i)) & 0xFF);
  return out;
}

uint32_t U32At(std::string_view bytes, std::size_t offset) {
  uint32_t v = 0;
  for (int i = 3; i >= 0; --i)
    v = (v << 8) | static_cast<unsigned char>(bytes[offset + static_cast<std::size_t>(i)]);
  return v;
}

// The checksum of a binary report file's bytes, the checksum field left out.
uint32_t FileChecksum(std::string_view file) {
  return ChecksumUpdate(ChecksumUpdate(kChecksumStart, file.substr(0, 354)), file.substr(358));
}

std::string ChecksumLine1251(uint32_t checksum) {
  char hex[16];
  std::snprintf(hex, sizeof hex, "%08X", checksum);
  return Utf8ToCp1251("Контрольная сумма           : 0x") + hex + "\r\n";
}

// Lines of the text report that stand at the root: one outer container each.
int RootLines(const std::string& text) {
  int count = 0;
  for (std::size_t at = 0; (at = text.find("\r\n650", at)) != std::string::npos; ++at) ++count;
  return count;
}

int Lines(const std::string& text, std::string_view part) {
  int count = 0;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    if (line.find(part) != std::string::npos) ++count;
  }
  return count;
}

struct TRun {
  int Exit = -1;  // the exit status, or -1 when ended by a signal
  int Signal = 0;
  std::string Out, Err;
};

class CliTest : public ::testing::Test {
 protected:
  CliTest() {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    dir_ = fs::path(KVITOR_TEST_SCRATCH) /
           ("cli-" + std::string(info->name()) + "-" + std::to_string(::getpid()));
    fs::remove_all(dir_);
    fs::create_directories(dir_ / "out");
    fs::create_directories(dir_ / "run");
    fs::create_directories(dir_ / "reports");
  }
  ~CliTest() override {
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }

  // A file in the folder that the tests watch for written files.
  [[nodiscard]] std::string Path(const char* name) const { return (dir_ / "out" / name).string(); }
  // A file of the reports made beforehand.
  [[nodiscard]] std::string Report(const char* name) const {
    return (dir_ / "reports" / name).string();
  }
  [[nodiscard]] std::vector<std::string> Written() const {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir_ / "out"))
      names.push_back(entry.path().filename().string());
    return names;
  }

  // A settings file of the driver, in the folder that Run gives as
  // XDG_CONFIG_HOME.
  [[nodiscard]] std::string Settings(std::string_view content) const {
    const fs::path file = dir_ / "run" / "config" / "torvel" / "settings.json";
    fs::create_directories(file.parent_path());
    WriteFile(file, content);
    return file.string();
  }

  // Runs kvitor-cli with a fixed environment: the given locale, no storage
  // image from outside, configuration and state folders of its own; stdin empty.
  TRun Run(const std::vector<std::string>& args, const std::string& locale = "C.UTF-8") {
    const std::string out = stdout_.empty() ? (dir_ / "run" / "stdout").string() : stdout_;
    const std::string err = (dir_ / "run" / "stderr").string();
    std::vector<std::string> env = {"LC_ALL=" + locale,
                                    "LANG=" + locale,
                                    "LANGUAGE=",
                                    "XDG_CONFIG_HOME=" + (dir_ / "run" / "config").string(),
                                    "XDG_STATE_HOME=" + (dir_ / "run" / "state").string(),
                                    "PATH=/usr/bin:/bin"};
    for (const char* keep : {"TSAN_OPTIONS", "ASAN_OPTIONS", "UBSAN_OPTIONS"}) {
      if (const char* value = std::getenv(keep)) env.push_back(std::string(keep) + "=" + value);
    }
    std::vector<std::string> argvText = {KVITOR_CLI_PATH};
    if (!shell_.empty())
      argvText = {"/bin/bash", "-c", "set -o pipefail; " + shell_, KVITOR_CLI_PATH};
    argvText.insert(argvText.end(), args.begin(), args.end());
    std::vector<char*> argv, envp;
    for (auto& a : argvText) argv.push_back(a.data());
    argv.push_back(nullptr);
    for (auto& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    pid_t pid = 0;
    const int spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    TRun run;
    if (spawned != 0) {
      ADD_FAILURE() << "cannot start " << KVITOR_CLI_PATH << ": " << std::strerror(spawned);
      return run;
    }
    if (onStart_) onStart_(pid, err);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (WIFEXITED(status)) run.Exit = WEXITSTATUS(status);
    if (WIFSIGNALED(status)) run.Signal = WTERMSIG(status);
    if (stdout_.empty()) run.Out = ReadFile(out);
    run.Err = ReadFile(err);
    return run;
  }

  // A binary and a text report of the storage file, as `read` writes them.
  void ReadReports(std::string& bin, std::string& text) {
    const TRun run = Run({"read", "--image", DataFile("storage.json"), "--bin", Report("a.bin"),
                          "--txt", Report("b.txt")});
    ASSERT_EQ(run.Exit, 0) << run.Err;
    bin = ReadFile(Report("a.bin"));
    text = ReadFile(Report("b.txt"));
  }

  fs::path dir_;
  std::string stdout_;  // Run's standard output other than its own file
  // A bash pipeline that runs the program as "$0" "$@", instead of itself.
  std::string shell_;
  // Called once the program runs, with its process and its stderr file.
  std::function<void(pid_t, const std::string&)> onStart_;
};

TEST_F(CliTest, VersionPrintsTheFourNumbersAlone) {
  const TRun run = Run({"--version"});
  EXPECT_EQ(run.Exit, 0);
  EXPECT_EQ(run.Out, std::string(KVITOR_PROJECT_VERSION) + "\n");
  EXPECT_EQ(run.Err, "");
}

TEST_F(CliTest, StatusPrintsOneNameValueLinePerField) {
  TRun run = Run({"status", "--image", DataFile("storage.json")});
  ASSERT_EQ(run.Exit, 0) << run.Err;
  EXPECT_EQ(run.Err, "");
  std::istringstream in(run.Out);
  int lines = 0;
  for (std::string line; std::getline(in, line); ++lines) {
    EXPECT_TRUE(std::regex_match(line, std::regex("[A-Za-z0-9]+: .*"))) << line;
  }
  EXPECT_GE(lines, 9);
  EXPECT_EQ(Lines(run.Out, "LastDocNumber: 3"), 1) << run.Out;
  EXPECT_EQ(Lines(run.Out, "FNSerialNumber: 9999078900012345"), 1) << run.Out;

  run = Run({"status", "--image", Path("missing.json")});
  EXPECT_EQ(run.Exit, 1);
  EXPECT_NE(run.Err.find("missing.json"), std::string::npos) << run.Err;
  EXPECT_EQ(run.Out, "");
}

TEST_F(CliTest, ReadWritesBothFilesWithOneChecksum) {
  std::string bin, text;
  ReadReports(bin, text);
  ASSERT_GT(bin.size(), 358U);
  EXPECT_EQ(U32At(bin, 354), FileChecksum(bin));
  EXPECT_NE(text.find(ChecksumLine1251(U32At(bin, 354))), std::string::npos);
  EXPECT_EQ(text.rfind(std::string(57, '-') + "\r\n", 0), 0U);
  // Without --last the range ends at the storage's last document (3), not at
  // the last one it holds (4).
  EXPECT_EQ(RootLines(text), 3);

  const TRun all =
      Run({"read", "--image", DataFile("storage.json"), "--last", "4", "--txt", Path("c.txt")});
  ASSERT_EQ(all.Exit, 0) << all.Err;
  EXPECT_EQ(RootLines(ReadFile(Path("c.txt"))), 4);

  fs::remove(Path("c.txt"));
  const TRun none = Run({"read", "--image", DataFile("storage.json")});
  EXPECT_EQ(none.Exit, 0) << none.Err;
  EXPECT_TRUE(Written().empty()) << "without --bin and --txt nothing is written";
}

TEST_F(CliTest, Ffd12NamesTheNewerTagsAndWithoutItTheReadSaysSoOnce) {
  const std::string storage = Path("ffd12.json");
  WriteFile(storage, R"({"synthetic": {"count": 40, "seed": 5, "ffd12": true}})");
  const std::string hint = "Прочитаны документы ФФД 1.2: включите «Реквизиты ФФД 1.2 и новее»";
  const TRun plain =
      Run({"read", "--image", storage, "--bin", Path("a.bin"), "--txt", Path("a.txt")});
  ASSERT_EQ(plain.Exit, 0) << plain.Err;
  const std::size_t at = plain.Err.find(hint);
  EXPECT_NE(at, std::string::npos) << plain.Err;
  EXPECT_EQ(plain.Err.find(hint, at + 1), std::string::npos) << "said once";
  const std::string unknown = Utf8ToCp1251("НЕИЗВЕСТНЫЙ ТЕГ");
  EXPECT_NE(ReadFile(Path("a.txt")).find(unknown), std::string::npos);

  const TRun newer = Run({"read", "--image", storage, "--ffd12", "--only-1162", "--bin",
                          Path("b.bin"), "--txt", Path("b.txt")});
  ASSERT_EQ(newer.Exit, 0) << newer.Err;
  EXPECT_EQ(newer.Err.find(hint), std::string::npos);
  const std::string text = ReadFile(Path("b.txt"));
  EXPECT_EQ(text.find(unknown), std::string::npos);
  EXPECT_NE(text.find(Utf8ToCp1251(",КОД ТОВАРА:")), std::string::npos);
  EXPECT_GT(RootLines(text), 0);
  // show --ffd12 writes the same text; without the option another.
  ASSERT_EQ(Run({"show", Path("b.bin"), "--ffd12", "--txt", Path("c.txt")}).Exit, 0);
  EXPECT_EQ(ReadFile(Path("c.txt")), text);
  ASSERT_EQ(Run({"show", Path("b.bin"), "--txt", Path("d.txt")}).Exit, 0);
  EXPECT_NE(ReadFile(Path("d.txt")).find(unknown), std::string::npos);
}

TEST_F(CliTest, RangeThatTheControllerRefusesExitsWithTwo) {
  TRun run =
      Run({"read", "--image", DataFile("storage.json"), "--first", "0", "--bin", Path("a.bin")});
  EXPECT_EQ(run.Exit, 2);
  EXPECT_NE(run.Err.find("Неверное значение номера первого документа"), std::string::npos)
      << run.Err;
  run = Run({"read", "--image", DataFile("storage.json"), "--first", "3", "--last", "2", "--txt",
             Path("b.txt")});
  EXPECT_EQ(run.Exit, 2);
  // The controller's message of two lines: each names the program.
  EXPECT_NE(run.Err.find("kvitor-cli: Значение номера первого документа должно \nkvitor-cli: "
                         "быть меньше номера последнего документа\n"),
            std::string::npos)
      << run.Err;
  EXPECT_TRUE(Written().empty());
}

TEST_F(CliTest, FailingJobExitsWithOneAndWritesNothing) {
  const TRun run = Run(
      {"read", "--image", DataFile("fault.json"), "--bin", Path("a.bin"), "--txt", Path("b.txt")});
  EXPECT_EQ(run.Exit, 1);
  EXPECT_EQ(Lines(run.Err,
                  "Ошибка: Документ № 3 не прочитан: 55, Документ не найден в архиве. Прочитано 2 "
                  "из 3; повторите чтение, чтобы продолжить"),
            1)
      << run.Err;
  EXPECT_NE(run.Err.find("--last 2 "), std::string::npos) << run.Err;  // how to go on
  EXPECT_TRUE(Written().empty());
}

TEST_F(CliTest, ShowGivesTheTextThatTheTextWriterWrote) {
  std::string bin, text;
  ReadReports(bin, text);
  const TRun run = Run({"show", Report("a.bin")});
  ASSERT_EQ(run.Exit, 0) << run.Err;
  EXPECT_EQ(run.Out, Cp1251ToUtf8(text));

  const TRun toFile = Run({"show", Report("a.bin"), "--txt", Path("c.txt")});
  ASSERT_EQ(toFile.Exit, 0) << toFile.Err;
  EXPECT_EQ(toFile.Out, "");
  EXPECT_EQ(ReadFile(Path("c.txt")), text);
}

TEST_F(CliTest, ShowExportsToStdoutOrThroughTheSafeWriter) {
  std::string bin, text;
  ReadReports(bin, text);
  for (const char* form : {"--json", "--csv"}) {
    SCOPED_TRACE(form);
    const TRun toStdout = Run({"show", Report("a.bin"), form});
    ASSERT_EQ(toStdout.Exit, 0) << toStdout.Err;
    EXPECT_NE(toStdout.Out, "");
    EXPECT_EQ(Run({"show", Report("a.bin"), std::string(form) + "=-"}).Out, toStdout.Out);
    const TRun toFile = Run({"show", Report("a.bin"), std::string(form) + "=" + Path("e.out")});
    ASSERT_EQ(toFile.Exit, 0) << toFile.Err;
    EXPECT_EQ(toFile.Out, "");
    EXPECT_EQ(ReadFile(Path("e.out")), toStdout.Out);
    // A folder that does not exist: the error names the file, nothing is left.
    const std::string unwritable = (dir_ / "out" / "none" / "e.out").string();
    const TRun refused = Run({"show", Report("a.bin"), std::string(form) + "=" + unwritable});
    EXPECT_EQ(refused.Exit, 1);
    EXPECT_NE(refused.Err.find(unwritable), std::string::npos) << refused.Err;
    fs::remove(Path("e.out"));
    EXPECT_TRUE(Written().empty());
  }
  EXPECT_EQ(Run({"show", Report("a.bin"), "--json", "--csv"}).Exit, 2);
  EXPECT_EQ(Run({"show", Report("a.bin"), "--txt", Path("t"), "--json"}).Exit, 2);
}

// An output that is an input or another output, by any name, is refused
// before anything is read or written; a word after --json is never its value.
TEST_F(CliTest, OutputsThatWouldDestroyAnInputOrEachOtherAreRefused) {
  std::string bin, text;
  ReadReports(bin, text);
  const std::string image = Report("image.json");
  WriteFile(image, ReadFile(DataFile("storage.json")));
  ASSERT_EQ(::symlink(Report("a.bin").c_str(), Report("link.bin").c_str()), 0);
  using TArgs = std::vector<std::string>;
  const std::vector<TArgs> refused = {
      TArgs{"show", Report("a.bin"), "--txt", Report("a.bin")},
      TArgs{"show", Report("a.bin"), "--json=" + Report("a.bin")},
      TArgs{"show", Report("a.bin"), "--csv=" + Report("link.bin")},
      TArgs{"show", Report("link.bin"), "--txt", (dir_ / "reports" / "." / "a.bin").string()},
      TArgs{"read", "--image", image, "--bin", Path("same"), "--txt", Path("same")},
      TArgs{"read", "--image", image, "--bin", image},
      TArgs{"read", "--image", image, "--txt", Path("t"), "--trace", Path("t")},
      // The next word is the input, not the value of --json.
      TArgs{"show", "--json", Report("b.txt"), Report("a.bin")}};
  for (const auto& args : refused) {
    SCOPED_TRACE(args.back());
    const TRun run = Run(args);
    EXPECT_EQ(run.Exit, 2) << run.Err;
    EXPECT_NE(run.Err.find("kvitor-cli: "), std::string::npos) << run.Err;
  }
  EXPECT_EQ(ReadFile(Report("a.bin")), bin);
  EXPECT_EQ(ReadFile(Report("b.txt")), text);
  EXPECT_EQ(ReadFile(image), ReadFile(DataFile("storage.json")));
  EXPECT_TRUE(Written().empty());
  // Devices take several outputs.
  EXPECT_EQ(Run({"read", "--image", image, "--bin", "/dev/null", "--txt", "/dev/null"}).Exit, 0);
}

// A read of hours must not end in nothing saved: every output is checked
// before the first document is read, and a failure names the file.
TEST_F(CliTest, UnwritableOutputIsRefusedBeforeTheRead) {
  const std::string missing = (dir_ / "out" / "none" / "a.bin").string();
  for (const auto& [bin, txt] :
       {std::pair{missing, Path("b.txt")}, std::pair{Path("b.bin"), (dir_ / "out").string()}}) {
    const TRun run =
        Run({"read", "--image", DataFile("progress.json"), "--bin", bin, "--txt", txt});
    EXPECT_EQ(run.Exit, 1) << run.Err;
    EXPECT_EQ(run.Err.rfind("kvitor-cli: Cannot create file \"", 0), 0u) << run.Err;
    // Refused at once: no progress line of the job.
    EXPECT_EQ(run.Err.find("Прочитано"), std::string::npos) << run.Err;
    EXPECT_TRUE(Written().empty());
  }
}

// A write error of show is the output's, with the system's reason, never a
// fault of the file being read.
TEST_F(CliTest, ShowWriteErrorsNameTheOutputAndWhy) {
  std::string bin, text;
  ReadReports(bin, text);
  const std::string full = std::strerror(ENOSPC);
  for (const std::string form : {"--json=/dev/full", "--csv=/dev/full", "--txt"}) {
    SCOPED_TRACE(form);
    std::vector<std::string> args = {"show", Report("a.bin"), form};
    if (form == "--txt") args.emplace_back("/dev/full");
    const TRun run = Run(args);
    EXPECT_EQ(run.Exit, 1);
    EXPECT_EQ(run.Err, "kvitor-cli: Cannot write file \"/dev/full\". " + full + "\n");
  }
  stdout_ = "/dev/full";
  for (const char* form : {"--json", "--csv", "--only-text"}) {
    SCOPED_TRACE(form);
    std::vector<std::string> args = {"show", Report("a.bin")};
    if (std::string_view(form) != "--only-text") args.emplace_back(form);
    const TRun run = Run(args);
    EXPECT_EQ(run.Exit, 1);
    EXPECT_EQ(run.Err, "kvitor-cli: Cannot write to the standard output. " + full + "\n");
  }
  stdout_.clear();
}

TEST_F(CliTest, ShowRefusesWhatIsNotAWholeReportFile) {
  std::string bin, text;
  ReadReports(bin, text);
  std::string changedData = bin;
  changedData[400] = static_cast<char>(changedData[400] ^ 0x01);
  std::string changedHeader = bin;
  changedHeader[310] = static_cast<char>(changedHeader[310] ^ 0x01);
  // Two bytes of TLV data behind a header whose checksum covers them.
  const std::string tlv = "\x01\x02";
  const std::string notTlv =
      bin.substr(0, 354) +
      Le32(ChecksumUpdate(ChecksumUpdate(kChecksumStart, bin.substr(0, 354)), tlv)) + tlv;
  const struct {
    const char* Name;
    std::string Content;
  } cases[] = {
      {"empty.bin", ""},
      {"short.bin", bin.substr(0, 357)},
      {"changed-data.bin", changedData},
      {"changed-header.bin", changedHeader},
      {"not-tlv.bin", notTlv},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    const std::string file = (dir_ / "run" / c.Name).string();
    WriteFile(file, c.Content);
    for (const auto& output : {std::vector<std::string>{"--txt", Path("c.out")},
                               std::vector<std::string>{"--json=" + Path("c.out")},
                               std::vector<std::string>{"--csv=" + Path("c.out")}}) {
      std::vector<std::string> args = {"show", file};
      args.insert(args.end(), output.begin(), output.end());
      const TRun run = Run(args);
      EXPECT_EQ(run.Signal, 0) << "crashed";
      EXPECT_EQ(run.Exit, 1);
      EXPECT_NE(run.Err.find(c.Name), std::string::npos)
          << "the message names the file: " << run.Err;
      EXPECT_TRUE(Written().empty());
    }
    const TRun toStdout = Run({"show", file, "--json"});
    EXPECT_EQ(toStdout.Exit, 1);
    EXPECT_EQ(toStdout.Out, "");
  }
  const TRun missing = Run({"show", (dir_ / "run" / "missing.bin").string()});
  EXPECT_EQ(missing.Exit, 1);
  EXPECT_NE(missing.Err, "");

  // A header alone with its right checksum is a report without documents.
  const std::string header =
      bin.substr(0, 354) + Le32(ChecksumUpdate(kChecksumStart, bin.substr(0, 354)));
  const std::string file = (dir_ / "run" / "header-only.bin").string();
  WriteFile(file, header);
  const TRun run = Run({"show", file});
  EXPECT_EQ(run.Exit, 0) << run.Err;
  EXPECT_EQ(RootLines(Utf8ToCp1251(run.Out)), 0);
}

// A device or a named pipe given as a file is refused at once: none of them
// may be read until memory runs out or block in open.
TEST_F(CliTest, SpecialFilesAreRefusedWithoutWaiting) {
  const std::string pipe = (dir_ / "run" / "pipe").string();
  ASSERT_EQ(::mkfifo(pipe.c_str(), 0600), 0);
  fs::create_directories(dir_ / "run" / "config" / "torvel");
  const std::string settings = (dir_ / "run" / "config" / "torvel" / "settings.json").string();
  ASSERT_EQ(::mkfifo(settings.c_str(), 0600), 0);
  const std::vector<std::vector<std::string>> runs = {
      {"show", "/dev/zero"},
      {"show", pipe},
      {"read", "--image", pipe},
      {"status"},
  };
  for (const auto& args : runs) {
    SCOPED_TRACE(args.back());
    const TRun run = Run(args);
    EXPECT_EQ(run.Exit, 1);
    EXPECT_NE(run.Err.find("Not a regular file"), std::string::npos) << run.Err;
  }
  EXPECT_TRUE(Written().empty());
}

TEST_F(CliTest, BadArgumentsExitWithTwo) {
  const std::vector<std::vector<std::string>> cases = {
      {"--bogus"},
      {"read", "--first", "x"},
      {"read", "--last", "1.5"},
      {"status", "--first", "1"},
      {"show"},
      {"frobnicate"},
      // Not decimal, or empty: no guessing at what was meant.
      {"read", "--first", ""},
      {"read", "--first", "0x10"},
      {"read", "--last", " 3"},
      // A speed the driver refuses.
      {"status", "--port", "/dev/null", "--baud", "1234"},
      {"read", "--port", "/dev/null", "--baud", "0"},
      // Empty file names.
      {"read", "--image", DataFile("storage.json"), "--bin", ""},
      {"read", "--image", DataFile("storage.json"), "--txt", ""},
      {"read", "--image", ""},
      {"show", ""},
      {"show", Path("a.bin"), "--txt", ""},
      {"show", Path("a.bin"), "--json="},
      {"show", Path("a.bin"), "--csv="},
  };
  for (const auto& args : cases) {
    SCOPED_TRACE(args.size() > 1 ? args[args.size() - 2] + " " + args.back() : args.back());
    const TRun run = Run(args);
    EXPECT_EQ(run.Signal, 0);
    EXPECT_EQ(run.Exit, 2);
    EXPECT_NE(run.Err, "");
  }
  EXPECT_TRUE(Written().empty());
}

int Matches(const std::string& text, const std::regex& pattern) {
  return static_cast<int>(std::distance(std::sregex_iterator(text.begin(), text.end(), pattern),
                                        std::sregex_iterator()));
}

TEST_F(CliTest, ProgressIsRedrawnOnATerminalAndElsewhereOneFinalLine) {
  // 40 documents of 50 ms each, read afresh each time: many of the
  // program's polls see the job running.
  const std::vector<std::string> args = {"read",   "--image", DataFile("progress.json"),
                                         "--last", "40",      "--restart"};
  const TRun run = Run(args);
  ASSERT_EQ(run.Exit, 0) << run.Err;
  EXPECT_EQ(run.Err.find('\r'), std::string::npos) << "a redrawn line off a terminal";
  EXPECT_EQ(Matches(run.Err, std::regex(R"(Прочитано документов: \d+ из 40 \(\d+ %\)\n)")), 1)
      << run.Err;
  EXPECT_EQ(Lines(run.Err, "Успешно завершено"), 1) << run.Err;
  EXPECT_EQ(run.Out, "");

  shell_ = R"(script -qefc "$0 $*" /dev/null)";
  const TRun terminal = Run(args);
  ASSERT_EQ(terminal.Exit, 0) << terminal.Out;
  EXPECT_GE(Matches(terminal.Out, std::regex("\rПрочитано документов: \\d+ из 40  \\d+ %")), 2)
      << terminal.Out;
  // A report file is not written onto the terminal.
  const TRun refused = Run({"read", "--image", DataFile("storage.json"), "--txt", "-"});
  EXPECT_EQ(refused.Exit, 2);
  EXPECT_EQ(refused.Out.rfind("kvitor-cli: --txt: ", 0), 0U) << refused.Out;
  shell_.clear();
}

// --quiet leaves the data and the errors; every line of an error begins
// with the program's name, whichever part of it failed.
TEST_F(CliTest, QuietKeepsErrorsAndEveryErrorLineNamesTheProgram) {
  const TRun quiet =
      Run({"-q", "read", "--image", DataFile("storage.json"), "--bin", Path("a.bin")});
  EXPECT_EQ(quiet.Exit, 0) << quiet.Err;
  EXPECT_EQ(quiet.Err + quiet.Out, "");
  EXPECT_EQ(Written().size(), 1U);
  const TRun status = Run({"status", "--quiet", "--image", DataFile("storage.json")});
  EXPECT_EQ(Lines(status.Out, "LastDocNumber: 3"), 1) << status.Out;

  for (const auto& args : std::vector<std::vector<std::string>>{
           {"read", "-q", "--image", DataFile("fault.json"), "--bin", Path("f.bin")},
           {"read", "--image", DataFile("storage.json"), "--first", "3", "--last", "2"},
           {"status", "--bogus"},
           {}}) {
    SCOPED_TRACE(args.empty() ? "" : args.back());
    const TRun run = Run(args);
    EXPECT_NE(run.Exit, 0);
    EXPECT_GE(Lines(run.Err, ""), 2);
    EXPECT_EQ(Lines(run.Err, ""), Matches(run.Err, std::regex("(^|\n)kvitor-cli: "))) << run.Err;
  }
}

// "-" is stdin for show's input, a pipe read twice like a file, and stdout
// for any output, but for one only.
TEST_F(CliTest, DashIsStdinForShowAndStdoutForOneOutput) {
  std::string bin, text;
  ReadReports(bin, text);
  shell_ = "cat " + Report("a.bin") + R"( | "$0" "$@" | cat)";
  const TRun shown = Run({"show", "-"});
  ASSERT_EQ(shown.Exit, 0) << shown.Err;
  EXPECT_EQ(shown.Out, Cp1251ToUtf8(text));
  EXPECT_EQ(Run({"show", "-", "--txt", "-"}).Out, text);
  shell_ = "head -c 400 " + Report("a.bin") + R"( | "$0" "$@")";
  const TRun damaged = Run({"show", "-", "--json"});
  EXPECT_EQ(damaged.Exit, 1);
  EXPECT_EQ(damaged.Err.rfind("kvitor-cli: \"-\" ", 0), 0U) << damaged.Err;
  EXPECT_EQ(damaged.Out, "");

  // The binary file alone on stdout; the text file carries its checksum.
  shell_ = R"("$0" "$@" | cat)";
  const TRun read =
      Run({"read", "--image", DataFile("storage.json"), "--bin", "-", "--txt", Path("t.txt")});
  ASSERT_EQ(read.Exit, 0) << read.Err;
  EXPECT_EQ(read.Out, bin);
  EXPECT_EQ(ReadFile(Path("t.txt")), text);
  // A file that the shell opened to append to is appended to, not replaced.
  WriteFile(Path("log"), "old");
  shell_ = R"("$0" "$@" >> )" + Path("log");
  ASSERT_EQ(Run({"read", "--image", DataFile("storage.json"), "--txt", "-"}).Exit, 0);
  EXPECT_EQ(ReadFile(Path("log")), "old" + text);
  shell_.clear();

  for (const char* other : {"--txt", "--trace"}) {
    const TRun twice = Run({"read", "--image", DataFile("storage.json"), "--bin", "-", other, "-"});
    EXPECT_EQ(twice.Exit, 2) << twice.Err;
    EXPECT_EQ(twice.Out, "");
  }
}

TEST_F(CliTest, StatusJsonHasPlainNamesAndTypedValues) {
  const TRun run = Run({"status", "--json", "--image", DataFile("storage.json")});
  ASSERT_EQ(run.Exit, 0) << run.Err;
  const nlohmann::json status = nlohmann::json::parse(run.Out);
  EXPECT_EQ(status.size(), 9U);
  for (const auto& [key, value] : status.items())
    EXPECT_TRUE(std::regex_match(key, std::regex("[a-z][a-z0-9_]*"))) << key;
  // The data file's storage: status [1, 2, 3, 4, 5], 2026-12-01 09:30:00.
  EXPECT_EQ(status.at("current_document"), 2);
  EXPECT_EQ(status.at("status_2104"), 5);
  EXPECT_EQ(status.at("date"), "2026-12-01");
  EXPECT_EQ(status.at("time"), "09:30:00");
  EXPECT_EQ(status.at("serial_number"), "9999078900012345");
  EXPECT_TRUE(status.at("last_document_number").is_number_integer());
  EXPECT_EQ(status.at("last_document_number"), 3);
}

TEST_F(CliTest, SettingsFileErrorsOfEveryKindAreTheDriversMessageAndExitOne) {
  const struct {
    const char* Content;
    const char* Message;
  } cases[] = {
      {"{\"delay_ms\": 1e400}", "1e400"},
      {"{\"image\": 5}", "member image"},
      {"{", "not JSON"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Content);
    const std::string file = Settings(c.Content);
    for (const auto& args : std::vector<std::vector<std::string>>{
             {"read", "--image", DataFile("storage.json"), "--last", "3", "--bin", Path("a.bin")},
             {"read", "--image", DataFile("storage.json")},
             {"status"}}) {
      SCOPED_TRACE(args.size());
      const TRun run = Run(args);
      EXPECT_EQ(run.Exit, 1);
      EXPECT_NE(run.Err.find("\"" + file + "\""), std::string::npos) << run.Err;
      EXPECT_NE(run.Err.find(c.Message), std::string::npos) << run.Err;
      EXPECT_EQ(run.Err.find("json.exception"), std::string::npos) << run.Err;
    }
  }
  EXPECT_TRUE(Written().empty());
}

TEST_F(CliTest, ControlCharactersFromFilesNeverReachTheTerminal) {
  // Document 1 holds a string with ESC [31m and BEL; reading document 2
  // fails with a description holding ESC, BEL and the C1 control U+009B.
  ASSERT_EQ(
      Run({"read", "--image", DataFile("controls.json"), "--last", "1", "--bin", Report("a.bin")})
          .Exit,
      0);
  const TRun show = Run({"show", Report("a.bin")});
  ASSERT_EQ(show.Exit, 0) << show.Err;
  EXPECT_NE(show.Out.find("B?[31mrea?d"), std::string::npos) << show.Out;
  EXPECT_NE(show.Out.find("\r\n"), std::string::npos) << "line ends stay";

  // The report file keeps the bytes read.
  ASSERT_EQ(Run({"show", Report("a.bin"), "--txt", Path("a.txt")}).Exit, 0);
  EXPECT_NE(ReadFile(Path("a.txt"))
                .find("B\x1b[31mrea\x07"
                      "d"),
            std::string::npos);

  const TRun failed = Run({"read", "--image", DataFile("controls.json"), "--last", "2"});
  EXPECT_EQ(failed.Exit, 1);
  EXPECT_NE(failed.Err.find("Сбой ?[2J? ФН?"), std::string::npos) << failed.Err;
  for (const TRun* run : {&show, &failed}) {
    for (const std::string& text : {run->Out, run->Err}) {
      EXPECT_EQ(text.find_first_of("\x1b\x07"), std::string::npos) << text;
      EXPECT_EQ(text.find("\xC2\x9B"), std::string::npos) << text;
    }
  }
}

TEST_F(CliTest, SignalStopsTheJobSavesWhatWasReadAndExitsWithThree) {
  for (const int signal : {SIGINT, SIGTERM}) {
    SCOPED_TRACE(signal);
    // Once the journal has grown past what it held at the start, a document
    // has been read; the job of 40 documents of 50 ms each has long to go.
    onStart_ = [this, signal](pid_t pid, const std::string&) {
      const auto journal = [this]() -> std::uintmax_t {
        std::error_code ec;
        for (const auto& entry : fs::directory_iterator(dir_ / "run" / "state" / "kvitor", ec))
          return entry.file_size(ec);
        return 0;
      };
      std::uintmax_t start = 0;
      for (int i = 0; i < 6000 && (start = journal()) == 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
      for (int i = 0; i < 6000 && journal() == start; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
      ::kill(pid, signal);
    };
    const TRun run = Run({"read", "--image", DataFile("progress.json"), "--restart", "--bin",
                          Path("s.bin"), "--txt", Path("s.txt")});
    onStart_ = nullptr;
    EXPECT_EQ(run.Signal, 0);
    EXPECT_EQ(run.Exit, 3) << run.Err;
    std::smatch m;
    ASSERT_TRUE(std::regex_search(run.Err, m,
                                  std::regex("\nkvitor-cli: прервано: прочитано (\\d+) из 40\n")))
        << run.Err;
    const int read = std::stoi(m[1]);
    EXPECT_GT(read, 0);
    EXPECT_LT(read, 40);
    EXPECT_EQ(run.Err.find("Успешно завершено"), std::string::npos) << run.Err;
    EXPECT_EQ(RootLines(ReadFile(Path("s.txt"))), read);
    EXPECT_GT(ReadFile(Path("s.bin")).size(), 358U);
  }
}

// Ctrl+C during the save stops it: the file being saved keeps what it had
// and the rest is not written. The binary file goes to a pipe that nobody
// reads, so the save is certainly still running when the signal comes.
TEST_F(CliTest, SignalDuringTheSaveStopsItAndKeepsTheOldFile) {
  const std::string image = (dir_ / "run" / "big.json").string();
  WriteFile(image, R"({"synthetic": {"count": 3000, "seed": 1}})");
  const std::string pipe = (dir_ / "run" / "pipe").string();
  ASSERT_EQ(::mkfifo(pipe.c_str(), 0600), 0);
  const int reader = ::open(pipe.c_str(), O_RDONLY | O_NONBLOCK);
  ASSERT_GE(reader, 0);
  WriteFile(Path("old.txt"), "old");
  for (const int signal : {SIGINT, SIGTERM}) {
    SCOPED_TRACE(signal);
    onStart_ = [signal](pid_t pid, const std::string& err) {
      for (int i = 0; i < 6000 && ReadFile(err).find("Успешно завершено") == std::string::npos; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
      ::kill(pid, signal);
    };
    const TRun run = Run({"read", "--image", image, "--bin", pipe, "--txt", Path("old.txt")});
    onStart_ = nullptr;
    EXPECT_EQ(run.Signal, 0);
    EXPECT_EQ(run.Exit, 3) << run.Err;
    EXPECT_NE(run.Err.find("прервано: сохранение остановлено"), std::string::npos) << run.Err;
    EXPECT_EQ(ReadFile(Path("old.txt")), "old");
    EXPECT_EQ(Written(), std::vector<std::string>{"old.txt"});
    // Empties the pipe for the next round.
    std::string drain(1 << 16, '\0');
    while (::read(reader, drain.data(), drain.size()) > 0) {
    }
  }
  ::close(reader);
}

// The language of the locale on every line the program writes of its own:
// English under en_US, Russian under ru_RU (Latin only in names of files,
// options, commands, variables and placeholders), whichever path it takes.
TEST_F(CliTest, EveryLineIsInTheLocalesLanguage) {
  std::string bin, text;
  ReadReports(bin, text);
  bin.back() = static_cast<char>(bin.back() ^ 1);
  WriteFile(Report("damaged.bin"), bin);
  WriteFile(Report("bad.json"), "{\"storage\": ");
  const std::string image = DataFile("storage.json");
  const std::vector<std::vector<std::string>> paths = {
      {"--bogus"},
      {"show"},
      {"read", "--first", "x"},
      {"show", Report("none.bin")},
      {"show", Report("damaged.bin")},
      {"status", "--image", Report("bad.json")},
      {"read", "--image", image, "--txt", (dir_ / "out" / "none" / "a.txt").string()},
      {"read", "--image", image, "--first", "3", "--last", "2"},
      {"read", "--image", image, "--bin", Path("a.bin")},
      {"--help"},
      {"read", "--help"},
      {"show", "--help"}};
  const auto cyrillic = [](const std::string& s) { return s.find_first_of("\xD0\xD1") != s.npos; };
  const std::regex names(
      R"(\S*/\S*|--?[a-z0-9-]+|0x[0-9A-F]+|\b[A-Z0-9_]{2,}\b|kvitor-cli|Ctrl\+C|SIGTERM|)"
      R"(\b(status|read|journal|show|list|remove)\b)");
  const std::regex word("[A-Za-z]{2,}");
  for (const auto& args : paths) {
    SCOPED_TRACE(args.front() + " " + args.back());
    const TRun en = Run(args, "en_US.UTF-8");
    const TRun ru = Run(args, "ru_RU.UTF-8");
    EXPECT_EQ(ru.Exit, en.Exit);
    EXPECT_FALSE(cyrillic(en.Out + en.Err)) << en.Out << en.Err;
    EXPECT_TRUE(cyrillic(ru.Out + ru.Err)) << ru.Out << ru.Err;
    std::istringstream in(ru.Out + ru.Err);
    for (std::string line; std::getline(in, line);) {
      EXPECT_FALSE(std::regex_search(std::regex_replace(line, names, ""), word)) << line;
    }
  }
}

// Dates and times that no format fixes are ISO 8601 in every locale.
TEST_F(CliTest, StatusTellsDateAndTimeInOneFormInEveryLocale) {
  const TRun run = Run({"status", "--image", DataFile("storage.json")});
  ASSERT_EQ(run.Exit, 0) << run.Err;
  EXPECT_TRUE(std::regex_search(run.Out, std::regex("\nFNDate: \\d{4}-\\d{2}-\\d{2}\n")))
      << run.Out;
  EXPECT_TRUE(std::regex_search(run.Out, std::regex("\nFNTime: \\d{2}:\\d{2}:\\d{2}\n")))
      << run.Out;
  for (const char* locale : {"en_US.UTF-8", "ru_RU.UTF-8", "de_DE.UTF-8"}) {
    EXPECT_EQ(Run({"status", "--image", DataFile("storage.json")}, locale).Out, run.Out) << locale;
  }
}

// Each catalogue translates every text it holds, none left fuzzy.
TEST(Catalogues, TranslateEveryText) {
  for (const char* name : {"en.po", "ru.po"}) {
    SCOPED_TRACE(name);
    std::ifstream in(std::string(KVITOR_PO_DIR) + "/" + name);
    ASSERT_TRUE(in) << name;
    std::string entry, part, msgid, msgstr;
    bool fuzzy = false;
    int entries = 0;
    const auto check = [&] {
      if (!msgid.empty()) {
        ++entries;
        EXPECT_FALSE(msgstr.empty()) << "untranslated: " << msgid;
        EXPECT_FALSE(fuzzy) << "fuzzy: " << msgid;
      }
      msgid.clear();
      msgstr.clear();
      fuzzy = false;
    };
    std::string* into = nullptr;
    for (std::string line; std::getline(in, line);) {
      if (line.empty()) {
        check();
        into = nullptr;
      } else if (line.rfind("#,", 0) == 0) {
        fuzzy = line.find("fuzzy") != std::string::npos;
      } else if (line.rfind("msgid \"", 0) == 0 || line.rfind("msgstr \"", 0) == 0) {
        into = line[3] == 'i' ? &msgid : &msgstr;
        *into += line.substr(line.find('"') + 1, line.size() - line.find('"') - 2);
      } else if (line.front() == '"' && into != nullptr) {
        *into += line.substr(1, line.size() - 2);
      }
    }
    check();
    EXPECT_GT(entries, 100);
  }
}

}  // namespace
}  // namespace kvitor::test
