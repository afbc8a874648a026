// SPDX-License-Identifier: MIT
// Copyright The Kvitor authors

// Whole read jobs through a real pseudo-terminal: the serial driver on one
// end, the emulated storage's protocol server on the other.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <nlohmann/json.hpp>
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
  explicit TServedStorage(TWireFaults faults, const std::string& image = kImage,
                          TPtyServer::TServeOptions options = {})
      : wire_(TStorageImage::LoadFile(image), std::move(faults)), server_(wire_) {
    thread_ = std::thread([this, options] { server_.Serve(stop_, options); });
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

std::unique_ptr<TTorvel> SerialDriver(const std::string& port, int baud = kDefaultBaud) {
  TFNSerialTorvel::TOptions options;
  options.Port = port;
  options.Baud = baud;
  // Short waits: a silent request costs one wait.
  options.Link.Answer = std::chrono::milliseconds(60);
  options.Link.SlowAnswer = std::chrono::milliseconds(120);
  options.Link.Settle = std::chrono::milliseconds(20);
  options.Link.WakeUp = std::chrono::milliseconds(2500);
  return std::make_unique<TFNSerialTorvel>(std::move(options));
}

// The representable data file as a storage that hands out one TLV per 46h
// answer, each body twice over so that every document takes 22 to 56 pieces,
// with these wire faults.
std::string OneTlvImage(const test::TScratchDir& dir, const nlohmann::json& faults,
                        const std::string& name = "one-tlv.json", std::size_t documents = 30) {
  nlohmann::json image = nlohmann::json::parse(test::ReadFile(kImage));
  image.erase("block_size");
  image["documents"].erase(image["documents"].begin() + static_cast<std::ptrdiff_t>(documents),
                           image["documents"].end());
  image["storage"]["last_document_number"] = documents;
  for (auto& doc : image["documents"]) {
    const std::string body = doc["tlv"].get<std::string>();
    doc["tlv"] = body + " " + body;
  }
  image["wire_faults"] = faults;
  const std::string path = dir.Path(name);
  test::WriteFile(path, image.dump());
  return path;
}

TWireFaults FaultsOf(const std::string& image) {
  return ParseWireFaults(test::ReadFile(image), image);
}

struct TJobFiles {
  TJobState State = TJobState::None;
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
    controller.SaveReport(dir.Path("r.bin"), TReportFileType::Binary);
    controller.SaveReport(dir.Path("r.txt"), TReportFileType::Text);
    files.Bin = test::ReadFile(dir.Path("r.bin"));
    files.Txt = test::ReadFile(dir.Path("r.txt"));
  }
  return files;
}

// The same job through the emulated driver straight from the data file.
TJobFiles RunImageJob(const std::string& image, const test::TScratchDir& dir) {
  return RunJob(
      [image] {
        TEmulatedTorvel::TOptions options;
        options.ImagePath = image;
        return std::make_unique<TEmulatedTorvel>(options);
      },
      dir);
}

TEST(PtyJobTest, RepresentableFileGivesTheSameFilesAsTheEmulatedDriver) {
  const test::TScratchDir dir;
  const TJobFiles expected = RunImageJob(kImage, dir);
  ASSERT_EQ(expected.State, TJobState::Finished) << expected.Text;
  ASSERT_GT(expected.Bin.size(), 358U);

  const struct {
    const char* Name;
    int Corrupt;
    int Silent;
  } lines[] = {
      {"clean", 0, 0}, {"corrupt_every 5", 5, 0}, {"silent_every 7", 0, 7}, {"both", 5, 7}};
  for (const auto& line : lines) {
    SCOPED_TRACE(line.Name);
    TWireFaults faults = FaultsOf(kImage);  // 256-byte pieces, as the file says
    faults.CorruptEvery = line.Corrupt;
    faults.SilentEvery = line.Silent;
    const TServedStorage storage(faults);
    const TJobFiles got = RunJob([&] { return SerialDriver(storage.Path()); }, dir);
    ASSERT_EQ(got.State, TJobState::Finished) << got.Text;
    EXPECT_TRUE(got.Bin == expected.Bin);
    EXPECT_TRUE(got.Txt == expected.Txt);
  }
}

