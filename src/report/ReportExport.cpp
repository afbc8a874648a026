// SPDX-License-Identifier: MIT
// Copyright The Kvitor authors

#include "report/ReportExport.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <optional>
#include <unordered_map>

#include "base/Error.h"
#include "report/Checksum.h"
#include "report/FNReportBinWriter.h"
#include "report/FNReportTextWriter.h"
#include "report/ReportFileFormat.h"
#include "tlv/BinStream.h"
#include "tlv/BinUtils.h"
#include "tlv/FormatTLV.h"
#include "tlv/LangUtils.h"
#include "tlv/StringUtils.h"

namespace kvitor {
namespace {

constexpr std::size_t kHeaderSize = TFNReportBinWriter::kHeaderSize;
constexpr std::size_t kChecksumAt = kHeaderSize - 4;

// A 16-bit little-endian field from what the block still holds: one byte
// alone is the value, none is 0 (the parser's rule).
uint16_t FieldFrom(std::string_view bytes, std::size_t at) {
  if (at + 1 < bytes.size()) {
    return static_cast<uint16_t>(static_cast<unsigned char>(bytes[at]) |
                                 static_cast<unsigned char>(bytes[at + 1]) << 8);
  }
  return at < bytes.size() ? static_cast<unsigned char>(bytes[at]) : 0;
}

// Distinguished from the data's own faults, which the check reports.
class TReadError : public Error {
 public:
  using Error::Error;
};

// A regular file read in order through one buffer, with the checksum of
// what has been taken.
class TFileSource final : public TByteSource {
 public:
  explicit TFileSource(const std::string& name) : name_(name) {
    // Not blocking in open: a FIFO would wait there for a writer.
    fd_ = ::open(name.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd_ < 0) throw Error("Cannot open file \"" + name + "\". " + std::strerror(errno));
    struct stat st {};
    if (::fstat(fd_, &st) != 0 || !S_ISREG(st.st_mode)) {
      ::close(fd_);
      throw Error("Cannot open file \"" + name + "\". " +
                  (S_ISDIR(st.st_mode) ? std::strerror(EISDIR) : "Not a regular file"));
    }
    size_ = static_cast<uint64_t>(st.st_size);
    buffer_.resize(kBuffer);
  }
  ~TFileSource() override { ::close(fd_); }
  TFileSource(const TFileSource&) = delete;
  TFileSource& operator=(const TFileSource&) = delete;

  [[nodiscard]] uint64_t Size() const { return size_; }
  [[nodiscard]] uint32_t Crc() const { return crc_; }
  // From now on every byte taken counts, continuing crc.
  void StartCrc(uint32_t crc) {
    crc_ = crc;
    crcOn_ = true;
  }

  std::string_view Take(std::size_t n) override {
    if (end_ - begin_ < n) Fill(n);
    const std::size_t got = std::min(n, end_ - begin_);
    std::string_view bytes(buffer_.data() + begin_, got);
    begin_ += got;
    if (crcOn_) crc_ = ChecksumUpdate(crc_, bytes);
    return bytes;
  }

  // Takes the rest of the file, for its checksum.
  void Drain() {
    while (!Take(kBuffer / 2).empty()) {
    }
  }

 private:
  static constexpr std::size_t kBuffer = 1 << 20;  // far above one item's 65,539 bytes

  void Fill(std::size_t n) {
    std::memmove(buffer_.data(), buffer_.data() + begin_, end_ - begin_);
    end_ -= begin_;
    begin_ = 0;
    while (end_ < n && read_ < size_) {
      const std::size_t want =
          static_cast<std::size_t>(std::min<uint64_t>(kBuffer - end_, size_ - read_));
      const ssize_t got = ::read(fd_, buffer_.data() + end_, want);
      if (got < 0 && errno == EINTR) continue;
      if (got < 0) throw TReadError("Cannot read file \"" + name_ + "\". " + std::strerror(errno));
      if (got == 0) throw TReadError("Cannot read file \"" + name_ + "\". It became shorter");
      end_ += static_cast<std::size_t>(got);
      read_ += static_cast<uint64_t>(got);
    }
  }

