// SPDX-License-Identifier: MIT
// Copyright The Kvitor authors

// The frame codec, the read-only request builder and the answers' layouts.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>

#include <filesystem>
#include <fstream>
#include <regex>
#include <set>

#include "DeviceTestSupport.h"
#include "FNFakeTransport.h"
#include "TestSupport.h"
#include "drivers/serial/FNCommands.h"
#include "drivers/serial/FNFrame.h"
#include "drivers/serial/FNTrace.h"

namespace kvitor {
namespace {

using test::Bytes;

TEST(FNFrame, CheckVectorsEncodeAndDecode) {
  const struct {
    uint8_t Code;
    const char* Data;
    const char* Frame;
  } vectors[] = {
      {0x30, "", "04 01 00 30 FF CD"}, {0x46, "", "04 01 00 46 AE D3"},
      {0x10, "", "04 01 00 10 9D E9"}, {0x32, "", "04 01 00 32 BD ED"},
      {0x06, "", "04 01 00 06 6A 9B"}, {0x45, "01 00 00 00", "04 05 00 45 01 00 00 00 E2 CC"},
  };
  for (const auto& v : vectors) {
    SCOPED_TRACE(v.Frame);
    const std::string frame = Bytes(v.Frame);
    EXPECT_EQ(EncodeFrame(v.Code, Bytes(v.Data)), frame);
    const TFrameResult r = DecodeFrame(frame, 16);
    EXPECT_EQ(r.Status, TFrameStatus::Frame);
    EXPECT_EQ(r.Consumed, frame.size());
    EXPECT_EQ(r.Code, v.Code);
    EXPECT_EQ(r.Data, Bytes(v.Data));
  }
}

TEST(FNFrame, DecoderResynchronisesAndBoundsTheLength) {
  const std::string good = Bytes("04 05 00 45 01 00 00 00 E2 CC");
  // Every prefix of a frame waits for more.
  for (std::size_t n = 1; n < good.size(); ++n) {
    EXPECT_EQ(DecodeFrame(good.substr(0, n), 16).Status, TFrameStatus::NeedMore) << n;
  }
  // Bytes before a start byte are skipped up to it.
  const TFrameResult skip = DecodeFrame(Bytes("FF 00 30") + good, 16);
  EXPECT_EQ(skip.Status, TFrameStatus::Skip);
  EXPECT_EQ(skip.Consumed, 3U);
  // A length beyond the bound is refused from the three header bytes alone.
  const TFrameResult big = DecodeFrame(Bytes("04 FF FF"), 16);
  EXPECT_EQ(big.Status, TFrameStatus::BadLength);
  EXPECT_EQ(big.Length, 0xFFFFU);
  EXPECT_EQ(DecodeFrame(Bytes("04 00 00 AA BB"), 16).Status, TFrameStatus::BadLength);
  // One changed byte anywhere behind the start byte breaks the CRC; decoding
  // drops the start byte only, so a frame inside is still found.
  for (std::size_t i = 1; i < good.size(); ++i) {
    std::string broken = good;
    broken[i] = static_cast<char>(broken[i] ^ 0x5A);
    const TFrameResult r = DecodeFrame(broken, 0xFFFF);
    EXPECT_TRUE(r.Status == TFrameStatus::BadCrc || r.Status == TFrameStatus::BadLength ||
                r.Status == TFrameStatus::NeedMore)
        << i;
    if (r.Status != TFrameStatus::NeedMore) {
      EXPECT_EQ(r.Consumed, 1U);
    }
  }
  EXPECT_THROW(static_cast<void>(EncodeFrame(0x46, std::string(kMaxFrameData + 1, 'x'))), Error);
}

TEST(FNCommands, OnlyTheReadOnlyCommandsCanBeBuilt) {
  const std::set<int> readOnly = {0x10, 0x30, 0x31, 0x32, 0x33, 0x3A,
                                  0x40, 0x41, 0x43, 0x44, 0x45, 0x46};
  for (int code = 0; code < 256; ++code) {
    SCOPED_TRACE(code);
    EXPECT_EQ(IsReadOnlyCommand(static_cast<uint8_t>(code)), readOnly.count(code) == 1);
    int built = 0;
    for (std::size_t size = 0; size <= 8; ++size) {
      try {
        const TFNRequest request =
            TFNRequest::Make(static_cast<uint8_t>(code), std::string(size, '\1'));
        EXPECT_EQ(request.Code(), code);
        EXPECT_EQ(request.Frame(), EncodeFrame(static_cast<uint8_t>(code), request.Data()));
        ++built;
      } catch (const Error& e) {
        if (readOnly.count(code) == 0) {
          EXPECT_NE(std::string(e.what()).find("только команды чтения"), std::string::npos);
        }
      }
    }
    // A read-only command has one or two valid request sizes; anything else none.
    if (readOnly.count(code) == 1) {
      EXPECT_GE(built, 1);
      EXPECT_LE(built, 2);
    } else {
      EXPECT_EQ(built, 0);
    }
  }
  // The commands that change a storage for good are among the refused.
  for (const int code : {0x02, 0x06, 0x11, 0x19, 0x20, 0x26, 0x60, 0xA2, 0xA3, 0xB0, 0xBF, 0xD0}) {
    EXPECT_FALSE(IsReadOnlyCommand(static_cast<uint8_t>(code))) << code;
  }
  EXPECT_EQ(TFNRequest::ForDocument(TFNCommand::DocumentHeader, 1).Frame(),
            Bytes("04 05 00 45 01 00 00 00 E2 CC"));
  EXPECT_FALSE(TFNRequest::Of(TFNCommand::DocumentPiece).CanRepeat());
  EXPECT_TRUE(TFNRequest::Of(TFNCommand::Status).CanRepeat());
}

TEST(FNCommands, AnswersRoundTripAndRefuseWhatDoesNotFit) {
  TFNStatusAnswer status;
  status.Phase = 3;
  status.Warnings = 8;
  status.DateTime = ParseFNDateTime(Bytes("1A 0C 01 0B 02"));
  status.StorageNumber = "9999078900012345";
  status.LastDocument = -2;
  const std::string data = StatusAnswerData(status);
  ASSERT_EQ(data.size(), 30U);
  const TFNStatusAnswer back = ParseStatusAnswer(data);
  EXPECT_EQ(back.Phase, 3);
  EXPECT_EQ(back.Warnings, 8);
  EXPECT_EQ(back.StorageNumber, "9999078900012345");
  EXPECT_EQ(back.LastDocument, -2);
  EXPECT_EQ(back.DateTime.Date, status.DateTime.Date);
  EXPECT_DOUBLE_EQ(back.DateTime.Time, (11 * 60 + 2) * 60 / 86400.0);
  EXPECT_THROW(static_cast<void>(ParseStatusAnswer(data.substr(0, 29))), Error);

  // Seconds are not on the wire; no date is five zeros; a month 13 is refused.
  EXPECT_EQ(FNDateTimeBytes({status.DateTime.Date, (11 * 3600 + 2 * 60 + 59) / 86400.0}),
            Bytes("1A 0C 01 0B 02"));
  EXPECT_EQ(ParseFNDateTime(Bytes("00 00 00 00 00")).Date, 0);
  EXPECT_THROW(static_cast<void>(ParseFNDateTime(Bytes("1A 0D 01 00 00"))), Error);
  EXPECT_THROW(static_cast<void>(ParseStatusAnswer(Bytes("03 00 00 00 00 1A 02 1E 00 00") +
                                                   std::string(20, ' '))),
               Error);

  TFNConfirmationAnswer c;
  c.DateTime = status.DateTime;
  c.FiscalSign = "A1B2C3D4E5F6";
  c.Number = 7;
  const TFNConfirmationAnswer cb = ParseConfirmationAnswer(ConfirmationAnswerData(c));
  EXPECT_EQ(cb.FiscalSign, std::string("A1B2C3D4E5F6") + std::string(6, '\0'));
  EXPECT_EQ(cb.Number, 7);

  EXPECT_EQ(ParseRegistrationNumber(RegistrationAnswerData("0000000001012345")),
            "0000000001012345");
  EXPECT_EQ(ParseRegistrationParameter(Bytes("0D 04 02 00 41 42"), 1037), "AB");
  EXPECT_EQ(ParseRegistrationParameter(Bytes("0E 04 02 00 41 42"), 1037), std::nullopt);
  EXPECT_EQ(ParseRegistrationParameter(Bytes("0D 04 09 00 41 42"), 1037), std::nullopt);
  EXPECT_EQ(TrimStorageText(std::string("AB \0 \0", 6)), "AB");
  EXPECT_EQ(AnswerCodeMeaning(0x02), "Неверное состояние ФН");
  EXPECT_EQ(AnswerCodeMeaning(0x7F), "Неизвестный код ответа ФН 7Fh");
  // 15h-17h: a meaning, and the code beside it, since one source gives them.
  for (const uint8_t code : {0x15, 0x16, 0x17}) {
    const std::string meaning = AnswerCodeMeaning(code);
    EXPECT_EQ(meaning.find("Неизвестный"), std::string::npos) << meaning;
    EXPECT_NE(meaning.find("(код " + CommandText(code) + ")"), std::string::npos) << meaning;
  }
}

TEST(FNTrace, LogsEachFrameOnALineOfItsOwn) {
  EXPECT_EQ(TraceLine("08:01:02.003", '>', Bytes("04 01 00 30 FF CD")),
            "08:01:02.003 > 04 01 00 30 FF CD");
  const test::TScratchDir dir;
  const std::string path = dir.Path("trace.log");
  const std::string answer = EncodeFrame(0, Bytes("01 02"));
  {
    // Noise, then two frames arriving in one read, the second cut in two.
    auto fake = std::make_unique<TFakeTransport>(
        [&](std::string_view) { return Bytes("FF EE") + answer + answer; });
    TTraceTransport trace(std::move(fake), path);
    trace.Write(EncodeFrame(0x30, ""));
    std::string buffer;
    static_cast<void>(trace.Read(buffer, 2 + answer.size() + 3, std::chrono::milliseconds(0)));
    static_cast<void>(trace.Read(buffer, 100, std::chrono::milliseconds(0)));
  }
  std::ifstream in(path);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  ASSERT_EQ(lines.size(), 4U);
  const std::regex clock("^[0-2][0-9]:[0-5][0-9]:[0-5][0-9]\\.[0-9]{3} ");
  for (const auto& line : lines) EXPECT_TRUE(std::regex_search(line, clock)) << line;
  EXPECT_EQ(lines[0].substr(13), "> 04 01 00 30 FF CD");
  EXPECT_EQ(lines[1].substr(13), "< FF EE");
  EXPECT_EQ(lines[2].substr(13), TraceLine("x", '<', answer).substr(2));
  EXPECT_EQ(lines[3].substr(13), TraceLine("x", '<', answer).substr(2));
}

// The trace holds fiscal data: it is its owner's alone, it is a regular
// file (a pipe without a reader is refused at once, not waited on), and a
// line that cannot be written fails the operation instead of vanishing.
TEST(FNTrace, IsAPrivateRegularFileWhoseLinesAreNeverLostSilently) {
  const test::TScratchDir dir;
  const auto fake = [] {
    return std::make_unique<TFakeTransport>([](std::string_view) { return std::string(); });
  };
  const mode_t mask = ::umask(0);
  { TTraceTransport trace(fake(), dir.Path("trace.log")); }
  ::umask(mask);
  struct stat st {};
  ASSERT_EQ(::stat(dir.Path("trace.log").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);

  ASSERT_EQ(::mkfifo(dir.Path("pipe").c_str(), 0600), 0);
  EXPECT_THROW(TTraceTransport(fake(), dir.Path("pipe")), Error);
  const int reader = ::open(dir.Path("pipe").c_str(), O_RDONLY | O_NONBLOCK);
  EXPECT_THROW(TTraceTransport(fake(), dir.Path("pipe")), Error);
  ::close(reader);
  EXPECT_THROW(TTraceTransport(fake(), "/dev/full"), Error);
  EXPECT_THROW(TTraceTransport(fake(), dir.Dir().string()), Error);

  // A file that may grow no more, as on a full disk.
  EXPECT_EQ(test::InChild([&] {
              std::signal(SIGXFSZ, SIG_IGN);
              const rlimit limit{200, 200};
              if (::setrlimit(RLIMIT_FSIZE, &limit) != 0) return 98;
              TTraceTransport trace(fake(), dir.Path("small.log"));
              try {
                for (int i = 0; i < 20; ++i) trace.Write(EncodeFrame(0x30, ""));
              } catch (const Error& e) {
                return std::string(e.what()).find("small.log") != std::string::npos ? 0 : 2;
              }
              return 1;
            }),
            0);
}

}  // namespace
}  // namespace kvitor
