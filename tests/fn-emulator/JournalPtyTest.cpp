// SPDX-License-Identifier: MIT
// Copyright The Kvitor authors

// Interrupted command-line reads: a pseudo-terminal that closes, a process
// killed mid-way; each continued by the next read.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <regex>
#include <set>
#include <thread>

#include "TestSupport.h"
#include "job/ReadJournal.h"

namespace kvitor {
namespace {

using ::testing::HasSubstr;

const std::string kData = std::string(KVITOR_TEST_DATA_DIR) + "/fnserial/representable.json";
const std::string kCli = KVITOR_CLI_PATH;
const std::string kEmulator = KVITOR_FN_EMULATOR_PATH;

// The data file with these wire faults added.
std::string WithFaults(const std::string& faults) {
  std::string text = test::ReadFile(kData);
  return text.insert(text.find('{') + 1, "\"wire_faults\": " + faults + ",");
}

// Messages in Russian, as the tests expect them.
int Shell(const std::string& script) {
  const int status = std::system(("export LC_ALL=C.UTF-8; " + script).c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// The document numbers that 45h requests asked for in a trace.
std::set<int64_t> AskedDocuments(const std::string& trace) {
  std::set<int64_t> numbers;
  const std::regex request(
      " > 04 05 00 45 ([0-9A-F]{2}) ([0-9A-F]{2}) ([0-9A-F]{2}) ([0-9A-F]{2})");
  for (std::sregex_iterator it(trace.begin(), trace.end(), request), end; it != end; ++it) {
    int64_t n = 0;
    for (int i = 4; i >= 1; --i) n = n * 256 + std::stoi((*it)[i].str(), nullptr, 16);
    numbers.insert(n);
  }
  return numbers;
}

int32_t FromJournal(const std::string& err) {
  std::smatch m;
  return std::regex_search(err, m, std::regex("из журнала документов ([0-9]+)"))
             ? std::stoi(m[1].str())
             : 0;
}

TEST(JournalPtyTest, AClosedLineIsContinuedByTheNextReadAskingOnlyForTheRest) {
  const test::TScratchDir dir;
  test::WriteFile(dir.Path("faulty.json"), WithFaults("[{\"disconnect_after\": 40}]"));
  const std::string cd = "cd '" + dir.Path("") + "' && ";
  ASSERT_EQ(Shell(cd + kCli + " read --image '" + kData + "' --bin i.bin --txt i.txt 2>/dev/null"),
            0);
  const int failed = Shell(cd + kCli + " read --port $(" + kEmulator +
                           " --image faulty.json) --reconnect-wait 1 --bin p.bin 2>err1.txt");
  const std::string err1 = test::ReadFile(dir.Path("err1.txt"));
  EXPECT_EQ(failed, 1) << err1;
  EXPECT_THAT(err1, HasSubstr("ожидание подключения (Ctrl+C — прервать)\n"));  // a second's wait
  EXPECT_THAT(err1, HasSubstr("повторите чтение, чтобы продолжить"));
  EXPECT_THAT(err1, HasSubstr("--last "));
  EXPECT_FALSE(std::filesystem::exists(dir.Path("p.bin")));  // the contract: nothing written

  ASSERT_EQ(Shell(cd + kCli + " read --port $(" + kEmulator + " --image '" + kData +
                  "') --trace t.log --bin p.bin --txt p.txt 2>err2.txt"),
            0)
      << test::ReadFile(dir.Path("err2.txt"));
  const int32_t held = FromJournal(test::ReadFile(dir.Path("err2.txt")));
  EXPECT_GT(held, 0);
  EXPECT_THAT(test::ReadFile(dir.Path("err2.txt")),
              HasSubstr("читаются с № " + std::to_string(held + 1)));
  EXPECT_TRUE(test::ReadFile(dir.Path("i.bin")) == test::ReadFile(dir.Path("p.bin")));
  EXPECT_TRUE(test::ReadFile(dir.Path("i.txt")) == test::ReadFile(dir.Path("p.txt")));
  const std::set<int64_t> asked = AskedDocuments(test::ReadFile(dir.Path("t.log")));
  ASSERT_FALSE(asked.empty());
  EXPECT_EQ(*asked.begin(), held + 1);
  EXPECT_EQ(*asked.rbegin(), 30);
  EXPECT_TRUE(ListJournals(JournalFolder()).empty());  // saved whole
}

TEST(JournalPtyTest, AKilledReadIsContinuedFromItsJournal) {
  const test::TScratchDir dir;
  // The same documents without the delay give the reference files.
  std::string slow = test::ReadFile(std::string(KVITOR_TEST_DATA_DIR) + "/app/slow.json");
  test::WriteFile(dir.Path("slow.json"), slow);
  slow.replace(slow.find("\"delay_ms\": 150"), 15, "\"delay_ms\": 0");
  test::WriteFile(dir.Path("fast.json"), slow);
  const std::string cd = "cd '" + dir.Path("") + "' && ";
  ASSERT_EQ(Shell(cd + kCli + " read --image fast.json --bin i.bin --txt i.txt 2>/dev/null"), 0);

  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    ::execl(kCli.c_str(), kCli.c_str(), "read", "--image", dir.Path("slow.json").c_str(),
            static_cast<char*>(nullptr));
    ::_exit(127);
  }
  // Killed once the journal holds a few documents.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  for (;;) {
    const auto journals = ListJournals(JournalFolder());
    if (!journals.empty() && journals[0].Documents >= 2) break;
    ASSERT_LT(std::chrono::steady_clock::now(), deadline);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  ::kill(child, SIGKILL);
  ::waitpid(child, nullptr, 0);

  ASSERT_EQ(Shell(cd + kCli + " read --image slow.json --bin c.bin --txt c.txt 2>err.txt"), 0);
  const std::string err = test::ReadFile(dir.Path("err.txt"));
  EXPECT_GE(FromJournal(err), 2) << err;
  EXPECT_TRUE(test::ReadFile(dir.Path("i.bin")) == test::ReadFile(dir.Path("c.bin")));
  EXPECT_TRUE(test::ReadFile(dir.Path("i.txt")) == test::ReadFile(dir.Path("c.txt")));
}

}  // namespace
}  // namespace kvitor
