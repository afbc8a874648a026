// SPDX-License-Identifier: MIT
// Copyright The Kvitor authors

// The serial driver over an in-memory line to the emulated storage: what each
// command fills, what each answer code gives, and every fault of the line.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>

#include "DeviceTestSupport.h"
#include "FNFakeTransport.h"
#include "TestSupport.h"
#include "drivers/TorvelFactory.h"
#include "drivers/TorvelSettings.h"
#include "drivers/serial/FNFrame.h"
#include "drivers/serial/FNSerialTorvel.h"
#include "fn-emulator/FNWireStorage.h"
#include "job/FNReportReader.h"
#include "tlv/StringUtils.h"

namespace kvitor {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;

constexpr const char* kStorage = R"({
  "storage": {"serial_number": "9999078900012345", "status": [3, 1, 2, 4, 8],
              "date": "2026-12-01", "time": "09:30:00", "last_document_number": 3},
  "shift_count": 4,
  "tables": {"18,1,3": "0000000001012345"},
  "block_size": 5,
  "documents": [
    {"number": 1, "type": 1, "tlv": "B9 04 01 00 02 10 04 04 00 01 00 00 00",
     "ticket": {"data": "01", "date": "2026-12-01", "time": "09:01:00",
                "fiscal_sign": "A1B2C3D4E5F6"}},
    {"number": 2, "type": 3, "tlv": "10 04 04 00 02 00 00 00 B9 04 01 00 02 AA"},
    {"number": 3, "type": 5, "tlv": ""}
  ]})";

class FNSerialTorvelTest : public ::testing::Test {
 protected:
  void Serve(TWireFaults faults = {}, const char* json = kStorage) {
    wire_ = std::make_unique<TFNWireStorage>(TStorageImage::LoadText(json, "test.json"), faults);
  }

  // tamper sees every answer (index counts requests from 0) and may change
  // or empty it.
  std::unique_ptr<TFNSerialTorvel> Driver() {
    if (!wire_) Serve();
    TFNSerialTorvel::TOptions options;
    options.Port = "fake-port";
    options.Link.WakeUp = std::chrono::milliseconds(0);
    options.Link.Settle = std::chrono::milliseconds(0);
    options.OpenTransport = [this](const std::string& port, int) {
      auto fake = std::make_unique<TFakeTransport>(
          [this](std::string_view request) {
            const TFrameResult r = DecodeFrame(request, 64);
            EXPECT_EQ(r.Status, TFrameStatus::Frame);
            const int index = static_cast<int>(sent_.size());
            sent_.push_back(r.Code);
            std::string answer = wire_->Handle(r.Code, r.Data).Frame;
            if (tamper_) tamper_(index, r.Code, answer);
            if (unplugAt_ == index) fake_->Unplug();
            return answer;
          },
          port);
      fake_ = fake.get();
      return std::unique_ptr<TFNTransport>(std::move(fake));
    };
    return std::make_unique<TFNSerialTorvel>(std::move(options));
  }

  static std::string Description(TTorvel& driver) {
    return Utf16ToUtf8(driver.GetText(TTorvelProperty::ResultCodeDescription));
  }

  std::unique_ptr<TFNWireStorage> wire_;
  std::vector<uint8_t> sent_;
  std::function<void(int, uint8_t, std::string&)> tamper_;
  int unplugAt_ = -1;
  TFakeTransport* fake_ = nullptr;
};

