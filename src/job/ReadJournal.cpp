// SPDX-License-Identifier: MIT
// Copyright The Kvitor authors

#include "job/ReadJournal.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <set>

#include "base/Messages.h"
#include "tlv/StringUtils.h"

namespace kvitor {
namespace {

constexpr std::string_view kMagic = "KVITORJ1";
constexpr std::size_t kPrefix = 8;            // length and CRC-32 of a record
constexpr uint32_t kMaxRecord = 256U << 20U;  // larger is damage, not a document
constexpr std::size_t kHandOver = 4U << 20U;  // pending bytes that go to the writer
constexpr std::size_t kQueued = 8;            // buffers the writer may fall behind by
constexpr auto kSyncEvery = std::chrono::seconds(1);

using TCrcTables = std::array<std::array<uint32_t, 256>, 8>;

// Slicing by eight: the journal's checksum must cost little beside the read.
const TCrcTables& CrcTables() {
  static const TCrcTables tables = [] {
    TCrcTables t{};
    for (uint32_t i = 0; i < 256; ++i) {
      uint32_t c = i;
      for (int k = 0; k < 8; ++k) c = (c & 1U) != 0 ? 0xEDB88320U ^ (c >> 1U) : c >> 1U;
      t[0][i] = c;
    }
    for (uint32_t i = 0; i < 256; ++i) {
      for (std::size_t s = 1; s < 8; ++s) t[s][i] = (t[s - 1][i] >> 8U) ^ t[0][t[s - 1][i] & 0xFFU];
    }
    return t;
  }();
  return tables;
}

std::string SystemText(int error) { return std::strerror(error); }

void PutU32(std::string& out, uint32_t v) {
  const std::array<char, 4> bytes{
      static_cast<char>(v & 0xFFU), static_cast<char>((v >> 8U) & 0xFFU),
      static_cast<char>((v >> 16U) & 0xFFU), static_cast<char>(v >> 24U)};
  out.append(bytes.data(), bytes.size());
}
void PutI32(std::string& out, int32_t v) { PutU32(out, static_cast<uint32_t>(v)); }
void PutText(std::string& out, std::string_view s) {
  PutU32(out, static_cast<uint32_t>(s.size()));
  out += s;
}
void PutDouble(std::string& out, double v) {
  uint64_t bits = 0;
  std::memcpy(&bits, &v, sizeof bits);
  PutU32(out, static_cast<uint32_t>(bits));
  PutU32(out, static_cast<uint32_t>(bits >> 32U));
}
void PutTicket(std::string& out, const TFNTicketRec& t) {
  PutText(out, t.TicketData);
  PutDouble(out, t.TicketDateTime);
  PutText(out, t.FiscalSign);
  PutI32(out, t.TicketDocNumber);
}

uint32_t LoadU32(const char* p) {
  uint32_t v = 0;
  for (int i = 3; i >= 0; --i) v = (v << 8U) | static_cast<unsigned char>(p[i]);
  return v;
}

// Reads a payload's fields; any overrun is damage.
class TFields {
 public:
  explicit TFields(std::string_view payload) : rest_(payload) {}
  uint32_t U32() {
    Need(4);
    const uint32_t v = LoadU32(rest_.data());
    rest_.remove_prefix(4);
    return v;
  }
  int32_t I32() { return static_cast<int32_t>(U32()); }
  std::string Text() {
    const uint32_t n = U32();
    Need(n);
    std::string s(rest_.substr(0, n));
    rest_.remove_prefix(n);
    return s;
  }
  double Double() {
    const uint64_t low = U32();
    const uint64_t bits = low | (uint64_t{U32()} << 32U);
    double v = 0;
    std::memcpy(&v, &bits, sizeof v);
    return v;
  }
  void Ticket(TFNTicketRec& t) {
    t.TicketData = Text();
    t.TicketDateTime = Double();
    t.FiscalSign = Text();
    t.TicketDocNumber = I32();
  }
  [[nodiscard]] bool AtEnd() const { return rest_.empty(); }