  std::string name_;
  int fd_ = -1;
  uint64_t size_ = 0;
  uint64_t read_ = 0;
  std::string buffer_;
  std::size_t begin_ = 0;
  std::size_t end_ = 0;
  uint32_t crc_ = kChecksumStart;
  bool crcOn_ = false;
};

template <typename Int>
void AppendInt(std::string& out, Int value) {
  char digits[24];
  out.append(digits, std::to_chars(digits, digits + sizeof digits, value).ptr);
}

// Kopecks as roubles with two decimals, as the text report shows them.
void AppendRoubles(std::string& out, std::string_view value) {
  std::string line;
  AppendValuePart(line, TTagInfo{0, 0, ttVLN, false, {}, {}}, value, value.size(), 0);
  out += line;
}

bool ShortValue(const TTLVItem& item) {
  return item.ValueLength < static_cast<std::size_t>(std::max(item.DeclaredLength, 0));
}

// Output through a buffer of its own: a stream's Write per token would cost
// a virtual call and a check each.
class TBufferedWriter : public TExportWriter {
 public:
  explicit TBufferedWriter(TStream& out) : out_(out) {}

 protected:
  void Flush() {
    out_.Write(buffer_.data(), buffer_.size());
    buffer_.clear();
  }
  void MaybeFlush() {
    if (buffer_.size() >= kFlushAt) Flush();
  }
  std::string buffer_;

 private:
  static constexpr std::size_t kFlushAt = 1 << 16;
  TStream& out_;
};

class TTextExport final : public TBufferedWriter {
 public:
  using TBufferedWriter::TBufferedWriter;
  void Begin(const TFNReportHeader& header) override {
    for (const auto& line : ReportHeaderLines(header)) {
      buffer_ += line;
      buffer_ += "\r\n";
    }
  }
  void Item(const TTLVItem& item) override {
    buffer_.append(2 * item.Depth, ' ');
    AppendTagLine(buffer_, *item.Entry, item.Value, item.ValueLength, item.DeclaredLength, true);
    buffer_ += "\r\n";
    MaybeFlush();
  }
  void End() override {}
  void Finish() override { Flush(); }
};

// Windows-1251 text as UTF-8; most values are plain ASCII and need no iconv.
std::string Utf8Of(std::string_view cp1251) {
  const bool ascii = std::all_of(cp1251.begin(), cp1251.end(),
                                 [](char c) { return static_cast<unsigned char>(c) < 0x80; });
  return ascii ? std::string(cp1251) : Cp1251ToUtf8(cp1251);
}

void AppendJsonString(std::string& out, std::string_view utf8) {
  out += '"';
  for (const char c : utf8) {
    const auto u = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (u < 0x20) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", u);
      out += escaped;
    } else {
      out += c;
    }
  }
  out += '"';
}

std::string LowerHex(std::string_view bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string hex;
  hex.reserve(bytes.size() * 2);
  for (const char c : bytes) {
    hex += kDigits[static_cast<unsigned char>(c) >> 4];
    hex += kDigits[static_cast<unsigned char>(c) & 0xF];
  }
  return hex;
}

// The library's writer would hold the whole document before dumping it; this
// one writes each item as it comes and keeps nothing per level.
class TJsonExport final : public TBufferedWriter {
 public:
  using TBufferedWriter::TBufferedWriter;
  void Begin(const TFNReportHeader& h) override {
    buffer_ += "{\"report\": {\"name\": ";
    AppendJsonString(buffer_, Cp1251ToUtf8(h.ReportName));
    buffer_ += ", \"program\": ";
    AppendJsonString(buffer_, Cp1251ToUtf8(h.ProgramName));
    buffer_ += ", \"reg_number\": ";
    AppendJsonString(buffer_, Cp1251ToUtf8(h.RegNumber));
    buffer_ += ", \"fn_number\": ";
    AppendJsonString(buffer_, Cp1251ToUtf8(h.FNNumber));
    buffer_ += ", \"ffd_version\": ";
    AppendInt(buffer_, int{h.FFDVersion});
    buffer_ += ", \"shift_count\": ";
    AppendInt(buffer_, h.ShiftCount);
    buffer_ += ", \"document_count\": ";
    AppendInt(buffer_, h.DocumentCount);
    buffer_ += ", \"checksum\": \"" + ChecksumHex(h.Checksum) + "\"},\n \"items\": [";
  }