TEST_F(FNSerialTorvelTest, StatusAndHeaderComeFromTheirCommands) {
  const auto driver = Driver();
  const TFNReportReader reader(driver.get());
  TFNStatusRec status{};
  reader.ReadStorageStatus(status);
  EXPECT_EQ(status.FNStatus2100, 3);
  EXPECT_EQ(status.FNCurrentDocument, 1);
  EXPECT_EQ(status.FNStatus2102, 2);
  EXPECT_EQ(status.FNStatus2103, 4);
  EXPECT_EQ(status.FNStatus2104, 8);
  EXPECT_EQ(status.FNSerialNumber, "9999078900012345");
  EXPECT_DOUBLE_EQ(status.FNTime, (9 * 60 + 30) * 60 / 86400.0);
  EXPECT_EQ(status.LastDocNumber, 3);
  EXPECT_TRUE(driver->HoldsPort());  // reached without OpenDevice

  // The storage has no model parameters: the reader reads table 18 by 43h.
  THeaderParams header;
  reader.ReadHeaderParams(header);
  EXPECT_EQ(header.RegNumber, "0000000001012345");
  EXPECT_EQ(header.FNNumber, "9999078900012345");
  EXPECT_EQ(header.ShiftCount, 4);
  EXPECT_EQ(header.DocumentCount, 3);
  EXPECT_THAT(sent_, ElementsAre(0x30, 0x43, 0x30, 0x10));

  driver->SetInt(TTorvelProperty::TableNumber, 17);
  EXPECT_EQ(driver->ReadTableField(), TTorvelResult::NotSupported);
  EXPECT_EQ(driver->ReleaseDevice(), 0);
  EXPECT_FALSE(driver->HoldsPort());
}

TEST_F(FNSerialTorvelTest, DocumentComesInPiecesThenOneEmptyBlock) {
  const auto driver = Driver();
  const TFNReportReader reader(driver.get());
  TFNDocumentRec rec;
  reader.ReadDocument(2, true, rec);
  EXPECT_EQ(rec.DocType, 3);
  EXPECT_EQ(rec.DataLength, 14);
  EXPECT_EQ(rec.TLVData, test::Bytes("10 04 04 00 02 00 00 00 B9 04 01 00 02 AA"));
  EXPECT_TRUE(rec.Ticket.TicketData.empty());  // 41h answered 08h
  // One TLV per piece (the rest when it is no TLV), then 08h.
  EXPECT_THAT(sent_, ElementsAre(0x45, 0x46, 0x46, 0x46, 0x46, 0x41));
  EXPECT_EQ(driver->ReadDocumentBlock(), TTorvelResult::NoDocumentOpen);

  sent_.clear();
  reader.ReadDocument(1, true, rec);
  // All 18 bytes of the sign, the zero bytes after a shorter one included.
  EXPECT_EQ(rec.Ticket.FiscalSign, "A1B2C3D4E5F6" + std::string(6, '\0'));
  EXPECT_EQ(rec.Ticket.TicketDocNumber, 1);
  EXPECT_FALSE(rec.Ticket.TicketData.empty());
  TDateTimeParts at;
  at.Year = 2026;
  at.Month = 12;
  at.Day = 1;
  at.Hour = 9;
  at.Minute = 1;
  EXPECT_DOUBLE_EQ(rec.Ticket.TicketDateTime, EncodeDateTime(at));

  // An empty document: its end is 08h like any other's.
  sent_.clear();
  reader.ReadDocument(3, false, rec);
  EXPECT_TRUE(rec.TLVData.empty());
  EXPECT_THAT(sent_, ElementsAre(0x45, 0x46));
}

