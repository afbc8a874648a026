// SPDX-License-Identifier: MIT
// Copyright The Kvitor authors

// The emulated cash register, alone and under the reader.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <thread>

#include "DeviceTestSupport.h"
#include "TestSupport.h"
#include "base/Error.h"
#include "drivers/emulated/EmulatedTorvel.h"
#include "job/FNReportReader.h"
#include "tlv/StringUtils.h"

namespace kvitor {
namespace {

using P = TTorvelProperty;
using R = TTorvelResult;
using ::testing::HasSubstr;

// The worked example of the data file's description.
constexpr std::string_view kExample = R"({
  "storage": {
    "serial_number": "9999078900012345",
    "status": [1, 0, 0, 0, 0],
    "date": "2026-12-01",
    "time": "09:30:00",
    "last_document_number": 40
  },
  "shift_count": 3,
  "model_parameters": { "72": 18 },
  "tables": { "18,1,3": "0000000001012345" },
  "block_size": 256,
  "delay_ms": 0,
  "documents": [
    {
      "number": 1,
      "type": 1,
      "tlv": "EA 03 01 00 01",
      "data_length": 5,
      "ticket": {
        "data": "0102030405",
        "date": "2026-12-01",
        "time": "09:31:05",
        "fiscal_sign": "A1B2C3D4E5F6",
        "document_number": 1
      }
    }
  ],
  "faults": [
    { "operation": "BeginDocumentRead", "document": 7, "code": 55, "description": "Сбой чтения" }
  ]
})";

std::unique_ptr<TEmulatedTorvel> Emulator(const std::string& path) {
  return std::make_unique<TEmulatedTorvel>(TEmulatedTorvel::TOptions{path, std::nullopt, {}});
}

std::string Description(TTorvel& driver) {
  return Utf16ToUtf8(driver.GetText(P::ResultCodeDescription));
}

using test::ErrorOf;

TDateTime Date(int y, int m, int d) { return EncodeDateTime({y, m, d, 0, 0, 0, 0}); }

TEST(deviceEmulator, ServesTheWorkedExample) {
  const auto driver = Emulator(test::ScratchFile("example.json", kExample));
  TFNReportReader reader(driver.get());
  reader.Open();

  TFNStatusRec status;
  reader.ReadStorageStatus(status);
  EXPECT_EQ(status.FNStatus2100, 1);
  EXPECT_EQ(status.FNDate, Date(2026, 12, 1));
  EXPECT_DOUBLE_EQ(status.FNTime, (9 * 3600 + 30 * 60) / 86400.0);
  EXPECT_EQ(status.FNSerialNumber, "9999078900012345");
  EXPECT_EQ(status.LastDocNumber, 40);

  THeaderParams header;
  reader.ReadHeaderParams(header);
  EXPECT_EQ(header, (THeaderParams{"0000000001012345", "9999078900012345", 0, 3, 40}));

  TFNDocumentRec rec;
  reader.ReadDocument(1, true, rec);
  EXPECT_EQ(rec.DocType, 1);
  EXPECT_EQ(rec.DataLength, 5);
  EXPECT_EQ(rec.TLVData, test::Bytes("EA 03 01 00 01"));
  EXPECT_EQ(rec.Ticket.TicketData, "0102030405");
  EXPECT_DOUBLE_EQ(rec.Ticket.TicketDateTime,
                   Date(2026, 12, 1) + (9 * 3600 + 31 * 60 + 5) / 86400.0);
  EXPECT_EQ(rec.Ticket.FiscalSign, "A1B2C3D4E5F6");
  EXPECT_EQ(rec.Ticket.TicketDocNumber, 1);

  EXPECT_EQ(ErrorOf([&] { reader.ReadDocument(2, true, rec); }), "-6, Документ 2 не найден");
}