// The terminal closed between answers or in the middle of one: the job ends
// naming the port, the document and how to go on, and what was read stays
// saveable.
TEST(PtyJobTest, ClosedTerminalEndsTheJobNamingThePortAndKeepsWhatWasRead) {
  const test::TScratchDir dir;
  TWireFaults between;
  between.DisconnectAfter = 60;
  TWireFaults midAnswer;
  midAnswer.CutAfter = 40;
  for (const TWireFaults& faults : {between, midAnswer}) {
    const TServedStorage storage(faults);
    const TJobFiles got = RunJob([&] { return SerialDriver(storage.Path()); }, dir);
    EXPECT_EQ(got.State, TJobState::Failed);
    EXPECT_THAT(got.Text, HasSubstr("потеряна"));
    EXPECT_THAT(got.Text, HasSubstr(storage.Path()));
    EXPECT_THAT(got.Text, HasSubstr("повторите чтение, чтобы продолжить"));
    EXPECT_GT(got.Bin.size(), 358U);
  }
}

TEST(PtyJobTest, WrongStateAnswerEndsTheJobWithItsMeaning) {
  const test::TScratchDir dir;
  TWireFaults faults;
  faults.Answers.push_back({0x45, 7, 0x02});
  const TServedStorage storage(faults);
  const TJobFiles got = RunJob([&] { return SerialDriver(storage.Path()); }, dir);
  EXPECT_EQ(got.State, TJobState::Failed);
  EXPECT_EQ(got.Text,
            "Ошибка: Документ № 7 не прочитан: 2, Неверное состояние ФН (ответ 02h на команду 45h)."
            " Прочитано 6 из 30; повторите чтение, чтобы продолжить");
}

TEST(PtyJobTest, PortIsHeldUntilReleased) {
  const TServedStorage storage({});
  const auto first = SerialDriver(storage.Path());
  const auto second = SerialDriver(storage.Path());
  ASSERT_EQ(first->OpenDevice(), 0);
  EXPECT_EQ(second->QueryStorageStatus(), TTorvelResult::DeviceBusy);
  EXPECT_THAT(Utf16ToUtf8(second->GetText(TTorvelProperty::ResultCodeDescription)),
              HasSubstr("занят"));
  EXPECT_EQ(first->ReleaseDevice(), 0);
  EXPECT_EQ(second->QueryStorageStatus(), 0);
  EXPECT_EQ(second->GetInt(TTorvelProperty::DocumentNumber), 30);
}

TEST(PtyJobTest, ReleasedPortIsKeptForTheNextInstanceThenClosed) {
  const TServedStorage storage({});
  TFNSerialTorvel::TOptions options;
  options.Port = storage.Path();
  options.KeepPortOpen = std::chrono::milliseconds(300);
  TFNSerialTorvel first(options);
  ASSERT_EQ(first.QueryStorageStatus(), 0);
  EXPECT_EQ(first.ReleaseDevice(), 0);
  EXPECT_FALSE(first.HoldsPort());
  // Still open: another opening finds it held, and the next instance takes it.
  EXPECT_THROW(TSerialPort(storage.Path(), kDefaultBaud), TFNPortError);
  TFNSerialTorvel second(options);
  ASSERT_EQ(second.QueryStorageStatus(), 0);
  EXPECT_EQ(second.GetInt(TTorvelProperty::DocumentNumber), 30);
  EXPECT_EQ(second.ReleaseDevice(), 0);
  // Closed once nobody took it in time.
  bool reopened = false;
  for (int i = 0; i < 100 && !reopened; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    try {
      const TSerialPort port(storage.Path(), kDefaultBaud);
      reopened = true;
    } catch (const TFNPortError& e) {
      if (i == 99) ADD_FAILURE() << e.what();
    }
  }
  EXPECT_TRUE(reopened);
}