TEST_F(FNSerialTorvelTest, AnswerCodesAreResultCodesWithTheirMeaning) {
  TWireFaults faults;
  faults.Answers.push_back({0x45, 2, 0x02});
  faults.Answers.push_back({0x43, std::nullopt, 0x02});
  Serve(faults);
  const auto driver = Driver();
  driver->SetInt(TTorvelProperty::DocumentNumber, 2);
  EXPECT_EQ(driver->BeginDocumentRead(), 2);
  EXPECT_EQ(Description(*driver), "Неверное состояние ФН (ответ 02h на команду 45h)");
  driver->SetInt(TTorvelProperty::DocumentNumber, 9);
  EXPECT_EQ(driver->BeginDocumentRead(), 8);
  EXPECT_THAT(Description(*driver), HasSubstr("Нет запрошенных данных"));
  EXPECT_EQ(driver->QueryConfirmation(), 8);
  const TFNReportReader reader(driver.get());
  EXPECT_THAT(test::ErrorOf([&] {
                TFNDocumentRec rec;
                reader.ReadDocument(9, true, rec);
              }),
              HasSubstr("8, Нет запрошенных данных"));

  // 43h refused: the registration number is the last registration's tag 1037.
  sent_.clear();
  EXPECT_EQ(reader.ReadRegistrationNumber(), "0000000001012345");
  EXPECT_THAT(sent_, ElementsAre(0x43, 0x44));
  driver->SetInt(TTorvelProperty::ModelParamNumber, 72);
  EXPECT_EQ(driver->QueryModelParameter(), TTorvelResult::NotSupported);

  // Refused both ways and no registration report: read on, empty, and said.
  Serve(faults, R"({"tables": {}})");
  const auto bare = Driver();
  bare->SetInt(TTorvelProperty::TableNumber, 18);
  bare->SetInt(TTorvelProperty::RowNumber, 1);
  bare->SetInt(TTorvelProperty::FieldNumber, 3);
  EXPECT_EQ(bare->ReadTableField(), 0);
  EXPECT_TRUE(bare->GetText(TTorvelProperty::ValueOfFieldString).empty());
  EXPECT_THAT(bare->Warnings(), HasSubstr("ответ 02h на команду 43h, 08h на команду 44h"));
}

TEST_F(FNSerialTorvelTest, LostAndBrokenAnswersAreAskedAgain) {
  tamper_ = [](int index, uint8_t, std::string& answer) {
    switch (index) {
      case 0: answer.clear(); break;                             // silence
      case 1: answer[answer.size() - 1] ^= 0x01; break;          // wrong CRC
      case 2: answer = EncodeFrame(0, "abcd"); break;            // an answer to another command
      case 3: answer = test::Bytes("00 FF 13") + answer; break;  // noise first: read through
      case 4: answer = test::Bytes("04 FF FF"); break;           // a length beyond any answer
      default: break;
    }
  };
  const auto driver = Driver();
  ASSERT_EQ(driver->QueryStorageStatus(), 0);
  EXPECT_EQ(driver->GetInt(TTorvelProperty::DocumentNumber), 3);
  EXPECT_THAT(sent_, ElementsAre(0x30, 0x30, 0x30, 0x30));
  ASSERT_EQ(driver->QueryRegisterStatus(), 0);
  EXPECT_EQ(driver->GetInt(TTorvelProperty::SessionNumber), 4);
  EXPECT_EQ(driver->LineFailures(), 4);
}

TEST_F(FNSerialTorvelTest, LostPieceStartsTheDocumentOverFromItsHeader) {
  tamper_ = [](int index, uint8_t, std::string& answer) {
    if (index == 2) answer.clear();                     // the second 46h
    if (index == 5) answer[answer.size() - 2] ^= 0x10;  // a 46h after the restart
  };
  const auto driver = Driver();
  const TFNReportReader reader(driver.get());
  TFNDocumentRec rec;
  reader.ReadDocument(2, false, rec);
  EXPECT_EQ(rec.TLVData, test::Bytes("10 04 04 00 02 00 00 00 B9 04 01 00 02 AA"));
  // 46h is never asked twice: after each lost piece comes 45h.
  EXPECT_THAT(sent_, ElementsAre(0x45, 0x46, 0x46, 0x45, 0x46, 0x46, 0x45, 0x46, 0x46, 0x46, 0x46));
}