 private:
  void Need(std::size_t n) const {
    if (rest_.size() < n) throw Error("damaged");
  }
  std::string_view rest_;
};

std::string HeaderPayload(const TJournalKey& key) {
  std::string p = "H";
  PutText(p, key.Serial);
  PutText(p, key.RegNumber);
  PutText(p, key.Identity);
  return p;
}

TJournalKey ParseHeader(std::string_view payload) {
  TFields f(payload.substr(1));
  TJournalKey key;
  key.Serial = f.Text();
  key.RegNumber = f.Text();
  key.Identity = f.Text();
  return key;
}

// Walks the whole records of the journal open on fd. onRecord gets each
// record after the header with the offset of its payload; the result is the
// header's key (none when the file is not a journal) and where the last
// whole record ends.
struct TScan {
  std::optional<TJournalKey> Key;
  uint64_t End = 0;
};
TScan Scan(
    int fd,
    const std::function<void(char kind, int32_t number, uint64_t at, uint32_t size)>& onRecord) {
  TScan scan;
  std::string buffer;
  std::size_t begin = 0;  // unread part of buffer
  uint64_t offset = 0;    // file offset of buffer[begin]
  bool eof = false;
  const auto fill = [&](std::size_t need) {
    while (buffer.size() - begin < need && !eof) {
      buffer.erase(0, begin);
      begin = 0;
      const std::size_t have = buffer.size();
      buffer.resize(have + std::max<std::size_t>(need, 1U << 20U));
      const ssize_t n = ::read(fd, buffer.data() + have, buffer.size() - have);
      if (n < 0 && errno == EINTR) {
        buffer.resize(have);
        continue;
      }
      buffer.resize(have + static_cast<std::size_t>(std::max<ssize_t>(n, 0)));
      eof = n <= 0;
    }
    return buffer.size() - begin >= need;
  };
  if (!fill(kMagic.size()) || std::string_view(buffer).substr(0, kMagic.size()) != kMagic) {
    return scan;
  }
  begin = kMagic.size();
  offset = kMagic.size();
  for (;;) {
    if (!fill(kPrefix)) break;
    const uint32_t size = LoadU32(buffer.data() + begin);
    const uint32_t crc = LoadU32(buffer.data() + begin + 4);
    if (size == 0 || size > kMaxRecord || !fill(kPrefix + size)) break;
    const std::string_view payload(buffer.data() + begin + kPrefix, size);
    if (Crc32(payload) != crc) break;
    const char kind = payload[0];
    try {
      if (!scan.Key) {
        if (kind != 'H') break;
        scan.Key = ParseHeader(payload);
      } else if (kind == 'D' || kind == 'T') {
        onRecord(kind, TFields(payload.substr(1)).I32(), offset + kPrefix, size);
      }  // other kinds are a later version's: skipped
    } catch (const Error&) {
      break;
    }
    begin += kPrefix + size;
    offset += kPrefix + size;
    scan.End = offset;
  }
  return scan;
}

class TFd {
 public:
  explicit TFd(int fd) : fd_(fd) {}
  ~TFd() {
    if (fd_ >= 0) ::close(fd_);
  }
  TFd(const TFd&) = delete;
  TFd& operator=(const TFd&) = delete;
  [[nodiscard]] int Get() const { return fd_; }

