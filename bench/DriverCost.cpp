// SPDX-License-Identifier: MIT
// Copyright The Kvitor authors

// The emulated driver's own CPU cost over a storage data file. Prints one line:
//   documents driver_s driver_reader_s reader_s checksum
// driver_reader_s: every document read through the emulated driver and the
// reader, as a read job does; reader_s: the same reader calls against a
// driver that only hands out documents already made; driver_s: the
// difference, what the emulated driver adds to a job. checksum: FNV-1a over
// every record read, to see that the documents stay the same.
//
// Why the difference and not a clock around each driver call: a read makes
// about twenty driver calls per document, many of them a few dozen
// nanoseconds, and CLOCK_THREAD_CPUTIME_ID is a system call of about as much,
// so timing each call would cost more than the driver and blur it. The
// documents go in chunks: a chunk is read through the emulated driver, each
// record kept, then read again through the replay driver; both loops are
// timed per chunk, so both see the records equally warm in the cache and
// only a chunk's records are held.
#include <time.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "base/Error.h"
#include "drivers/Torvel.h"
#include "drivers/TorvelFactory.h"
#include "drivers/emulated/StorageImage.h"
#include "job/FNReportReader.h"

namespace kvitor {
namespace {

double ThreadCpuSeconds() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

std::u16string Widen(const std::string& ascii) { return {ascii.begin(), ascii.end()}; }

// Serves records read before, by number, as the emulated driver serves them:
// the same properties, the body in blocks of the same size through the same
// byte path, the confirmation when there is one.
class TReplayTorvel final : public TTorvel {
 public:
  TReplayTorvel(std::span<const TFNDocumentRec> records, std::size_t blockSize)
      : records_(records), blockSize_(blockSize) {}

  int OpenDevice() override { return 0; }
  int AuxiliaryRequest1() override { return 0; }
  int AuxiliaryRequest2() override { return 0; }
  int ReleaseDevice() override { return 0; }
  int ShowSettingsDialog() override { return 0; }
  int QueryStorageStatus() override { return 0; }
  int QueryRegisterStatus() override { return 0; }
  int QueryModelParameter() override { return 0; }
  int ReadTableField() override { return 0; }

  int BeginDocumentRead() override {
    doc_ = Find();
    if (doc_ == nullptr) return -6;
    offset_ = 0;
    return 0;
  }
  int ReadDocumentBlock() override {
    if (doc_ == nullptr) return -9;
    block_ = std::min(doc_->TLVData.size() - offset_, blockSize_);
    blockAt_ = offset_;
    offset_ += block_;
    if (block_ == 0) doc_ = nullptr;
    return 0;
  }
  int QueryConfirmation() override {
    ticket_ = Find();
    if (ticket_ == nullptr || ticket_->Ticket.TicketData.empty()) return -7;
    ticketData_ = Widen(ticket_->Ticket.TicketData);
    fiscalSign_ = Widen(ticket_->Ticket.FiscalSign);
    return 0;
  }

  TPropertyValue GetProperty(int id) override {
    switch (id) {
      case TTorvelProperty::DocumentType: return int64_t{Current().DocType};
      case TTorvelProperty::DataLength: return int64_t{Current().DataLength};
      case TTorvelProperty::DocumentData: return ticketData_;
      case TTorvelProperty::FiscalSignOFD: return fiscalSign_;
      case TTorvelProperty::ECRDate: return ticket_->Ticket.TicketDateTime;
      case TTorvelProperty::ECRTime: return 0.0;
      case TTorvelProperty::DocumentNumber:
        return int64_t{ticket_ != nullptr ? ticket_->Ticket.TicketDocNumber : number_};
      default: throw Error("replay: property " + std::to_string(id) + " not kept");
    }
  }
  void SetProperty(int id, const TPropertyValue& value) override {
    if (id != TTorvelProperty::DocumentNumber) throw Error("replay: property not kept");
    number_ = std::get<int64_t>(value);
    ticket_ = nullptr;
  }
  std::optional<std::size_t> AppendTLVDataBytes(std::string& bytes) override {
    bytes.append(last_->TLVData, blockAt_, block_);
    return block_;
  }

 private:
  // The chunk holds consecutive numbers.
  const TFNDocumentRec* Find() {
    const int64_t i = number_ - records_.front().DocNumber;
    if (i < 0 || i >= static_cast<int64_t>(records_.size())) return nullptr;
    return last_ = &records_[static_cast<std::size_t>(i)];
  }
  const TFNDocumentRec& Current() const { return *last_; }