TEST_F(FNSerialTorvelTest, LineFailuresAreErrorsNamingPortAndCommand) {
  // A storage that never answers.
  tamper_ = [](int, uint8_t, std::string& answer) { answer.clear(); };
  const auto silent = Driver();
  const std::string message = test::ErrorOf([&] { silent->QueryStorageStatus(); });
  EXPECT_THAT(message, HasSubstr("fake-port"));
  EXPECT_THAT(message, HasSubstr("30h"));
  EXPECT_THAT(message, HasSubstr("попыток: 4"));
  EXPECT_FALSE(silent->HoldsPort());

  // Every piece lost: an error, never a shorter document.
  sent_.clear();
  tamper_ = [](int, uint8_t code, std::string& answer) {
    if (code == 0x46) answer.clear();
  };
  const auto pieces = Driver();
  pieces->SetInt(TTorvelProperty::DocumentNumber, 2);
  const std::string never = test::ErrorOf([&] { pieces->BeginDocumentRead(); });
  EXPECT_THAT(never, HasSubstr("Документ 2 не прочитан"));
  // Restarts that get no further stop after StaleRestarts of them.
  EXPECT_THAT(never, HasSubstr("(чтение начиналось заново 16 раз)"));
  EXPECT_EQ(std::count(sent_.begin(), sent_.end(), 0x45), 17);

  // A piece longer than what is left of the document is no answer to 46h.
  tamper_ = [](int, uint8_t code, std::string& answer) {
    if (code == 0x46) answer = EncodeFrame(0, std::string(20, 'x'));
  };
  const auto longer = Driver();
  longer->SetInt(TTorvelProperty::DocumentNumber, 2);
  EXPECT_THAT(test::ErrorOf([&] { longer->BeginDocumentRead(); }),
              HasSubstr("ответ 00h с 20 байт данных не подходит к команде"));

  // The adapter unplugged in the middle of a document.
  tamper_ = nullptr;
  sent_.clear();
  unplugAt_ = 2;
  const auto unplugged = Driver();
  unplugged->SetInt(TTorvelProperty::DocumentNumber, 2);
  const std::string lost = test::ErrorOf([&] { unplugged->BeginDocumentRead(); });
  EXPECT_THAT(lost, HasSubstr("потеряна"));
  EXPECT_THAT(lost, HasSubstr("fake-port"));
  EXPECT_THAT(lost, HasSubstr("46h"));
  EXPECT_EQ(unplugged->ReadDocumentBlock(), TTorvelResult::NoDocumentOpen);
}

TEST_F(FNSerialTorvelTest, PortsThatCannotBeOpenedGiveResultCodes) {
  TFNSerialTorvel::TOptions missing;
  missing.Port = "/dev/kvitor-no-such-port";
  TFNSerialTorvel a(missing);
  EXPECT_EQ(a.OpenDevice(), TTorvelResult::PortError);
  EXPECT_THAT(Description(a), HasSubstr("/dev/kvitor-no-such-port"));
  // The system's reason in Russian, whatever the locale.
  EXPECT_THAT(Description(a), HasSubstr("нет такого файла или каталога"));

  TFNSerialTorvel::TOptions notTerminal;
  notTerminal.Port = "/dev/null";
  TFNSerialTorvel b(notTerminal);
  EXPECT_EQ(b.QueryStorageStatus(), TTorvelResult::PortError);
  EXPECT_THAT(Description(b), HasSubstr("не терминал"));

  TFNSerialTorvel::TOptions none;
  TFNSerialTorvel c(none);
  EXPECT_EQ(c.OpenDevice(), TTorvelResult::PortError);

  TFNSerialTorvel::TOptions broken;
  broken.Port = "/dev/null";
  broken.SetupError = "Driver settings \"x\": member baud";
  TFNSerialTorvel d(broken);
  EXPECT_EQ(d.OpenDevice(), TTorvelResult::SetupError);
  EXPECT_THAT(Description(d), HasSubstr("member baud"));
}

TEST_F(FNSerialTorvelTest, AnswersThatDoNotBelongToTheRequestAreReadPast) {
  std::string late;
  tamper_ = [&](int index, uint8_t, std::string& answer) {
    switch (index) {
      case 0:
        answer = EncodeFrame(0x30, "") + answer;
        break;  // the request's echo
      // An answer of another command's size, then the answer.
      case 1: answer = EncodeFrame(0, std::string(27, 'x')) + answer; break;
      case 2:
        late = answer;
        answer.clear();
        break;                                               // comes late ...
      case 3: answer = late + EncodeFrame(0x02, ""); break;  // ... before this attempt's
      default: break;
    }
  };
  const auto driver = Driver();
  ASSERT_EQ(driver->QueryStorageStatus(), 0);
  EXPECT_EQ(driver->GetInt(TTorvelProperty::DocumentNumber), 3);
  ASSERT_EQ(driver->QueryStorageStatus(), 0);
  // After the silent attempt the first answer may be its late one: the second wins.
  EXPECT_EQ(driver->QueryStorageStatus(), 2);
  EXPECT_THAT(sent_, ElementsAre(0x30, 0x30, 0x30, 0x30));
}

