// SPDX-License-Identifier: MIT
// Copyright The Kvitor authors

#include "report/ReportExport.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <optional>

#include "base/Error.h"
#include "base/Messages.h"
#include "base/SafeFile.h"
#include "base/Stream.h"
#include "report/Checksum.h"
#include "report/FNReportBinWriter.h"
#include "report/ReportFileFormat.h"
#include "tlv/FormatTLV.h"
#include "tlv/TLVReader.h"

namespace kvitor {
namespace {

constexpr std::size_t kHeaderSize = TFNReportBinWriter::kHeaderSize;
constexpr std::size_t kChecksumAt = kHeaderSize - 4;

// Distinguished from the data's own faults, which the check reports.
class TReadError : public Error {
 public:
  using Error::Error;
};

// A regular file read in order through one buffer, with the checksum of
// what has been taken.
class TFileSource final : public TByteSource {
 public:
  // The buffer is no larger than the file, and left unfilled: a small file
  // costs a small buffer.
  explicit TFileSource(const std::string& name)
      : name_(name),
        file_(Opened(name)),
        capacity_(static_cast<std::size_t>(std::min<uint64_t>(kBuffer, file_.Size()))),
        buffer_(std::make_unique_for_overwrite<char[]>(std::max<std::size_t>(capacity_, 1))) {}

  [[nodiscard]] uint64_t Size() const { return file_.Size(); }
  [[nodiscard]] uint32_t Crc() const { return crc_; }
  // From now on every byte taken counts, continuing crc.
  void StartCrc(uint32_t crc) {
    crc_ = crc;
    crcOn_ = true;
  }

  std::string_view Take(std::size_t n) override {
    if (end_ - begin_ < n) Fill(n);
    const std::size_t got = std::min(n, end_ - begin_);
    std::string_view bytes(buffer_.get() + begin_, got);
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
    std::memmove(buffer_.get(), buffer_.get() + begin_, end_ - begin_);
    end_ -= begin_;
    begin_ = 0;
    while (end_ < n && read_ < Size()) {
      const std::size_t want =
          static_cast<std::size_t>(std::min<uint64_t>(capacity_ - end_, Size() - read_));
      const ssize_t got = ::read(file_.Fd(), buffer_.get() + end_, want);
      if (got < 0 && errno == EINTR) continue;
      if (got < 0)
        throw TReadError(Fmt(TrEn("Cannot read file \"%s\". %s"), name_, std::strerror(errno)));
      if (got == 0)
        throw TReadError(Fmt(TrEn("Cannot read file \"%s\". It became shorter"), name_));
      end_ += static_cast<std::size_t>(got);
      read_ += static_cast<uint64_t>(got);
    }
  }

  static TRegularFile Opened(const std::string& name) {
    try {
      return OpenRegularFile(name, UINT64_MAX);
    } catch (const TFileReadError& e) {
      ThrowCannotOpen(name, e.what());
    }
  }

  std::string name_;
  TRegularFile file_;
  std::size_t capacity_;
  std::unique_ptr<char[]> buffer_;
  uint64_t read_ = 0;
  std::size_t begin_ = 0;
  std::size_t end_ = 0;
  uint32_t crc_ = kChecksumStart;
  bool crcOn_ = false;
};

// Passes writes on and remembers that the output refused one, so that its
// error is not taken for a fault of the file being read.
class TWatchedOutput final : public TStream {
 public:
  explicit TWatchedOutput(TStream& out) : out_(out) {}
  std::size_t Read(void* buffer, std::size_t size) override { return out_.Read(buffer, size); }
  std::size_t Write(const void* buffer, std::size_t size) override {
    try {
      return out_.Write(buffer, size);
    } catch (...) {
      failed_ = true;
      throw;
    }
  }
  [[nodiscard]] int64_t Position() const override { return out_.Position(); }
  void SetPosition(int64_t position) override { out_.SetPosition(position); }
  [[nodiscard]] int64_t Size() const override { return out_.Size(); }
  [[nodiscard]] bool Failed() const { return failed_; }

 private:
  TStream& out_;
  bool failed_ = false;
};

}  // namespace

TReportExport::TReportExport(std::string fileName, bool ffd12)
    : fileName_(std::move(fileName)),
      ffd12_(ffd12),
      dictionary_(ffd12 ? TDictionaryKind::Ffd12 : TDictionaryKind::Classic) {
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
          !item.Short() && !valueError) {
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
    return Error(Fmt(TrEn("\"%s\" changed while it was being read"), fileName_));
  };
  TFileSource source(fileName_);
  if (source.Size() < kHeaderSize) throw changed();
  const std::string head(source.Take(kHeaderSize));
  if (!(ReportHeaderFields(head) == header_)) throw changed();
  source.StartCrc(ChecksumUpdate(kChecksumStart, std::string_view(head).substr(0, kChecksumAt)));
  TWatchedOutput watched(out);
  const auto writer = TExportWriter::Create(form, watched, ffd12_);
  writer->Begin(header_);
  std::optional<TTLVParser> names;
  if (form != TExportForm::Text) names.emplace(TDictionaryKind::Ffd12Names);
  try {
    TTLVReader reader(source, source.Size() - kHeaderSize, names ? *names : dictionary_);
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
    if (watched.Failed()) throw;
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

}  // namespace kvitor
