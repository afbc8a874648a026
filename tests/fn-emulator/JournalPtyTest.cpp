// SPDX-License-Identifier: MIT
// Copyright The Kvitor authors

// Interrupted reads through the real paths: a pseudo-terminal that closes, a
// process killed mid-way, a port that comes back at the same path.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <optional>
#include <regex>
#include <set>
#include <sstream>
#include <thread>

#include "TestSupport.h"
#include "drivers/emulated/EmulatedTorvel.h"
#include "drivers/serial/FNSerialTorvel.h"
#include "fn-emulator/FNWireStorage.h"
#include "fn-emulator/PtyServer.h"
#include "job/MainController.h"
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
  const std::regex request(" > 04 05 00 45 ([0-9A-F]{2}) ([0-9A-F]{2}) ([0-9A-F]{2}) ([0-9A-F]{2})");
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
                           " --image faulty.json) --reconnect-wait 0 --bin p.bin 2>err1.txt");
  const std::string err1 = test::ReadFile(dir.Path("err1.txt"));
  EXPECT_EQ(failed, 1) << err1;
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

// The emulated storage on a pseudo-terminal of its own.
class TServed {
 public:
  explicit TServed(TWireFaults faults)
      : wire_(TStorageImage::LoadFile(kData), std::move(faults)), server_(wire_) {
    thread_ = std::thread([this] { server_.Serve(stop_, {}); });
  }
  ~TServed() {
    stop_ = true;
    thread_.join();
  }
  TServed(const TServed&) = delete;
  TServed& operator=(const TServed&) = delete;
  [[nodiscard]] const std::string& Path() const { return server_.Path(); }

 private:
  TFNWireStorage wire_;
  TPtyServer server_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

std::string SavedReport(TMainController& controller, const test::TScratchDir& dir) {
  EXPECT_TRUE(controller.IsReportReady());
  if (!controller.IsReportReady()) return {};
  controller.SaveReport(dir.Path("r.bin"), 1);
  return test::ReadFile(dir.Path("r.bin"));
}

TEST(JournalPtyTest, APortThatComesBackAtItsPathIsWaitedFor) {
  const test::TScratchDir dir;
  const TDriverThreadScope scope;
  std::string expected;
  {
    TMainController reference([] {
      TEmulatedTorvel::TOptions options;
      options.ImagePath = kData;
      return std::make_unique<TEmulatedTorvel>(options);
    });
    reference.Start({1, 30, false});
    while (!reference.JobFinished()) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    expected = SavedReport(reference, dir);
  }

  TWireFaults faults;
  faults.DisconnectAfter = 40;
  std::optional<TServed> first(std::in_place, faults);
  std::optional<TServed> second;
  const std::string link = dir.Path("port");
  std::filesystem::create_symlink(first->Path(), link);
  TMainController controller([&link] {
    TFNSerialTorvel::TOptions options;
    options.Port = link;
    options.Link.Answer = std::chrono::milliseconds(150);
    options.Link.SlowAnswer = std::chrono::milliseconds(300);
    return std::make_unique<TFNSerialTorvel>(std::move(options));
  });
  controller.SetReconnectWait(std::chrono::seconds(30));
  controller.Start({1, 30, false});
  std::string waitText;
  while (!controller.JobFinished()) {
    const std::string text = controller.GetStatus().Text;
    if (!second && text.find("ожидание подключения") != std::string::npos) {
      waitText = text;
      // The adapter plugged in again: a new terminal behind the same path.
      second.emplace(TWireFaults{});
      std::filesystem::create_symlink(second->Path(), link + ".new");
      std::filesystem::rename(link + ".new", link);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  EXPECT_EQ(controller.GetStatus().State, 3) << controller.GetStatus().Text;
  EXPECT_EQ(waitText,
            "Нет связи с ФН на порту " + link + ", ожидание подключения (Ctrl+C — прервать)");
  EXPECT_TRUE(SavedReport(controller, dir) == expected);
}

}  // namespace
}  // namespace kvitor