TEST(deviceEmulator, HandsOutBodiesInBlocksThenOneEmptyBlock) {
  const auto driver = Emulator(test::ScratchFile("blocks.json", R"({
    "block_size": 3,
    "documents": [{"number": 4, "type": 3, "tlv": "00 01 02 03 04 05 06 07 08 98", "data_length": 999},
                  {"number": 5, "type": 2, "tlv": ""}]})"));
  std::vector<std::size_t> sizes;
  EXPECT_EQ(driver->ReadDocumentBlock(), R::NoDocumentOpen);
  driver->SetInt(P::DocumentNumber, 4);
  ASSERT_EQ(driver->BeginDocumentRead(), 0);
  EXPECT_EQ(driver->GetInt(P::DocumentType), 3);
  EXPECT_EQ(driver->GetInt(P::DataLength), 999);
  std::string body;
  while (driver->ReadDocumentBlock() == 0) {
    const std::string block = TLVDataToBytes(driver->GetText(P::TLVData));
    sizes.push_back(block.size());
    body += block;
  }
  EXPECT_EQ(sizes, (std::vector<std::size_t>{3, 3, 3, 1, 0}));
  EXPECT_EQ(body, test::Bytes("00 01 02 03 04 05 06 07 08 98"));
  EXPECT_EQ(Description(*driver), "Нет открытого документа");

  // The byte path gives the same blocks; the text property stays as it was.
  sizes.clear();
  std::string bytes;
  driver->SetInt(P::DocumentNumber, 4);
  ASSERT_EQ(driver->BeginDocumentRead(), 0);
  while (driver->ReadDocumentBlock() == 0) {
    const std::size_t before = bytes.size();
    const std::optional<std::size_t> n = driver->AppendTLVDataBytes(bytes);
    ASSERT_TRUE(n.has_value());
    sizes.push_back(*n);
    EXPECT_EQ(TLVDataToBytes(driver->GetText(P::TLVData)), bytes.substr(before));
  }
  EXPECT_EQ(sizes, (std::vector<std::size_t>{3, 3, 3, 1, 0}));
  EXPECT_EQ(bytes, body);
  driver->SetProperty(P::TLVData, std::u16string(u"set"));
  EXPECT_EQ(driver->AppendTLVDataBytes(bytes), std::nullopt);
  EXPECT_EQ(driver->GetText(P::TLVData), u"set");

  TFNReportReader reader(driver.get());
  TFNDocumentRec rec;
  reader.ReadDocument(4, false, rec);
  EXPECT_EQ(rec.TLVData, body);
  reader.ReadDocument(5, false, rec);
  EXPECT_EQ(rec.TLVData, "");
  EXPECT_EQ(rec.DataLength, 0);
}

TEST(deviceEmulator, MissingConfirmationsAreNonZeroAndGiveNoTicket) {
  const auto driver = Emulator(test::ScratchFile("tickets.json", R"({"documents": [
    {"number": 1, "type": 3},
    {"number": 2, "type": 3, "ticket": null},
    {"number": 3, "type": 3, "ticket": {"data": "Ответ ОФД"}},
    {"number": 4, "type": 3, "ticket": {"data": "x", "document_number": 44}}]})"));
  for (const int64_t number : {1, 2}) {
    driver->SetInt(P::DocumentNumber, number);
    EXPECT_EQ(driver->QueryConfirmation(), R::NoConfirmation);
    EXPECT_EQ(Description(*driver),
              "Нет подтверждения оператора для документа " + std::to_string(number));
  }
  driver->SetInt(P::DocumentNumber, 9);
  EXPECT_EQ(driver->QueryConfirmation(), R::NotFound);

  TFNReportReader reader(driver.get());
  TFNDocumentRec rec;
  reader.ReadDocument(2, true, rec);
  EXPECT_EQ(rec.Ticket, TFNTicketRec{});
  reader.ReadDocument(3, true, rec);
  EXPECT_EQ(rec.Ticket.TicketData, Utf8ToCp1251("Ответ ОФД"));
  EXPECT_EQ(rec.Ticket.TicketDocNumber, 3);
  reader.ReadDocument(4, true, rec);
  EXPECT_EQ(rec.Ticket.TicketDocNumber, 44);
}