TEST_F(FNSerialTorvelTest, LengthOfTheHeaderMayCountTheHeaderAnyOtherTotalIsAnError) {
  int extra = 4;
  tamper_ = [&](int, uint8_t code, std::string& answer) {
    if (code != 0x45) return;
    const TFrameResult r = DecodeFrame(answer, 64);
    TFNDocumentHeader header = ParseDocumentHeader(r.Data);
    header.Length = static_cast<uint16_t>(header.Length + extra);
    answer = EncodeFrame(0, DocumentHeaderData(header));
  };
  const auto driver = Driver();
  const TFNReportReader reader(driver.get());
  TFNDocumentRec rec;
  reader.ReadDocument(2, false, rec);
  EXPECT_EQ(rec.TLVData, test::Bytes("10 04 04 00 02 00 00 00 B9 04 01 00 02 AA"));
  EXPECT_EQ(rec.DataLength, 18);
  extra = 3;
  EXPECT_THAT(test::ErrorOf([&] { reader.ReadDocument(2, false, rec); }),
              HasSubstr("Документ 2: ФН указал длину 17 байт, а передал 14"));
}

TEST_F(FNSerialTorvelTest, DamagedPieceKnownFromAnEarlierRoundDoesNotEndTheRound) {
  // The third 46h is lost in the first round; in the second the first piece
  // comes damaged, yet it is known to have been handed out.
  tamper_ = [](int index, uint8_t, std::string& answer) {
    if (index == 3) answer.clear();
    if (index == 5) answer[answer.size() - 1] ^= 0x01;
  };
  const auto driver = Driver();
  const TFNReportReader reader(driver.get());
  TFNDocumentRec rec;
  reader.ReadDocument(2, false, rec);
  EXPECT_EQ(rec.TLVData, test::Bytes("10 04 04 00 02 00 00 00 B9 04 01 00 02 AA"));
  EXPECT_THAT(sent_, ElementsAre(0x45, 0x46, 0x46, 0x46, 0x45, 0x46, 0x46, 0x46, 0x46));
}

TEST_F(FNSerialTorvelTest, RefusedConfirmationIsAskedAgainThenCountedInTheWarnings) {
  TWireFaults faults;
  faults.Answers.push_back({0x41, std::nullopt, 0x02});
  Serve(faults);
  const auto driver = Driver();
  const TFNReportReader reader(driver.get());
  TFNDocumentRec rec;
  reader.ReadDocument(1, true, rec);
  EXPECT_TRUE(rec.Ticket.TicketData.empty());
  EXPECT_EQ(std::count(sent_.begin(), sent_.end(), 0x41), 4);
  reader.ReadDocument(2, false, rec);  // not asked: lacks one as well
  EXPECT_EQ(driver->Warnings(),
            "Документов без подтверждения оператора из-за ответа 02h на команду 41h (Неверное "
            "состояние ФН): 2");
  EXPECT_EQ(SystemReason(EBUSY), "устройство или ресурс занято");
}