// Each line in turn: the files are those of the emulated driver.
void ReadsThroughEveryLine(std::initializer_list<const char*> lines, std::size_t documents = 30) {
  const test::TScratchDir dir;
  const std::string clean = OneTlvImage(dir, nlohmann::json::array(), "clean.json", documents);
  const TJobFiles expected = RunImageJob(clean, dir);
  ASSERT_EQ(expected.State, TJobState::Finished) << expected.Text;
  for (const char* line : lines) {
    SCOPED_TRACE(line);
    const std::string image =
        OneTlvImage(dir, nlohmann::json::parse(line), "one-tlv.json", documents);
    const TServedStorage storage(FaultsOf(image), image);
    const TJobFiles got = RunJob([&] { return SerialDriver(storage.Path()); }, dir);
    ASSERT_EQ(got.State, TJobState::Finished) << got.Text;
    EXPECT_EQ(got.Text, "Успешно завершено");
    EXPECT_TRUE(got.Bin == expected.Bin);
    EXPECT_TRUE(got.Txt == expected.Txt);
  }
}

TEST(PtyJobTest, OneTlvPerPieceReadsThroughWhatRealLinesDo) {
  ReadsThroughEveryLine({
      R"([])",
      R"([{"echo": true}])",
      R"([{"length_counts_header": true}])",
      R"([{"late_ms": 450, "command": "41", "document": 3},
          {"late_ms": 450, "command": "45", "document": 9}])",
      R"([{"wake_ms": 1200}, {"echo": true}])",
  });
}

TEST(PtyJobTest, DamageAndLossReadThroughAtRandomAndUpToTheLimitAtAFixedCount) {
  ReadsThroughEveryLine(
      {
          R"([{"damage_percent": 2, "loss_percent": 2, "seed": 7}])",
          // The exact limit of faults at a fixed count: 45h and every piece in
          // one row; the documents take 22 to 56 pieces.
          R"([{"corrupt_every": 58}])",
          R"([{"silent_every": 58}])",
      },
      15);
}

TEST(PtyJobTest, RefusedOptionalQueriesAreFoundElsewhereAndSaid) {
  const test::TScratchDir dir;
  const std::string image = OneTlvImage(
      dir, nlohmann::json::parse(R"([{"command": "10", "code": 1}, {"command": "43", "code": 1},
                                     {"command": "44", "code": 2}])"));
  const TServedStorage storage(FaultsOf(image), image);
  const TJobFiles got = RunJob([&] { return SerialDriver(storage.Path()); }, dir);
  ASSERT_EQ(got.State, TJobState::Finished) << got.Text;
  // Document 1 is the registration report; document 30, a receipt of shift 3.
  EXPECT_THAT(got.Text, HasSubstr("ответ 01h на команду 43h, 02h на команду 44h"));
  EXPECT_THAT(got.Text, HasSubstr("взят из отчета о регистрации, документа 1 (тег 1037)"));
  EXPECT_THAT(got.Text, HasSubstr("число смен взято из документа 30 (тег 1038)"));
  EXPECT_THAT(Cp1251ToUtf8(got.Txt), HasSubstr("0000000001012345"));
  EXPECT_THAT(Cp1251ToUtf8(got.Txt), testing::ContainsRegex("Количество смен +: 3"));

  // A confirmation refused for every document: the read goes on and says so.
  const std::string refused =
      OneTlvImage(dir, nlohmann::json::parse(R"([{"command": "41", "code": 2}])"), "41.json");
  const TServedStorage noTickets(FaultsOf(refused), refused);
  const TJobFiles bare = RunJob([&] { return SerialDriver(noTickets.Path()); }, dir);
  ASSERT_EQ(bare.State, TJobState::Finished) << bare.Text;
  EXPECT_THAT(bare.Text, HasSubstr("Документов без подтверждения оператора из-за ответа 02h на "
                                   "команду 41h (Неверное состояние ФН): 30"));
}

