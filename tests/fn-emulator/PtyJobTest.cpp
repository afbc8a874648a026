// SPDX-License-Identifier: MIT
// Copyright The Kvitor authors

// Whole read jobs through a real pseudo-terminal: the serial driver on one
// end, the emulated storage's protocol server on the other.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <thread>

#include "TestSupport.h"
#include "drivers/emulated/EmulatedTorvel.h"
#include "drivers/serial/FNSerialTorvel.h"
#include "fn-emulator/FNWireStorage.h"
#include "fn-emulator/PtyServer.h"
#include "job/MainController.h"
#include "tlv/StringUtils.h"

namespace kvitor {
namespace {

using ::testing::HasSubstr;

const std::string kImage = std::string(KVITOR_TEST_DATA_DIR) + "/fnserial/representable.json";

// The emulated storage served on a new pseudo-terminal by a thread of its own.
class TServedStorage {
 public:
  explicit TServedStorage(TWireFaults faults)
      : wire_(TStorageImage::LoadFile(kImage), std::move(faults)), server_(wire_) {
    thread_ = std::thread([this] { server_.Serve(stop_, {}); });
  }
  ~TServedStorage() {
    stop_ = true;
    thread_.join();
  }
  TServedStorage(const TServedStorage&) = delete;
  TServedStorage& operator=(const TServedStorage&) = delete;

  [[nodiscard]] const std::string& Path() const { return server_.Path(); }