  void Item(const TTLVItem& item) override {
    if (comma_) buffer_ += ',';
    if (item.Depth == 0) buffer_ += "\n  ";
    const TTagInfo& info = item.Entry->Info;
    const bool known = info.TagType != ttUnknown;
    buffer_ += "{\"tag\": ";
    AppendInt(buffer_, info.Tag);
    buffer_ += ", \"name\": ";
    AppendJsonString(buffer_, known ? NameOf(*item.Entry) : std::string_view());
    if (ShortValue(item)) {
      buffer_ += ", \"error\": ";
      AppendJsonString(buffer_, "Некорректная длина");
      buffer_ += ", \"text\": ";
      AppendJsonString(buffer_, known ? Tr("Ошибка! Некорректная длина") : "");
    } else if (!item.Container) {
      buffer_ += ", \"value\": ";
      AppendValue(item);
      buffer_ += ", \"text\": ";
      std::string text;
      if (known) AppendValuePart(text, info, item.Value, item.ValueLength, item.DeclaredLength);
      AppendJsonString(buffer_, Utf8Of(text));
    }
    if (item.Container) {
      buffer_ += ", \"items\": [";
      comma_ = false;
    } else {
      buffer_ += '}';
      comma_ = true;
    }
    MaybeFlush();
  }

  void End() override {
    buffer_ += "]}";
    comma_ = true;
  }

  void Finish() override {
    buffer_ += "\n]}\n";
    Flush();
  }

 private:
  // A few hundred entries, each converted once.
  const std::string& NameOf(const TTagEntry& entry) {
    auto [at, added] = names_.try_emplace(&entry);
    if (added) at->second = Cp1251ToUtf8(entry.ShortName1251);
    return at->second;
  }

  void AppendValue(const TTLVItem& item) {
    const TTagInfo& info = item.Entry->Info;
    const uint64_t v = TFormatTLV::BytesToInt(item.Value);
    switch (info.TagType) {
      case ttByte: AppendInt(buffer_, static_cast<int64_t>(v)); return;
      case ttUInt16:
      case ttUInt32: AppendInt(buffer_, static_cast<uint32_t>(v)); return;
      case ttVLN:
        AppendInt(buffer_, static_cast<int64_t>(TFormatTLV::VLNToInt(item.Value)));
        return;
      case ttFVLN: AppendJsonString(buffer_, TFormatTLV::FVLNToText(item.Value)); return;
      case ttUnixTime: AppendJsonString(buffer_, IsoTime(item.Value)); return;
      case ttString: AppendJsonString(buffer_, ValueTextOf(info, item.Value)); return;
      default: AppendJsonString(buffer_, LowerHex(item.Value)); return;
    }
  }

  std::unordered_map<const TTagEntry*, std::string> names_;
  bool comma_ = false;
};

// A field quoted where RFC 4180 needs it.
void AppendCsvField(std::string& out, std::string_view field) {
  if (field.find_first_of(",\"\r\n") == std::string_view::npos) {
    out += field;
    return;
  }
  out += '"';
  for (const char c : field) {
    if (c == '"') out += '"';
    out += c;
  }
  out += '"';
}

class TCsvExport final : public TBufferedWriter {
 public:
  using TBufferedWriter::TBufferedWriter;
  void Begin(const TFNReportHeader&) override {
    buffer_ +=
        "outer,type,number,date_time,fiscal_sign,shift,operation,total,cash,electronic,vat20,"
        "vat10,vat0,no_vat,vat20_120,vat10_110,confirmed,confirmed_at\r\n";
  }

  void Item(const TTLVItem& item) override {
    const int32_t tag = item.Entry->Info.Tag;
    if (item.Depth == 0) {
      outer_ = tag;
      row_.reset();
      firstInOuter_ = true;
    } else if (item.Depth == 1 && row_ == std::nullopt && firstInOuter_ && item.Container) {
      row_.emplace();
      (*row_)[0] = std::to_string(outer_);
      (*row_)[1] = std::to_string(tag - 100);
      (*row_)[16] = "0";
      inDocument_ = true;
    } else if (item.Depth == 1 && row_ && tag == 107 && item.Container) {
      (*row_)[16] = "1";
      inDocument_ = false;
      inConfirmation_ = true;
    } else if (item.Depth == 2 && row_ && (inDocument_ || inConfirmation_)) {
      Cell(item);
    }
    if (item.Depth == 1) firstInOuter_ = false;
    if (item.Container) ++open_;
  }

  void End() override {
    --open_;
    if (open_ == 1) inDocument_ = inConfirmation_ = false;
    if (open_ == 0 && row_) {
      for (std::size_t i = 0; i < row_->size(); ++i) {
        if (i > 0) buffer_ += ',';
        AppendCsvField(buffer_, (*row_)[i]);
      }
      buffer_ += "\r\n";
      row_.reset();
      MaybeFlush();
    }
  }

  void Finish() override { Flush(); }