TEST(FNWireFaults, NewMembersAreReadAndBadOnesNamed) {
  const TWireFaults f = ParseWireFaults(
      R"({"block_size": 64, "wire_faults": [{"echo": true}, {"length_counts_header": true},
          {"command": "41", "document": 3, "late_ms": 500}, {"wake_ms": 1500},
          {"damage_percent": 2, "loss_percent": 2.5, "seed": 7}, {"cut_after": 9}]})",
      "f.json");
  EXPECT_TRUE(f.FixedPieces && f.Echo && f.LengthCountsHeader);
  ASSERT_EQ(f.Late.size(), 1U);
  EXPECT_EQ(f.Late[0].Command, 0x41);
  EXPECT_EQ(f.Late[0].Document, 3);
  EXPECT_EQ(f.Late[0].Ms, 500);
  EXPECT_EQ(f.WakeMs, 1500);
  EXPECT_DOUBLE_EQ(f.DamagePercent, 2);
  EXPECT_DOUBLE_EQ(f.LossPercent, 2.5);
  EXPECT_EQ(f.Seed, 7U);
  EXPECT_EQ(f.CutAfter, 9);
  EXPECT_FALSE(ParseWireFaults("{}", "g.json").FixedPieces);
  EXPECT_THAT(test::ErrorOf([] {
                static_cast<void>(
                    ParseWireFaults(R"({"wire_faults": [{"damage_percent": 200}]})", "h.json"));
              }),
              HasSubstr("member wire_faults[0].damage_percent"));
  EXPECT_THAT(test::ErrorOf([] {
                static_cast<void>(ParseWireFaults(R"({"wire_faults": [{"echo": 1}]})", "h.json"));
              }),
              HasSubstr("member wire_faults[0].echo"));
}

TEST(FNSerialSettings, ConnectionPortAndBaudFromSettingsAndEnvironment) {
  const std::string config = test::ScratchFolder("config");
  test::TScopedEnv xdg("XDG_CONFIG_HOME", config);
  test::TScopedEnv image("TORVEL_IMAGE", std::nullopt);
  test::TScopedEnv port("TORVEL_PORT", std::nullopt);
  test::TScopedEnv baud("TORVEL_BAUD", std::nullopt);
  test::TScopedEnv trace("TORVEL_TRACE", std::nullopt);

  TTorvelSettings serial;
  serial.Connection = TTorvelConnection::Serial;
  serial.Port = "/dev/ttyUSB0";
  serial.Baud = 9600;
  SaveTorvelSettings(serial);
  EXPECT_EQ(LoadTorvelSettings(), serial);
  TTorvelChoice choice = EffectiveConnection(LoadTorvelSettings());
  EXPECT_EQ(choice.Connection, TTorvelConnection::Serial);
  EXPECT_EQ(choice.Port, "/dev/ttyUSB0");
  EXPECT_EQ(choice.Baud, 9600);

  const TDriverThreadScope scope;
  EXPECT_NE(dynamic_cast<TFNSerialTorvel*>(CreateTorvel().get()), nullptr);
  {
    // A data file from the environment replaces the settings' port ...
    test::TScopedEnv file("TORVEL_IMAGE", "/tmp/x.json");
    EXPECT_EQ(EffectiveConnection(serial).Connection, TTorvelConnection::Emulator);
    EXPECT_EQ(dynamic_cast<TFNSerialTorvel*>(CreateTorvel().get()), nullptr);
    // ... and a port from the environment wins over both.
    test::TScopedEnv onPort("TORVEL_PORT", "/dev/pts/9");
    test::TScopedEnv speed("TORVEL_BAUD", "57600");
    test::TScopedEnv log("TORVEL_TRACE", "/tmp/t.log");
    choice = EffectiveConnection(TTorvelSettings{});
    EXPECT_EQ(choice.Connection, TTorvelConnection::Serial);
    EXPECT_EQ(choice.Port, "/dev/pts/9");
    EXPECT_EQ(choice.Baud, 57600);
    EXPECT_EQ(choice.TracePath, "/tmp/t.log");
    test::TScopedEnv wrong("TORVEL_BAUD", "1200");
    EXPECT_THAT(test::ErrorOf([] { static_cast<void>(EffectiveConnection(TTorvelSettings{})); }),
                HasSubstr("TORVEL_BAUD"));
  }
  for (const char* bad : {R"({"connection": "tcp"})", R"({"baud": 1200})", R"({"port": 5})"}) {
    test::WriteFile(config + "/torvel/settings.json", bad);
    EXPECT_THAT(test::ErrorOf([] { static_cast<void>(LoadTorvelSettings()); }), HasSubstr("member"))
        << bad;
  }
}

}  // namespace
}  // namespace kvitor