 private:
  TFNWireStorage wire_;
  TPtyServer server_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

std::unique_ptr<TTorvel> SerialDriver(const std::string& port) {
  TFNSerialTorvel::TOptions options;
  options.Port = port;
  // Short waits: a silent request costs one wait.
  options.Link.Answer = std::chrono::milliseconds(150);
  options.Link.SlowAnswer = std::chrono::milliseconds(300);
  return std::make_unique<TFNSerialTorvel>(std::move(options));
}

struct TJobFiles {
  int State = 0;
  std::string Text;
  std::string Bin;
  std::string Txt;
};

// As kvitor-cli read: the status for the last number, the job, both files.
TJobFiles RunJob(const TMainController::TDriverFactory& factory, const test::TScratchDir& dir) {
  const TDriverThreadScope scope;
  TMainController controller(factory);
  controller.SetReconnectWait(std::chrono::seconds(0));
  TJobFiles files;
  try {
    controller.ReadFNStatus();
  } catch (const Error& e) {
    files.Text = e.what();
    return files;
  }
  controller.Start({1, static_cast<int32_t>(controller.FNStatus().LastDocNumber), false});
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(100);
  while (!controller.JobFinished() && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  const TMainControllerStatus status = controller.GetStatus();
  files.State = status.State;
  files.Text = status.Text;
  if (controller.IsReportReady()) {
    controller.SaveReport(dir.Path("r.bin"), 1);
    controller.SaveReport(dir.Path("r.txt"), 2);
    files.Bin = test::ReadFile(dir.Path("r.bin"));
    files.Txt = test::ReadFile(dir.Path("r.txt"));
  }
  return files;
}

TEST(PtyJobTest, RepresentableFileGivesTheSameFilesAsTheEmulatedDriver) {
  const test::TScratchDir dir;
  const TJobFiles expected = RunJob(
      [] {
        TEmulatedTorvel::TOptions options;
        options.ImagePath = kImage;
        return std::make_unique<TEmulatedTorvel>(options);
      },
      dir);
  ASSERT_EQ(expected.State, 3) << expected.Text;
  ASSERT_GT(expected.Bin.size(), 358U);

  const struct {
    const char* Name;
    int Corrupt;
    int Silent;
  } lines[] = {
      {"clean", 0, 0}, {"corrupt_every 5", 5, 0}, {"silent_every 7", 0, 7}, {"both", 5, 7}};
  for (const auto& line : lines) {
    SCOPED_TRACE(line.Name);
    TWireFaults faults;
    faults.CorruptEvery = line.Corrupt;
    faults.SilentEvery = line.Silent;
    const TServedStorage storage(faults);
    const TJobFiles got = RunJob([&] { return SerialDriver(storage.Path()); }, dir);
    ASSERT_EQ(got.State, 3) << got.Text;
    EXPECT_TRUE(got.Bin == expected.Bin);
    EXPECT_TRUE(got.Txt == expected.Txt);
  }
}

TEST(PtyJobTest, ClosedTerminalEndsTheJobWithAnErrorNamingTheDocument) {
  const test::TScratchDir dir;
  TWireFaults faults;
  faults.DisconnectAfter = 25;
  const TServedStorage storage(faults);
  const TJobFiles got = RunJob([&] { return SerialDriver(storage.Path()); }, dir);
  EXPECT_EQ(got.State, 2);
  EXPECT_THAT(got.Text, HasSubstr("Ошибка: "));
  EXPECT_THAT(got.Text, HasSubstr(storage.Path()));
  EXPECT_THAT(got.Text, HasSubstr("повторите чтение, чтобы продолжить"));
  EXPECT_GT(got.Bin.size(), 358U);  // what was read stays saveable
}

TEST(PtyJobTest, WrongStateAnswerEndsTheJobWithItsMeaning) {
  const test::TScratchDir dir;
  TWireFaults faults;
  faults.Answers.push_back({0x45, 7, 0x02});
  const TServedStorage storage(faults);
  const TJobFiles got = RunJob([&] { return SerialDriver(storage.Path()); }, dir);
  EXPECT_EQ(got.State, 2);
  EXPECT_EQ(got.Text,
            "Ошибка: Документ № 7 не прочитан: 2, Неверное состояние ФН (ответ 02h на команду 45h)."
            " Прочитано 6 из 30; повторите чтение, чтобы продолжить");
}

TEST(PtyJobTest, PortIsHeldUntilReleased) {
  const TServedStorage storage({});
  const auto first = SerialDriver(storage.Path());
  const auto second = SerialDriver(storage.Path());
  ASSERT_EQ(first->OpenDevice(), 0);
  EXPECT_EQ(second->QueryStorageStatus(), TFNSerialResult::PortBusy);
  EXPECT_THAT(Utf16ToUtf8(second->GetText(TTorvelProperty::ResultCodeDescription)),
              HasSubstr("занят"));
  EXPECT_EQ(first->ReleaseDevice(), 0);
  EXPECT_EQ(second->QueryStorageStatus(), 0);
  EXPECT_EQ(second->GetInt(TTorvelProperty::DocumentNumber), 30);
}

// The contract's own command line, two processes and a shell.
TEST(PtyJobTest, CommandLineReadThroughThePortMatchesTheDataFile) {
  const test::TScratchDir dir;
  const std::string cli = KVITOR_CLI_PATH;
  const std::string script = "cd '" + dir.Path("") + "' && " + cli + " read --image '" + kImage +
                             "' --bin i.bin --txt i.txt >/dev/null 2>&1 && " + cli +
                             " read --port $(" + KVITOR_FN_EMULATOR_PATH + " --image '" + kImage +
                             "') --trace t.log --bin p.bin --txt p.txt >/dev/null 2>err.txt";
  ASSERT_EQ(std::system(script.c_str()), 0) << test::ReadFile(dir.Path("err.txt"));
  EXPECT_TRUE(test::ReadFile(dir.Path("i.bin")) == test::ReadFile(dir.Path("p.bin")));
  EXPECT_TRUE(test::ReadFile(dir.Path("i.txt")) == test::ReadFile(dir.Path("p.txt")));
  EXPECT_THAT(test::ReadFile(dir.Path("t.log")), HasSubstr(" > 04 01 00 30 FF CD\n"));
}

// A lost line is waited for; the adapter plugged in again shows as a new
// terminal behind the same path, and the read goes on.
TEST(PtyJobTest, APortThatComesBackAtItsPathIsWaitedFor) {
  const test::TScratchDir dir;
  const TJobFiles expected = RunJob(
      [] {
        TEmulatedTorvel::TOptions options;
        options.ImagePath = kImage;
        return std::make_unique<TEmulatedTorvel>(options);
      },
      dir);
  TWireFaults faults;
  faults.DisconnectAfter = 40;
  const TServedStorage first(faults);
  std::optional<TServedStorage> second;
  const std::string link = dir.Path("port");
  std::filesystem::create_symlink(first.Path(), link);

  const TDriverThreadScope scope;
  TMainController controller([&link] { return SerialDriver(link); });
  controller.SetReconnectWait(std::chrono::seconds(30));
  controller.Start({1, 30, false});
  std::string waitText;
  while (!controller.JobFinished()) {
    const std::string text = controller.GetStatus().Text;
    if (!second && text.find("ожидание подключения") != std::string::npos) {
      waitText = text;
      second.emplace(TWireFaults{});
      std::filesystem::create_symlink(second->Path(), link + ".new");
      std::filesystem::rename(link + ".new", link);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  ASSERT_EQ(controller.GetStatus().State, 3) << controller.GetStatus().Text;
  EXPECT_EQ(waitText,
            "Нет связи с ФН на порту " + link + ", ожидание подключения (Ctrl+C — прервать)");
  controller.SaveReport(dir.Path("w.bin"), 1);
  EXPECT_TRUE(test::ReadFile(dir.Path("w.bin")) == expected.Bin);
}

}  // namespace
}  // namespace kvitor
