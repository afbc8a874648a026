// SPDX-License-Identifier: MIT
// Copyright The Kvitor authors

#include "FuzzTargets.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <iterator>
#include <limits>
#include <memory>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include <unistd.h>

#include <ostream>
#include <streambuf>

#include "FNFakeTransport.h"
#include "FNReportBinReader.h"
#include "base/Error.h"
#include "base/Stream.h"
#include "cli/Cli.h"
#include "drivers/TorvelSettings.h"
#include "drivers/emulated/StorageImage.h"
#include "drivers/serial/FNCommands.h"
#include "drivers/serial/FNFrame.h"
#include "drivers/serial/FNSerialTorvel.h"
#include "fn-emulator/FNWireStorage.h"
#include "report/Checksum.h"
#include "report/FNReport.h"
#include "report/FNReportBinWriter.h"
#include "report/FNReportTextWriter.h"
#include "report/ReportExport.h"
#include "tlv/BinStream.h"
#include "tlv/TLVParser.h"
#include "tlv/TLVTag.h"

namespace kvitor::fuzz {
namespace {

[[noreturn]] void Broken(const char* what) {
  std::fprintf(stderr, "fuzz invariant broken: %s\n", what);
  std::abort();
}

// Every node's report line, walked with a stack: the input decides the depth.
void RenderAll(const TTLVTags& tags) {
  std::vector<const TTLVTags*> lists{&tags};
  while (!lists.empty()) {
    const TTLVTags* list = lists.back();
    lists.pop_back();
    for (const auto& tag : *list) {
      try {
        (void)tag->TagText(true);
      } catch (const Error&) {
        // A value the dictionary type cannot show is refused, not a fault.
      }
      lists.push_back(&tag->Children());
    }
  }
}

// The encoding, or nothing when a length does not fit its field.
bool TryEncode(const TTLVTags& tags, std::string& out) {
  try {
    out = tags.Encode();
    return true;
  } catch (const Error&) {
    return false;
  }
}

// One parser for the process: building its dictionary index per input would
// cost more than most inputs.
TTLVParser& Parser() {
  static TTLVParser parser;
  return parser;
}

void Store32(std::string& bytes, std::size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) bytes[at + i] = static_cast<char>((v >> (8 * i)) & 0xFF);
}

// Keeps only the length and a digest of what is written, so that a deep
// file's text (hundreds of megabytes) costs no memory. The digest is taken
// over fixed blocks through the library's string hash, whatever the
// writes' sizes: much cheaper than a checksum loop under the fuzzer's
// instrumentation.
class TDigestStream final : public TStream {
 public:
  std::size_t Read(void*, std::size_t) override { return 0; }
  std::size_t Write(const void* buffer, std::size_t size) override {
    std::string_view bytes(static_cast<const char*>(buffer), size);
    size_ += static_cast<int64_t>(size);
    while (!bytes.empty()) {
      const std::size_t n = std::min(bytes.size(), kBlock - block_.size());
      block_.append(bytes.substr(0, n));
      bytes.remove_prefix(n);
      if (block_.size() == kBlock) Mix();
    }
    return size;
  }
  [[nodiscard]] int64_t Position() const override { return size_; }
  void SetPosition(int64_t) override {}
  [[nodiscard]] int64_t Size() const override { return size_; }
  [[nodiscard]] std::size_t Digest() {
    Mix();
    return digest_;
  }