TEST(PtyJobTest, StorageAtAnotherSpeedIsFoundAndNamed) {
  const test::TScratchDir dir;
  TPtyServer::TServeOptions line;
  line.Baud = 115200;
  const TServedStorage storage({}, kImage, line);
  const TJobFiles got = RunJob([&] { return SerialDriver(storage.Path(), 9600); }, dir);
  ASSERT_EQ(got.State, TJobState::Finished) << got.Text;
  EXPECT_THAT(got.Text, HasSubstr("ответил на скорости 115200 бод, а не на заданной 9600 бод"));
  EXPECT_FALSE(got.Bin.empty());
}

TEST(PtyJobTest, LineSlowerThanItsSpeedStillGivesWholeAnswers) {
  const test::TScratchDir dir;
  const std::string image = OneTlvImage(dir, nlohmann::json::array(), "slow.json", 2);
  const TJobFiles expected = RunImageJob(image, dir);
  TPtyServer::TServeOptions line;
  line.PaceBaud = 9600;  // while the port is set to 115200
  const TServedStorage storage(FaultsOf(image), image, line);
  const TJobFiles got = RunJob([&] { return SerialDriver(storage.Path()); }, dir);
  ASSERT_EQ(got.State, TJobState::Finished) << got.Text;
  EXPECT_TRUE(got.Bin == expected.Bin);
}

// The README's command as an ordinary user: the terminal is the user's, and
// the status read and the job share one opening of the port.
TEST(PtyJobTest, CommandLineReadWorksForAnOrdinaryUser) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to act as another user";
  const test::TScratchDir dir;
  constexpr uid_t kUser = 65534;
  ASSERT_EQ(::chmod(dir.Path("").c_str(), 0777), 0);
  const std::string cli = KVITOR_CLI_PATH;
  const std::string script =
      "cd '" + dir.Path("") + "' && export HOME=$PWD XDG_CONFIG_HOME=$PWD XDG_STATE_HOME=$PWD && " +
      cli + " read --image '" + kImage + "' --bin i.bin --txt i.txt >/dev/null 2>&1 && port=$(" +
      KVITOR_FN_EMULATOR_PATH + " --image '" + kImage + "') && " + cli + " read --port $port" +
      " --bin p.bin --txt p.txt >/dev/null 2>err.txt && " + cli + " status --port $port" +
      " >status.txt 2>>err.txt";
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    if (::setgid(kUser) != 0 || ::setuid(kUser) != 0) ::_exit(98);
    ::execl("/bin/sh", "sh", "-c", script.c_str(), static_cast<char*>(nullptr));
    ::_exit(99);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  if (WEXITSTATUS(status) == 98) GTEST_SKIP() << "cannot switch to another user";
  ASSERT_EQ(WEXITSTATUS(status), 0) << test::ReadFile(dir.Path("err.txt"));
  EXPECT_TRUE(test::ReadFile(dir.Path("i.bin")) == test::ReadFile(dir.Path("p.bin")));
  EXPECT_TRUE(test::ReadFile(dir.Path("i.txt")) == test::ReadFile(dir.Path("p.txt")));
  EXPECT_THAT(test::ReadFile(dir.Path("status.txt")), HasSubstr("9999078900012345"));
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
  const TJobFiles expected = RunImageJob(kImage, dir);
  TWireFaults faults;
  faults.DisconnectAfter = 60;
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
  ASSERT_EQ(controller.GetStatus().State, TJobState::Finished) << controller.GetStatus().Text;
  EXPECT_EQ(waitText,
            "Нет связи с ФН на порту " + link + ", ожидание подключения (Ctrl+C — прервать)");
  controller.SaveReport(dir.Path("w.bin"), TReportFileType::Binary);
  EXPECT_TRUE(test::ReadFile(dir.Path("w.bin")) == expected.Bin);
}

}  // namespace
}  // namespace kvitor