 private:
  void Cell(const TTLVItem& item) {
    if (ShortValue(item) || item.Container) return;
    const int32_t tag = item.Entry->Info.Tag;
    const std::string_view v = item.Value;
    if (inConfirmation_) {
      if (tag == 1012 && (*row_)[17].empty()) (*row_)[17] = IsoTime(v);
      return;
    }
    std::string& cell = (*row_)[Column(tag)];
    if (Column(tag) == 0 || !cell.empty()) return;
    switch (tag) {
      case 1012: cell = IsoTime(v); return;
      case 1077: {
        const std::string text = ValueTextOf(item.Entry->Info, v);
        cell = text.substr(0, text.find(' '));
        return;
      }
      case 1040:
      case 1038: AppendInt(cell, static_cast<uint32_t>(TFormatTLV::BytesToInt(v))); return;
      case 1054: AppendInt(cell, static_cast<int64_t>(TFormatTLV::BytesToInt(v))); return;
      default: AppendRoubles(cell, v); return;
    }
  }

  // The column of a document's tag; 0 for none.
  static std::size_t Column(int32_t tag) {
    static constexpr std::array<int32_t, 14> kTags = {1040, 1012, 1077, 1038, 1054, 1020, 1031,
                                                      1081, 1102, 1103, 1104, 1105, 1106, 1107};
    const auto* at = std::find(kTags.begin(), kTags.end(), tag);
    return at == kTags.end() ? 0 : static_cast<std::size_t>(at - kTags.begin()) + 2;
  }

  int32_t outer_ = 0;
  std::optional<std::array<std::string, 18>> row_;
  bool firstInOuter_ = false;
  bool inDocument_ = false;
  bool inConfirmation_ = false;
  int open_ = 0;
};

// Days since 1970-01-01 to a civil date (proleptic Gregorian).
void CivilFromDays(int64_t z, int64_t& y, unsigned& m, unsigned& d) {
  z += 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const auto doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  y = static_cast<int64_t>(yoe) + era * 400;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  d = doy - (153 * mp + 2) / 5 + 1;
  m = mp < 10 ? mp + 3 : mp - 9;
  if (m <= 2) ++y;
}

}  // namespace

std::string_view TMemorySource::Take(std::size_t n) {
  const std::string_view bytes = rest_.substr(0, n);
  rest_.remove_prefix(bytes.size());
  return bytes;
}

TTLVReader::TTLVReader(TByteSource& source, uint64_t size, const TTLVParser& dictionary)
    : source_(source), dictionary_(dictionary), blocks_{{size, true}} {}

const TTagEntry* TTLVReader::EntryFor(uint16_t tag) {
  if (const TTagEntry* known = dictionary_.DictionaryEntry(tag)) return known;
  if (unknown_.empty()) unknown_.resize(0x10000, nullptr);
  const TTagEntry*& slot = unknown_[tag];
  if (slot == nullptr) slot = InternTagInfo(TTagInfo{tag, 0, ttUnknown, true, {}, {}});
  return slot;
}

TTLVReader::TEvent TTLVReader::Next() {
  while (!blocks_.empty()) {
    Block& block = blocks_.back();
    if (block.fresh) {
      block.fresh = false;
      if (block.remaining > 0 && block.remaining < 4) throw Error("TLV length error");
    }
    if (block.remaining == 0) {
      blocks_.pop_back();
      if (blocks_.empty()) break;
      return TEvent::End;
    }
    const std::size_t headerSize = static_cast<std::size_t>(std::min<uint64_t>(4, block.remaining));
    const std::string_view header = source_.Take(headerSize);
    if (header.size() != headerSize) throw Error("TLV data ends early");
    const uint16_t number = FieldFrom(header, 0);
    const uint16_t length = FieldFrom(header, 2);
    block.remaining -= headerSize;
    const auto valueSize = static_cast<std::size_t>(std::min<uint64_t>(length, block.remaining));
    block.remaining -= valueSize;

    item_.Entry = EntryFor(number);
    item_.Container = item_.Entry->Info.TagType == ttSTLV;
    item_.ValueLength = valueSize;
    item_.DeclaredLength = length;
    item_.Depth = blocks_.size() - 1;
    item_.Offset = offset_;
    offset_ += headerSize;
    if (item_.Container) {
      item_.Value = {};
      blocks_.push_back({valueSize, true});
    } else {
      item_.Value = source_.Take(valueSize);
      if (item_.Value.size() != valueSize) throw Error("TLV data ends early");
      offset_ += valueSize;
    }
    return TEvent::Item;
  }
  return TEvent::Done;
}