TEST(deviceEmulator, FaultsApplyAlwaysOrOnlyToTheirDocument) {
  const auto driver = Emulator(test::ScratchFile("faults.json", R"({
    "documents": [{"number": 6, "type": 3, "tlv": "01 02", "ticket": {"data": "t"}},
                  {"number": 7, "type": 3, "tlv": "03 04", "ticket": {"data": "t"}}],
    "faults": [{"operation": "BeginDocumentRead", "document": 7, "code": 55, "description": "Сбой чтения"},
               {"operation": "QueryConfirmation", "code": 12},
               {"operation": "ReadDocumentBlock", "document": 6, "code": -20}]})"));
  TFNReportReader reader(driver.get());
  TFNDocumentRec rec;
  EXPECT_EQ(ErrorOf([&] { reader.ReadDocument(7, true, rec); }), "55, Сбой чтения");
  // Steering results raise nothing: the block fault ends the body, the
  // confirmation fault leaves the document without a ticket.
  reader.ReadDocument(6, true, rec);
  EXPECT_EQ(rec.TLVData, "");
  EXPECT_EQ(rec.Ticket.TicketData, "");
  driver->SetInt(P::DocumentNumber, 6);
  EXPECT_EQ(driver->QueryConfirmation(), 12);
  EXPECT_EQ(Description(*driver), "");
}

TEST(deviceEmulator, RegistrationNumberFollowsModelParameterAndTables) {
  const auto moved = Emulator(test::ScratchFile("moved.json", R"({
    "model_parameters": {"72": 20}, "tables": {"20,1,3": "РН 42", "18,1,3": "wrong"}})"));
  EXPECT_EQ(TFNReportReader(moved.get()).ReadRegistrationNumber(), Utf8ToCp1251("РН 42"));

  const auto plain = Emulator(test::ScratchFile("plain.json", "{}"));
  EXPECT_EQ(TFNReportReader(plain.get()).ReadRegistrationNumber(), "");

  const auto missing = Emulator(test::ScratchFile("missing.json", R"({"tables": {"1,1,1": "x"}})"));
  EXPECT_EQ(ErrorOf([&] { (void)TFNReportReader(missing.get()).ReadRegistrationNumber(); }),
            "-8, Поле таблицы 18,1,3 не найдено");
  missing->SetInt(P::ModelParamNumber, 5);
  EXPECT_EQ(missing->QueryModelParameter(), R::NotSupported);
}

TEST(deviceEmulator, LastDocumentNumberDefaultsToTheHighest) {
  const auto highest = Emulator(test::ScratchFile("highest.json", R"({"documents": [
    {"number": 12, "type": 3}, {"number": 30, "type": 3}, {"number": 7, "type": 3}]})"));
  TFNStatusRec status;
  TFNReportReader(highest.get()).ReadStorageStatus(status);
  EXPECT_EQ(status.LastDocNumber, 30);

  const auto negative =
      Emulator(test::ScratchFile("negative.json", R"({"storage": {"last_document_number": -5}})"));
  TFNReportReader(negative.get()).ReadStorageStatus(status);
  EXPECT_EQ(status.LastDocNumber, -5);
}

TEST(deviceEmulator, OneInstanceHoldsTheDeviceAtATime) {
  const std::string path =
      test::ScratchFile("busy.json", R"({"documents": [{"number": 1, "type": 3}]})");
  const std::filesystem::path p(path);
  // Another spelling of the same file is the same device.
  const auto a = Emulator(path);
  auto b = Emulator((p.parent_path() / "." / p.filename()).string());
  const auto other = Emulator(test::ScratchFile("other.json", "{}"));

  EXPECT_EQ(a->OpenDevice(), 0);
  EXPECT_TRUE(a->HoldsDevice());
  EXPECT_EQ(b->QueryStorageStatus(), R::DeviceBusy);
  EXPECT_EQ(Description(*b), "Устройство занято другим подключением");
  EXPECT_EQ(b->OpenDevice(), R::DeviceBusy);
  b->SetInt(P::DocumentNumber, 1);
  EXPECT_EQ(b->BeginDocumentRead(), R::DeviceBusy);
  EXPECT_EQ(other->OpenDevice(), 0);
  // Releasing what it does not hold frees nothing.
  EXPECT_EQ(b->ReleaseDevice(), 0);
  EXPECT_TRUE(a->HoldsDevice());

  EXPECT_EQ(a->ReleaseDevice(), 0);
  EXPECT_FALSE(a->HoldsDevice());
  // A query of an instance never opened takes the device too.
  EXPECT_EQ(b->QueryStorageStatus(), 0);
  EXPECT_TRUE(b->HoldsDevice());
  EXPECT_EQ(a->OpenDevice(), R::DeviceBusy);
  b.reset();
  EXPECT_EQ(a->OpenDevice(), 0);
}