 private:
  static constexpr std::size_t kBlock = 1 << 16;
  void Mix() {
    digest_ = digest_ * 1099511628211U ^ std::hash<std::string_view>{}(block_);
    block_.clear();
  }
  std::string block_;
  std::size_t digest_ = 0;
  int64_t size_ = 0;
};

void Show(TFNReportBinReader& reader, std::string_view bytes) {
  try {
    reader.Load(bytes, "fuzz");
  } catch (const Error&) {
    return;
  }
  TDigestStream out;
  try {
    WriteReportText(reader.Header(), reader.Tags(), out);
  } catch (const Error&) {
    // A tag that cannot be rendered ends the text with its error.
  }
}

// Swallows what the terminal would get.
class TNullBuffer final : public std::streambuf {
 protected:
  int_type overflow(int_type c) override { return traits_type::not_eof(c); }
  std::streamsize xsputn(const char*, std::streamsize n) override { return n; }
};

// The input's file, one per process.
const std::string& ShowFile() {
  static const std::string name = [] {
    const char* folder = std::getenv("TMPDIR");
    return std::string(folder != nullptr && *folder != '\0' ? folder : "/tmp") +
           "/kvitor-fuzz-show-" + std::to_string(::getpid()) + ".bin";
  }();
  return name;
}

// form: the CLI's output form for this input, "" for the text.
void ShowFromFile(std::string_view bytes, const char* form) {
  const std::string& file = ShowFile();
  {
    std::FILE* out = std::fopen(file.c_str(), "wb");
    if (out == nullptr) Broken("cannot write the input's file");
    const bool written = std::fwrite(bytes.data(), 1, bytes.size(), out) == bytes.size();
    if (std::fclose(out) != 0 || !written) Broken("cannot write the input's file");
  }
  TNullBuffer nothing;
  std::ostream out(&nothing);
  std::vector<std::string> args = {"kvitor-cli", "show", file};
  if (*form != '\0') args.emplace_back(form);
  std::vector<char*> argv;
  for (auto& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  static_cast<void>(RunCli(static_cast<int>(args.size()), argv.data(), out, out));
  // The streamed text is the loaded tree's text, or both refuse. Compared by
  // length and checksum: a deep file's text runs to hundreds of megabytes.
  TDigestStream tree;
  bool treeShown = true;
  try {
    TFNReportBinReader reader;
    reader.LoadFromFile(file);
    WriteReportText(reader.Header(), reader.Tags(), tree);
  } catch (const Error&) {
    treeShown = false;
  }
  try {
    TDigestStream streamed;
    TReportExport(file).Write(TExportForm::Text, streamed);
    if (!treeShown) Broken("the export shows a file that the text refuses");
    if (streamed.Size() != tree.Size() || streamed.Digest() != tree.Digest())
      Broken("the streamed text differs from the tree's");
  } catch (const Error&) {
    if (treeShown) Broken("the export refuses a file that the text shows");
  }
  std::remove(file.c_str());
}

void LookUp(const TStorageImage& image, int64_t number) {
  const auto doc = image.FindDocument(number);
  const auto ticket = image.FindTicket(number);
  if (doc.has_value() != image.HasDocument(number))
    Broken("FindDocument disagrees with HasDocument");
  if (!doc) {
    if (ticket) Broken("a confirmation without its document");
    return;
  }
  if (doc->Number != number) Broken("FindDocument gave another number");
  if (doc->Ticket.has_value() != ticket.has_value())
    Broken("FindTicket disagrees with FindDocument");
}

}  // namespace

void RunTlv(std::string_view data) {
  TTLVParser& parser = Parser();
  try {
    parser.Parse(data);
  } catch (const Error&) {
    return;
  }
  const TTLVTags& tags = parser.Tags();
  RenderAll(tags);
  TTLVTags copy;
  copy.Assign(tags);
  if (copy.Count() != tags.Count()) Broken("a copy with another tag count");
  std::string original;
  std::string copied;
  const bool encoded = TryEncode(tags, original);
  if (TryEncode(copy, copied) != encoded || copied != original) {
    Broken("a copy that encodes differently");
  }
}

void RunReportFile(std::string_view data) {
  static TFNReportBinReader reader;
  Show(reader, data);
  constexpr std::size_t kHeader = TFNReportBinWriter::kHeaderSize;
  constexpr std::size_t kChecksumAt = kHeader - 4;
  if (data.size() < kHeader) return;
  std::string fixed(data);
  const uint32_t crc = ChecksumUpdate(ChecksumUpdate(kChecksumStart, data.substr(0, kChecksumAt)),
                                      data.substr(kHeader));
  Store32(fixed, kChecksumAt, crc);
  Show(reader, fixed);
}

std::size_t GrowReportFile(uint8_t* data, std::size_t size, std::size_t maxSize, unsigned seed) {
  constexpr std::size_t kHeader = TFNReportBinWriter::kHeaderSize;
  constexpr std::size_t kMaxValue = 0xFFFF;
  if (size <= kHeader || size > maxSize) return 0;
  std::minstd_rand random(seed);
  const auto below = [&](std::size_t n) { return n == 0 ? 0 : random() % n; };
  std::string body(reinterpret_cast<const char*>(data) + kHeader, size - kHeader);
  const std::size_t room = maxSize - kHeader;
  if (random() % 4 == 0) {
    // Repeated: long inputs with many items.
    const std::string once = body;
    while (body.size() + once.size() <= room) body += once;
  } else {
    // A stretch wrapped level upon level in a product container, which every
    // dictionary descends into.
    const std::size_t begin = below(body.size());
    const std::size_t inner = 1 + below(std::min(body.size() - begin, kMaxValue));
    const std::size_t levels =
        std::min({1 + below(20000), (kMaxValue - inner) / 4 + 1, (room - body.size()) / 4});
    std::string headers;
    for (std::size_t level = levels; level > 0; --level) {
      const std::size_t length = inner + 4 * (level - 1);
      headers += {'\x23', '\x04', static_cast<char>(length & 0xFF), static_cast<char>(length >> 8)};
    }
    body.insert(begin, headers);
  }
  if (kHeader + body.size() > maxSize) return 0;
  std::memcpy(data + kHeader, body.data(), body.size());
  return kHeader + body.size();
}

void RunShow(std::string_view data) {
  // One form of the command per input, picked by its length: each form
  // still meets every kind of input, at a third of the cost.
  constexpr const char* kForms[] = {"", "--json", "--csv"};
  const char* form = kForms[data.size() % std::size(kForms)];
  ShowFromFile(data, form);
  constexpr std::size_t kHeader = TFNReportBinWriter::kHeaderSize;
  if (data.size() < kHeader) return;
  std::string fixed(data);
  Store32(fixed, kHeader - 4,
          ChecksumUpdate(ChecksumUpdate(kChecksumStart, data.substr(0, kHeader - 4)),
                         data.substr(kHeader)));
  ShowFromFile(fixed, form);
}

void RunReportBuild(std::string_view data) {
  constexpr int32_t kTypes[] = {0, 1, 2, 3, 4, 5, 6, 7, 11, 21, 31, 41, 8, 22};
  std::size_t pos = 0;
  const auto next = [&]() -> uint8_t {
    return pos < data.size() ? static_cast<uint8_t>(data[pos++]) : uint8_t{0};
  };
  const auto take = [&](std::size_t n) {
    const std::string_view part = data.substr(std::min(pos, data.size()), n);
    pos += part.size();
    return part;
  };
  TFNReport report;
  const uint8_t options = next();
  for (int32_t number = 1; pos < data.size(); ++number) {
    // Per document: type, flags (confirmed, body repeated, sign length),
    // the sign, a 16-bit body length and the body.
    TFNDocumentRec rec;
    rec.DocNumber = number;
    rec.DocType = kTypes[next() % std::size(kTypes)];
    const uint8_t flags = next();
    const std::string_view sign = take(flags >> 2);
    if ((flags & 1) != 0) {
      rec.Ticket.TicketData = "1";
      rec.Ticket.TicketDateTime = 46000.5 + number;
      rec.Ticket.FiscalSign = std::string(sign);
    }
    const std::size_t length = next() | std::size_t{next()} << 8;
    const std::string_view body = take(length);
    // Repeated, a small input reaches lengths the encoding cannot carry.
    for (int i = (flags & 2) != 0 ? 24 : 1; i > 0; --i) rec.TLVData += body;
    report.AddDocument(rec);
  }
  TFNReportHeader header;
  header.ReportName = "fuzz";
  report.SetHeader(header);
  try {
    report.Build((options & 1) != 0);
  } catch (const Error&) {
    // A body the parser refuses ends Build; the documents before it stand.
  }
  if (report.ContainerCount() != static_cast<std::size_t>(report.Tags().Count()))
    Broken("one outer container per document taken in");

  std::string encoded, nodes;
  const bool encodable = [&] {
    try {
      report.EncodeTree([&encoded](std::string_view piece) { encoded += piece; });
      return true;
    } catch (const Error&) {
      return false;
    }
  }();
  if (encodable != TryEncode(report.Tags(), nodes)) Broken("refused exactly when nodes are");
  if (encodable) {
    if (encoded != nodes) Broken("the encoding from the bodies equals the nodes'");
    const uint32_t checksum = TFNReportBinWriter::CalcChecksum(report);
    if (checksum !=
            ChecksumUpdate(ChecksumUpdate(kChecksumStart, EncodeReportHeader(report.Header())),
                           encoded) ||
        checksum != TFNReportBinWriter::CalcChecksum(report))
      Broken("the kept checksum is the encoding's");
  }
  const auto text = [](const auto& write) {
    TMemoryStream stream;
    try {
      write(stream);
    } catch (const Error& e) {
      return std::string("error: ") + e.what();
    }
    return TBinStream(stream).GetBytes();
  };
  if (text([&](TStream& out) { WriteReportText(report, out); }) !=
      text([&](TStream& out) { WriteReportText(report.Header(), report.Tags(), out); }))
    Broken("the text from the bodies equals the nodes'");
}

void RunStorageImage(std::string_view data) {
  std::shared_ptr<const TStorageImage> image;
  try {
    image = TStorageImage::LoadText(data, "fuzz");
  } catch (const Error&) {
    return;
  }
  std::vector<int64_t> numbers = {0,
                                  1,
                                  -1,
                                  image->LastDocumentNumber(),
                                  int64_t{image->LastDocumentNumber()} + 1,
                                  std::numeric_limits<int32_t>::min(),
                                  std::numeric_limits<int32_t>::max(),
                                  int64_t{std::numeric_limits<int32_t>::max()} + 1};
  // Every document when there are few; a synthetic run can hold millions.
  if (image->DocumentCount() <= 64) {
    for (const int32_t n : image->DocumentNumbers()) numbers.push_back(n);
  }
  for (const int64_t n : numbers) LookUp(*image, n);
}

void RunTorvelSettings(std::string_view data) {
  TTorvelSettings settings;
  try {
    settings = ParseTorvelSettings(data, "fuzz");
  } catch (const Error&) {
    return;
  }
  try {
    if (ParseTorvelSettings(FormatTorvelSettings(settings), "fuzz") != settings) {
      Broken("settings that read back differently once written");
    }
  } catch (const Error&) {
    Broken("settings taken from a file that cannot be written back");
  }
}

namespace {

// Every answer parser over one frame's data; refusals are kvitor::Error.
void ParseAnswers(std::string_view data) {
  const auto refused = [](auto parse) {
    try {
      parse();
    } catch (const Error&) {
    }
  };
  refused([&] { static_cast<void>(ParseStatusAnswer(data)); });
  refused([&] { static_cast<void>(ParseShiftAnswer(data)); });
  refused([&] { static_cast<void>(ParseDocumentHeader(data)); });
  refused([&] { static_cast<void>(ParseConfirmationAnswer(data)); });
  refused([&] { static_cast<void>(ParseRegistrationNumber(data)); });
  refused([&] { static_cast<void>(ParseFNDateTime(data.substr(0, 5))); });
  static_cast<void>(ParseRegistrationParameter(data, 1037));
}

TFNWireStorage& DemoWire() {
  static TFNWireStorage wire(
      TStorageImage::LoadText(DemoStorageJson(), std::string(kDemoStorageName)), {});
  return wire;
}

// The serial driver on a line whose answers are the input's records: a
// length byte, then that many bytes (noise, frames, parts of frames).
void RunDriver(std::string_view data) {
  TFNSerialTorvel::TOptions options;
  options.Port = "fuzz";
  // The in-memory line answers at once or never: no time to wait for.
  options.Link.WakeUp = std::chrono::milliseconds(0);
  options.Link.Settle = std::chrono::milliseconds(0);
  options.OpenTransport = [data](const std::string& port, int) mutable {
    return std::unique_ptr<TFNTransport>(std::make_unique<TFakeTransport>(
        [&data](std::string_view) {
          if (data.empty()) return std::string();
          const std::size_t n =
              std::min<std::size_t>(static_cast<uint8_t>(data[0]), data.size() - 1);
          std::string answer(data.substr(1, n));
          data.remove_prefix(1 + n);
          return answer;
        },
        port));
  };
  TFNSerialTorvel driver(std::move(options));
  const auto attempt = [](auto operation) {
    try {
      return operation();
    } catch (const Error&) {
      return -1000;
    }
  };
  attempt([&] { return driver.QueryStorageStatus(); });
  attempt([&] { return driver.QueryRegisterStatus(); });
  driver.SetInt(TTorvelProperty::TableNumber, 18);
  driver.SetInt(TTorvelProperty::RowNumber, 1);
  driver.SetInt(TTorvelProperty::FieldNumber, 3);
  attempt([&] { return driver.ReadTableField(); });
  driver.SetInt(TTorvelProperty::DocumentNumber, 1);
  if (attempt([&] { return driver.BeginDocumentRead(); }) == 0) {
    // A document is handed out whole or not at all.
    const int64_t length = driver.GetInt(TTorvelProperty::DataLength);
    int64_t got = 0;
    while (driver.ReadDocumentBlock() == 0) {
      const std::size_t block = driver.GetText(TTorvelProperty::TLVData).size();
      if (block == 0) break;
      got += static_cast<int64_t>(block);
    }
    // The length counts the body, or the body and the 4-byte header.
    if (got != length && got + 4 != length) {
      Broken("a document was handed out shorter or longer than its length");
    }
  }
  attempt([&] { return driver.QueryConfirmation(); });
}

}  // namespace

void RunFnFrames(std::string_view data) {
  for (const std::size_t bound : {std::size_t{64}, kMaxFrameData + 1}) {
    std::string_view rest = data;
    while (!rest.empty()) {
      const TFrameResult r = DecodeFrame(rest, bound);
      if (r.Status == TFrameStatus::NeedMore) break;
      if (r.Consumed == 0 || r.Consumed > rest.size()) Broken("the frame decoder did not advance");
      if (r.Status == TFrameStatus::Frame) {
        if (r.Data.size() + 1 > bound) Broken("a frame passed the length bound");
        if (EncodeFrame(r.Code, r.Data) != rest.substr(0, r.Consumed)) {
          Broken("a decoded frame does not encode back to its bytes");
        }
        ParseAnswers(r.Data);
        // The emulated storage takes the frame as a request.
        static_cast<void>(DemoWire().Handle(r.Code, r.Data));
      }
      rest.remove_prefix(r.Consumed);
    }
  }
  RunDriver(data);
}

}  // namespace kvitor::fuzz