  std::span<const TFNDocumentRec> records_;
  std::size_t blockSize_;
  int64_t number_ = 0;
  const TFNDocumentRec* last_ = nullptr;
  const TFNDocumentRec* doc_ = nullptr;
  const TFNDocumentRec* ticket_ = nullptr;
  std::size_t offset_ = 0, blockAt_ = 0, block_ = 0;
  std::u16string ticketData_, fiscalSign_;
};

class TChecksum {
 public:
  void Add(const void* data, std::size_t size) {
    const auto* p = static_cast<const unsigned char*>(data);
    for (std::size_t i = 0; i < size; ++i) hash_ = (hash_ ^ p[i]) * 0x100000001B3ULL;
  }
  void Add(const std::string& s) {
    Add(s.size());
    Add(s.data(), s.size());
  }
  template <class T>
  void Add(T value) {
    Add(&value, sizeof value);
  }
  void Add(const TFNDocumentRec& r) {
    Add(r.DocNumber);
    Add(r.DocType);
    Add(r.DataLength);
    Add(r.TLVData);
    Add(r.Ticket.TicketData);
    Add(r.Ticket.TicketDateTime);
    Add(r.Ticket.FiscalSign);
    Add(r.Ticket.TicketDocNumber);
  }
  [[nodiscard]] uint64_t Value() const { return hash_; }

 private:
  uint64_t hash_ = 0xCBF29CE484222325ULL;
};

int Run(const char* image) {
  ::setenv("TORVEL_IMAGE", image, 1);
  ::unsetenv("TORVEL_PORT");
  const std::size_t blockSize =
      static_cast<std::size_t>(TStorageImage::LoadFile(image)->BlockSize());
  TDriverThreadScope scope;
  const auto driver = CreateTorvel();
  const TFNReportReader reader(driver.get());
  reader.Open();
  THeaderParams params;
  reader.ReadHeaderParams(params);
  TFNStatusRec status;
  reader.ReadStorageStatus(status);

  // Small enough that a chunk's records stay in the second-level cache.
  constexpr std::size_t kChunk = 256;
  std::vector<TFNDocumentRec> recorded(kChunk);
  std::vector<TFNDocumentRec> replayed(kChunk);
  TChecksum checksum;
  double real = 0;
  double replay = 0;
  bool withTicket = true;
  bool replayWithTicket = true;
  const int64_t last = status.LastDocNumber;
  for (int64_t first = 1; first <= last; first += kChunk) {
    const std::size_t n = static_cast<std::size_t>(std::min<int64_t>(kChunk, last - first + 1));
    double t0 = ThreadCpuSeconds();
    for (std::size_t i = 0; i < n; ++i) {
      TFNDocumentRec& rec = recorded[i];
      reader.ReadDocument(static_cast<int32_t>(first + static_cast<int64_t>(i)), withTicket, rec);
      if (rec.Ticket.TicketData.empty()) withTicket = false;
    }
    double t1 = ThreadCpuSeconds();
    real += t1 - t0;

    TReplayTorvel fake(std::span(recorded.data(), n), blockSize);
    const TFNReportReader replayReader(&fake);
    t0 = ThreadCpuSeconds();
    for (std::size_t i = 0; i < n; ++i) {
      TFNDocumentRec& rec = replayed[i];
      replayReader.ReadDocument(static_cast<int32_t>(first + static_cast<int64_t>(i)),
                                replayWithTicket, rec);
      if (rec.Ticket.TicketData.empty()) replayWithTicket = false;
    }
    t1 = ThreadCpuSeconds();
    replay += t1 - t0;

    for (std::size_t i = 0; i < n; ++i) {
      if (!(recorded[i] == replayed[i])) {
        throw Error("replay: document " + std::to_string(recorded[i].DocNumber) + " differs");
      }
      checksum.Add(recorded[i]);
    }
  }
  std::printf("%lld %.3f %.3f %.3f %016llx\n", static_cast<long long>(last), real - replay, real,
              replay, static_cast<unsigned long long>(checksum.Value()));
  return 0;
}

}  // namespace
}  // namespace kvitor

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s IMAGE.json\n", argv[0]);
    return 2;
  }
  try {
    return kvitor::Run(argv[1]);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "%s\n", e.what());
    return 1;
  }
}