TEST(deviceEmulator, BadImageFailsOpenAndStatusWithItsMessage) {
  const std::string path =
      test::ScratchFile("bad.json", R"({"documents": [{"number": 1, "type": 3, "tlv": "0G"}]})");
  const auto driver = Emulator(path);
  const std::string message = "Storage image \"" +
                              std::filesystem::weakly_canonical(path).string() +
                              "\": member documents[0].tlv: bad hexadecimal at offset 1";
  EXPECT_EQ(driver->OpenDevice(), R::SetupError);
  EXPECT_EQ(Description(*driver), message);
  EXPECT_EQ(driver->QueryStorageStatus(), R::SetupError);
  EXPECT_FALSE(driver->HoldsDevice());
  TFNReportReader reader(driver.get());
  EXPECT_EQ(ErrorOf([&] { reader.Open(); }), "-3, " + message);

  // A mended file is picked up by the next operation.
  std::ofstream(path) << R"({"documents": [{"number": 1, "type": 3, "tlv": "0A"}]})";
  EXPECT_EQ(driver->OpenDevice(), 0);
  EXPECT_EQ(Emulator(std::string(KVITOR_TEST_SCRATCH) + "/device/no-such.json")->OpenDevice(),
            R::SetupError);
}

TEST(deviceEmulator, SettingsDialogGoesThroughTheHook) {
  const auto driver = Emulator(test::ScratchFile("dialog.json", "{}"));
  SetSettingsDialogHook({});
  EXPECT_EQ(driver->ShowSettingsDialog(), R::NotSupported);
  EXPECT_EQ(Description(*driver), "Диалог настроек драйвера недоступен");
  int shown = 0;
  SetSettingsDialogHook([&] { return ++shown == 1 ? 0 : 1; });
  EXPECT_EQ(driver->ShowSettingsDialog(), 0);
  EXPECT_EQ(driver->ShowSettingsDialog(), 1);
  EXPECT_EQ(shown, 2);
  EXPECT_FALSE(driver->HoldsDevice());
  SetSettingsDialogHook({});
}

TEST(deviceEmulator, InstancesOnSeveralThreadsReadTheirDocuments) {
  // Twenty documents of 14 bytes, each with its number in byte 4.
  std::string json = R"({"block_size": 7, "documents": [)";
  for (int n = 1; n <= 20; ++n) {
    char entry[160];
    std::snprintf(
        entry, sizeof entry,
        R"(%s{"number": %d, "type": 3, "tlv": "EA 03 01 00 %02X 23 04 05 00 EA 03 01 00 01", "ticket": {"data": "t"}})",
        n > 1 ? "," : "", n, n);
    json += entry;
  }
  json += "]}";
  const std::string shared = test::ScratchFile("shared.json", json);
  std::atomic<int> failures{0};
  // Two threads contend for one device; two read devices of their own.
  const auto work = [&](const std::string& path, bool contend) {
    const auto driver = Emulator(path);
    TFNReportReader reader(driver.get());
    for (int n = 1; n <= 20; ++n) {
      while (contend && driver->OpenDevice() != 0) {
        std::this_thread::yield();
      }
      TFNDocumentRec rec;
      reader.ReadDocument(n, true, rec);
      if (rec.TLVData.size() != 14 || static_cast<unsigned char>(rec.TLVData[4]) != n ||
          rec.Ticket.TicketData != "t") {
        ++failures;
      }
      if (contend) driver->ReleaseDevice();
    }
  };
  std::vector<std::thread> threads;
  threads.emplace_back(work, shared, true);
  threads.emplace_back(work, shared, true);
  threads.emplace_back(work, test::ScratchFile("own1.json", json), false);
  threads.emplace_back(work, test::ScratchFile("own2.json", json), false);
  for (auto& t : threads) t.join();
  EXPECT_EQ(failures, 0);
}

}  // namespace
}  // namespace kvitor