 private:
  int fd_;
};

// The folder and its missing parents, made private to the user.
void MakeFolder(const std::filesystem::path& folder) {
  std::filesystem::path made;
  for (const auto& part : folder) {
    made /= part;
    if (::mkdir(made.c_str(), 0700) != 0 && errno != EEXIST) {
      throw Error(
          Fmt(Tr("Папка журнала чтения %s не создана: %s"), made.string(), SystemText(errno)));
    }
  }
  struct stat st {};
  if (::stat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
    throw Error(Fmt(Tr("Папка журнала чтения %s не является папкой"), folder.string()));
  }
}

}  // namespace

uint32_t Crc32(std::string_view bytes, uint32_t crc) {
  const TCrcTables& t = CrcTables();
  crc = ~crc;
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
  std::size_t n = bytes.size();
  while (n >= 8) {
    const uint32_t a = crc ^ (uint32_t{p[0]} | (uint32_t{p[1]} << 8U) | (uint32_t{p[2]} << 16U) |
                              (uint32_t{p[3]} << 24U));
    crc = t[7][a & 0xFFU] ^ t[6][(a >> 8U) & 0xFFU] ^ t[5][(a >> 16U) & 0xFFU] ^ t[4][a >> 24U] ^
          t[3][p[4]] ^ t[2][p[5]] ^ t[1][p[6]] ^ t[0][p[7]];
    p += 8;
    n -= 8;
  }
  while (n-- > 0) crc = t[0][(crc ^ *p++) & 0xFFU] ^ (crc >> 8U);
  return ~crc;
}

std::filesystem::path JournalFolder() {
  const char* state = std::getenv("XDG_STATE_HOME");
  if (state != nullptr && state[0] == '/') return std::filesystem::path(state) / "kvitor";
  const char* home = std::getenv("HOME");
  std::string base = home != nullptr && home[0] == '/' ? home : "";
  if (base.empty()) {
    if (const passwd* pw = ::getpwuid(::getuid()); pw != nullptr && pw->pw_dir != nullptr) {
      base = pw->pw_dir;
    }
  }
  if (base.empty()) throw Error(Tr("Не найдена домашняя папка для журнала чтения"));
  return std::filesystem::path(base) / ".local" / "state" / "kvitor";
}

std::filesystem::path JournalPath(const std::filesystem::path& folder, std::string_view serial,
                                  std::string_view identity) {
  const auto encode = [](std::string_view s) {
    std::string out;
    for (const char c : s) {
      if ((c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z')) {
        out += c;
      } else {
        constexpr std::string_view kHex = "0123456789ABCDEF";
        const auto b = static_cast<unsigned char>(c);
        out += '%';
        out += kHex[b >> 4U];
        out += kHex[b & 0xFU];
      }
    }
    return out;
  };
  std::string name = encode(serial);
  if (!identity.empty()) name += "-" + encode(identity);
  return folder / (name + ".journal");
}

std::optional<TJournalInfo> InspectJournal(const std::filesystem::path& path) {
  const TFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
  if (fd.Get() < 0) return std::nullopt;
  TJournalInfo info;
  std::set<int32_t> numbers;
  const TScan scan = Scan(fd.Get(), [&](char kind, int32_t number, uint64_t, uint32_t) {
    if (kind == 'D') numbers.insert(number);
  });
  if (!scan.Key) return std::nullopt;
  info.Path = path;
  info.Key = *scan.Key;
  info.Documents = static_cast<int32_t>(numbers.size());
  if (!numbers.empty()) {
    info.First = *numbers.begin();
    info.Last = *numbers.rbegin();
  }
  info.Size = scan.End;
  return info;
}

int32_t JournaledInRange(const std::filesystem::path& folder, std::string_view serial,
                         std::string_view identity, int32_t first, int32_t last) {
  const auto path = JournalPath(folder, serial, identity);
  const TFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
  if (fd.Get() < 0) return 0;
  std::set<int32_t> numbers;
  const TScan scan = Scan(fd.Get(), [&](char kind, int32_t number, uint64_t, uint32_t) {
    if (kind == 'D' && number >= first && number <= last) numbers.insert(number);
  });
  if (!scan.Key || scan.Key->Serial != serial || scan.Key->Identity != identity) return 0;
  return static_cast<int32_t>(numbers.size());
}

std::vector<TJournalInfo> ListJournals(const std::filesystem::path& folder) {
  std::vector<TJournalInfo> list;
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(folder, ec)) {
    if (entry.path().extension() != ".journal") continue;
    if (auto info = InspectJournal(entry.path())) list.push_back(std::move(*info));
  }
  std::sort(list.begin(), list.end(),
            [](const TJournalInfo& a, const TJournalInfo& b) { return a.Path < b.Path; });
  return list;
}

int RemoveJournals(const std::filesystem::path& folder, std::string_view serial) {
  int removed = 0;
  for (const TJournalInfo& info : ListJournals(folder)) {
    if (info.Key.Serial != serial && Cp1251ToUtf8(info.Key.Serial) != serial) continue;
    std::error_code ec;
    if (std::filesystem::remove(info.Path, ec)) ++removed;
  }
  return removed;
}

TReadJournal::TReadJournal(const std::filesystem::path& folder, TJournalKey key, bool restart)
    : path_(JournalPath(folder, key.Serial, key.Identity)), key_(std::move(key)) {
  MakeFolder(folder);
  fd_ = ::open(path_.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd_ < 0) {
    throw Error(Fmt(Tr("Журнал чтения %s не открыт: %s"), path_.string(), SystemText(errno)));
  }
  try {
    // Two reads of one storage at once would interleave their records.
    if (::flock(fd_, LOCK_EX | LOCK_NB) != 0) {
      throw Error(Fmt(Tr("Журнал чтения %s занят другим чтением этого ФН"), path_.string()));
    }
    writer_ = std::thread([this] { Write(); });
    if (restart) {
      StartAfresh();
    } else {
      Load();
    }
  } catch (...) {
    Stop();
    ::close(fd_);
    throw;
  }
  lastHandOver_ = std::chrono::steady_clock::now();
}

TReadJournal::~TReadJournal() {
  if (fd_ < 0) return;
  try {
    Flush();
  } catch (const std::exception&) {
    // The writer has cut the file back to its whole records.
  }
  Stop();
  ::close(fd_);
}

void TReadJournal::Stop() {
  {
    const std::lock_guard lock(mutex_);
    stop_ = true;
  }
  changed_.notify_all();
  if (writer_.joinable()) writer_.join();
}

void TReadJournal::Load() {
  const TScan scan = Scan(fd_, [this](char kind, int32_t number, uint64_t at, uint32_t size) {
    TEntry& entry = index_[number];
    if (kind == 'D') {
      entry = {at, size, 0, 0};
    } else if (entry.DocumentSize != 0) {
      entry.Ticket = at;
      entry.TicketSize = size;
    }
  });
  // The same storage re-registered starts a journal of its own.
  if (!scan.Key || !(*scan.Key == key_)) {
    StartAfresh();
    return;
  }
  std::erase_if(index_, [](const auto& item) { return item.second.DocumentSize == 0; });
  for (const auto& item : index_) Note(item.first);
  written_ = scan.End;
  {
    const std::lock_guard lock(mutex_);
    durable_ = scan.End;
  }
  struct stat st {};
  if (::fstat(fd_, &st) == 0 && static_cast<uint64_t>(st.st_size) != written_) {
    // A torn or damaged tail: what follows the last whole record goes.
    if (::ftruncate(fd_, static_cast<off_t>(written_)) != 0 || ::fdatasync(fd_) != 0) {
      throw Error(Fmt(Tr("Журнал чтения %s не исправлен: %s"), path_.string(), SystemText(errno)));
    }
  }
}

void TReadJournal::StartAfresh() {
  index_.clear();
  first_ = last_ = 0;
  pending_.clear();
  written_ = 0;
  {
    const std::lock_guard lock(mutex_);
    durable_ = 0;
  }
  if (::ftruncate(fd_, 0) != 0) {
    throw Error(Fmt(Tr("Журнал чтения %s не очищен: %s"), path_.string(), SystemText(errno)));
  }
  pending_ = kMagic;
  const std::string header = HeaderPayload(key_);
  Put('H', [&](std::string& out) { out.append(header, 1); });
  Flush();
}

void TReadJournal::Note(int32_t number) {
  if (first_ == 0 || number < first_) first_ = number;
  if (last_ == 0 || number > last_) last_ = number;
}

template <class Fill>
uint64_t TReadJournal::Put(char kind, Fill fill) {
  const std::size_t at = pending_.size();
  pending_.append(kPrefix, '\0');
  pending_ += kind;
  fill(pending_);
  // The length now; the checksum is the writer's, off the reading thread.
  std::string length;
  PutU32(length, static_cast<uint32_t>(pending_.size() - at - kPrefix));
  pending_.replace(at, 4, length);
  return written_ + at + kPrefix;
}

void TReadJournal::Append(const TFNDocumentRec& rec) {
  pending_.reserve(pending_.size() + rec.TLVData.size() + 64);
  const std::size_t before = pending_.size();
  const uint64_t at = Put('D', [&](std::string& out) {
    PutI32(out, rec.DocNumber);
    PutI32(out, rec.DocType);
    PutI32(out, rec.DataLength);
    PutText(out, rec.TLVData);
    PutTicket(out, rec.Ticket);
  });
  index_[rec.DocNumber] = {at, static_cast<uint32_t>(pending_.size() - before - kPrefix), 0, 0};
  Note(rec.DocNumber);
  if (pending_.size() >= kHandOver ||
      std::chrono::steady_clock::now() - lastHandOver_ >= kSyncEvery) {
    HandOver();
  }
}

void TReadJournal::AppendTicket(int32_t number, const TFNTicketRec& ticket) {
  const auto it = index_.find(number);
  if (it == index_.end()) return;
  const std::size_t before = pending_.size();
  const uint64_t at = Put('T', [&](std::string& out) {
    PutI32(out, number);
    PutTicket(out, ticket);
  });
  it->second.Ticket = at;
  it->second.TicketSize = static_cast<uint32_t>(pending_.size() - before - kPrefix);
}

std::string TReadJournal::ReadPayload(uint64_t offset, uint32_t size) {
  if (offset >= written_) return pending_.substr(offset - written_, size);
  bool inFile = false;
  {
    const std::lock_guard lock(mutex_);
    inFile = offset + size <= durable_;
  }
  if (!inFile) Flush();
  std::string payload(size, '\0');
  std::size_t done = 0;
  while (done < size) {
    const ssize_t n =
        ::pread(fd_, payload.data() + done, size - done, static_cast<off_t>(offset + done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      throw Error(Fmt(Tr("Журнал чтения %s не прочитан: %s"), path_.string(),
                      n < 0 ? SystemText(errno) : std::string(Tr("файл укорочен"))));
    }
    done += static_cast<std::size_t>(n);
  }
  return payload;
}

bool TReadJournal::Get(int32_t number, TFNDocumentRec& rec) {
  const auto it = index_.find(number);
  if (it == index_.end()) return false;
  const TEntry entry = it->second;
  try {
    const std::string payload = ReadPayload(entry.Document, entry.DocumentSize);
    TFields f(std::string_view(payload).substr(1));
    rec.DocNumber = f.I32();
    rec.DocType = f.I32();
    rec.DataLength = f.I32();
    rec.TLVData = f.Text();
    f.Ticket(rec.Ticket);
    if (entry.TicketSize != 0) {
      const std::string ticket = ReadPayload(entry.Ticket, entry.TicketSize);
      TFields t(std::string_view(ticket).substr(1));
      static_cast<void>(t.I32());
      t.Ticket(rec.Ticket);
    }
  } catch (const Error&) {
    // The file changed under the journal: read the document again instead.
    index_.erase(number);
    return false;
  }
  return true;
}

void TReadJournal::HandOver() {
  lastHandOver_ = std::chrono::steady_clock::now();
  if (pending_.empty()) return;
  std::unique_lock lock(mutex_);
  changed_.wait(lock, [this] { return queue_.size() < kQueued || !error_.empty(); });
  if (!error_.empty()) throw Error(error_);
  written_ += pending_.size();
  queue_.push_back(std::move(pending_));
  pending_ = std::string();
  if (!spare_.empty()) {
    pending_ = std::move(spare_.back());  // its capacity kept
    spare_.pop_back();
  }
  lock.unlock();
  changed_.notify_all();
}

void TReadJournal::Flush() {
  HandOver();
  std::unique_lock lock(mutex_);
  changed_.wait(lock, [this] { return (queue_.empty() && !writing_) || !error_.empty(); });
  if (error_.empty()) {
    lock.unlock();
    if (::fdatasync(fd_) == 0) return;
    lock.lock();
    error_ = Fmt(Tr("Журнал чтения %s не записан: %s"), path_.string(), SystemText(errno));
  }
  // The records that did not reach the file are not the journal's.
  const uint64_t durable = durable_;
  const std::string error = error_;
  lock.unlock();
  std::erase_if(index_, [durable](const auto& item) { return item.second.Document >= durable; });
  for (auto& item : index_) {
    if (item.second.Ticket >= durable) item.second.Ticket = item.second.TicketSize = 0;
  }
  pending_.clear();
  written_ = durable;
  throw Error(error);
}

void TReadJournal::Write() {
  auto lastSync = std::chrono::steady_clock::now();
  bool unsynced = false;
  std::unique_lock lock(mutex_);
  for (;;) {
    changed_.wait_for(lock, kSyncEvery, [this] { return !queue_.empty() || stop_; });
    if (queue_.empty() && stop_) return;
    if (!queue_.empty() && error_.empty()) {
      std::string buffer = std::move(queue_.front());
      queue_.pop_front();
      writing_ = true;
      const uint64_t at = durable_;
      lock.unlock();
      // Whole records, after the magic at the file's start.
      for (std::size_t p = at == 0 ? kMagic.size() : 0; p + kPrefix <= buffer.size();) {
        const uint32_t size = LoadU32(buffer.data() + p);
        std::string crc;
        PutU32(crc, Crc32(std::string_view(buffer).substr(p + kPrefix, size)));
        buffer.replace(p + 4, 4, crc);
        p += kPrefix + size;
      }
      int error = 0;
      std::size_t done = 0;
      while (done < buffer.size()) {
        const ssize_t n = ::pwrite(fd_, buffer.data() + done, buffer.size() - done,
                                   static_cast<off_t>(at + done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
          error = n < 0 ? errno : ENOSPC;
          break;
        }
        done += static_cast<std::size_t>(n);
      }
      // Whole records only: a buffer that did not fit goes whole.
      if (error != 0) {
        // Should the cut fail, the torn tail is cut when the journal is opened.
        [[maybe_unused]] const int cut = ::ftruncate(fd_, static_cast<off_t>(at));
      } else {
        // Writeback starts now, so that a sync waits only for the last buffers.
        static_cast<void>(::sync_file_range(
            fd_, static_cast<off_t>(at), static_cast<off_t>(buffer.size()), SYNC_FILE_RANGE_WRITE));
      }
      lock.lock();
      writing_ = false;
      if (error != 0) {
        const bool full = error == ENOSPC || error == EDQUOT;
        error_ = Fmt(Tr("Журнал чтения %s не записан: %s"), path_.string(),
                     full ? std::string(Tr("нет места на диске")) : SystemText(error));
        queue_.clear();
      } else {
        durable_ += buffer.size();
        unsynced = true;
      }
      buffer.clear();
      if (spare_.size() < 2) spare_.push_back(std::move(buffer));
      changed_.notify_all();
    } else if (!queue_.empty()) {
      queue_.clear();
      changed_.notify_all();
    }
    if (unsynced && std::chrono::steady_clock::now() - lastSync >= kSyncEvery) {
      lock.unlock();
      static_cast<void>(::fdatasync(fd_));  // a failure shows in the next Flush
      lock.lock();
      lastSync = std::chrono::steady_clock::now();
      unsynced = false;
    }
  }
}

void TReadJournal::Remove() {
  pending_.clear();
  index_.clear();
  Stop();
  std::error_code ec;
  std::filesystem::remove(path_, ec);
  ::close(fd_);
  fd_ = -1;
}

}  // namespace kvitor