std::unique_ptr<TExportWriter> TExportWriter::Create(TExportForm form, TStream& out) {
  switch (form) {
    case TExportForm::Json: return std::make_unique<TJsonExport>(out);
    case TExportForm::Csv: return std::make_unique<TCsvExport>(out);
    default: return std::make_unique<TTextExport>(out);
  }
}

TReportExport::TReportExport(std::string fileName) : fileName_(std::move(fileName)) {
  TFileSource source(fileName_);
  if (source.Size() < kHeaderSize) ThrowNotAReport(fileName_, source.Size());
  const std::string head(source.Take(kHeaderSize));
  header_ = ReportHeaderFields(head);
  source.StartCrc(ChecksumUpdate(kChecksumStart, std::string_view(head).substr(0, kChecksumAt)));
  // One pass: the TLV data is walked as its checksum is taken, and the
  // checksum's verdict comes first.
  std::optional<std::string> tlvError;
  std::optional<std::string> valueError;
  try {
    TTLVReader reader(source, source.Size() - kHeaderSize, dictionary_);
    for (auto event = reader.Next(); event != TTLVReader::TEvent::Done; event = reader.Next()) {
      const TTLVItem& item = reader.Item();
      // The only value the text report cannot show: it ends the text.
      if (event == TTLVReader::TEvent::Item && item.Entry->Info.TagType == ttFVLN &&
          !ShortValue(item) && !valueError) {
        try {
          static_cast<void>(TFormatTLV::FVLNToText(item.Value));
        } catch (const Error& e) {
          valueError = e.what();
        }
      }
    }
  } catch (const TReadError&) {
    throw;
  } catch (const Error& e) {
    tlvError = e.what();
  }
  source.Drain();
  if (source.Crc() != header_.Checksum)
    ThrowDamagedReport(fileName_, header_.Checksum, source.Crc());
  if (tlvError) ThrowNoValidTlv(fileName_, tlvError->c_str());
  if (valueError) throw Error(*valueError);
}

void TReportExport::Write(TExportForm form, TStream& out) const {
  const auto changed = [this] {
    return Error("\"" + fileName_ + "\" changed while it was being read");
  };
  TFileSource source(fileName_);
  if (source.Size() < kHeaderSize) throw changed();
  const std::string head(source.Take(kHeaderSize));
  if (!(ReportHeaderFields(head) == header_)) throw changed();
  source.StartCrc(ChecksumUpdate(kChecksumStart, std::string_view(head).substr(0, kChecksumAt)));
  const auto writer = TExportWriter::Create(form, out);
  writer->Begin(header_);
  try {
    TTLVReader reader(source, source.Size() - kHeaderSize, dictionary_);
    for (auto event = reader.Next(); event != TTLVReader::TEvent::Done; event = reader.Next()) {
      if (event == TTLVReader::TEvent::Item) {
        writer->Item(reader.Item());
      } else {
        writer->End();
      }
    }
  } catch (const TReadError&) {
    throw;
  } catch (const Error&) {
    throw changed();
  }
  source.Drain();
  if (source.Crc() != header_.Checksum) throw changed();
  writer->Finish();
}

TFNReportHeader CheckedReportHeader(std::string_view bytes, const std::string& name) {
  if (bytes.size() < kHeaderSize) ThrowNotAReport(name, bytes.size());
  TFNReportHeader header = ReportHeaderFields(bytes);
  const uint32_t computed = ChecksumUpdate(
      ChecksumUpdate(kChecksumStart, bytes.substr(0, kChecksumAt)), bytes.substr(kHeaderSize));
  if (header.Checksum != computed) ThrowDamagedReport(name, header.Checksum, computed);
  return header;
}

std::string IsoTime(std::string_view value) {
  int64_t seconds = -2209161600;  // day 0, 1899-12-30
  if (value.size() == 4) {
    seconds = static_cast<int32_t>(static_cast<uint32_t>(TFormatTLV::BytesToInt(value)));
  }
  const int64_t days = (seconds >= 0 ? seconds : seconds - 86399) / 86400;
  const int64_t inDay = seconds - days * 86400;
  int64_t y = 0;
  unsigned m = 0;
  unsigned d = 0;
  CivilFromDays(days, y, m, d);
  char text[40];
  std::snprintf(text, sizeof text, "%04lld-%02u-%02uT%02lld:%02lld:%02lld",
                static_cast<long long>(y), m, d, static_cast<long long>(inDay / 3600),
                static_cast<long long>(inDay / 60 % 60), static_cast<long long>(inDay % 60));
  return text;
}

}  // namespace kvitor
