// SPDX-License-Identifier: MIT
// Copyright The Kvitor authors

#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <vector>

#include "base/Error.h"
#include "report/FNDocument.h"

namespace kvitor {

// CRC-32 (IEEE 802.3, reflected, as zlib's crc32) of bytes, continuing crc.
[[nodiscard]] uint32_t Crc32(std::string_view bytes, uint32_t crc = 0);

// Where journals are kept: $XDG_STATE_HOME/kvitor, else ~/.local/state/kvitor.
[[nodiscard]] std::filesystem::path JournalFolder();

// Which storage a journal belongs to. Serial and RegNumber are Windows-1251
// as the reader gives them; Identity is the driver's StorageIdentity().
struct TJournalKey {
  std::string Serial;
  std::string RegNumber;
  std::string Identity;

  friend bool operator==(const TJournalKey&, const TJournalKey&) = default;
};

// The journal file of a storage: its serial number and identity, each byte
// outside [0-9A-Za-z] written as %XX, so that no two storages share a name.
[[nodiscard]] std::filesystem::path JournalPath(const std::filesystem::path& folder,
                                                std::string_view serial, std::string_view identity);

// What a journal file holds, as found by reading it whole.
struct TJournalInfo {
  std::filesystem::path Path;
  TJournalKey Key;
  int32_t Documents = 0;  // distinct document numbers
  int32_t First = 0;      // lowest and highest of them, 0 without any
  int32_t Last = 0;
  uint64_t Size = 0;  // bytes of whole records
};

// The journal at path, or nothing when there is none or it is not a journal.
// Only reads: a damaged tail is left for the writer to cut.
[[nodiscard]] std::optional<TJournalInfo> InspectJournal(const std::filesystem::path& path);
// How many documents of first..last the journal at path holds, when it is one
// of serial and identity; 0 otherwise.
[[nodiscard]] int32_t JournaledInRange(const std::filesystem::path& folder, std::string_view serial,
                                       std::string_view identity, int32_t first, int32_t last);
// Every journal in folder, by file name.
[[nodiscard]] std::vector<TJournalInfo> ListJournals(const std::filesystem::path& folder);
// Removes the journals of the storage with this serial number (UTF-8 or
// Windows-1251 as stored); returns how many. Other files stay untouched.
int RemoveJournals(const std::filesystem::path& folder, std::string_view serial);

// The journal of one storage's reads: every document read is appended as a
// record (length, CRC-32, payload; doc/journal.md), written out and synced at
// least once a second. Opening cuts a torn or damaged tail back to the last
// whole record. Used by one thread at a time.
class TReadJournal {
 public:
  // Opens or creates the journal of key in folder (made with mode 0700, the
  // file 0600). A journal of the same storage under another registration
  // number, or any when restart, is started afresh. Error when the folder or
  // file cannot be used.
  TReadJournal(const std::filesystem::path& folder, TJournalKey key, bool restart);
  // Writes out what is pending; errors are dropped (Flush reports them).
  ~TReadJournal();
  TReadJournal(const TReadJournal&) = delete;
  TReadJournal& operator=(const TReadJournal&) = delete;

  [[nodiscard]] const std::filesystem::path& Path() const { return path_; }
  [[nodiscard]] int32_t Count() const { return static_cast<int32_t>(index_.size()); }
  [[nodiscard]] bool Has(int32_t number) const { return index_.count(number) != 0; }
  // The lowest and highest number held, 0 without any.
  [[nodiscard]] int32_t First() const { return first_; }
  [[nodiscard]] int32_t Last() const { return last_; }

  // Room for this many documents, so that the index does not grow in steps.
  void Reserve(std::size_t documents) { index_.reserve(documents); }
  // The journaled document, with the latest confirmation journaled for it;
  // false when it has none.
  bool Get(int32_t number, TFNDocumentRec& rec);
  void Append(const TFNDocumentRec& rec);
  // A confirmation that came for a journaled document.
  void AppendTicket(int32_t number, const TFNTicketRec& ticket);
  // Writes out what is pending and syncs it. On failure the file is cut back
  // to its last whole record and Error says why.
  void Flush();
  // Deletes the file; the object is of no further use.
  void Remove();

 private:
  struct TEntry {
    uint64_t Document = 0;  // payload offsets of the document and its
    uint32_t DocumentSize = 0;
    uint64_t Ticket = 0;  // latest confirmation record, 0 for none
    uint32_t TicketSize = 0;
  };
  void Load();
  void StartAfresh();
  // Appends a record whose fields fill writes after the kind.
  template <class Fill>
  uint64_t Put(char kind, Fill fill);
  std::string ReadPayload(uint64_t offset, uint32_t size);
  void Note(int32_t number);
  // Hands what is pending to the writer; waits while it is far behind.
  void HandOver();
  void Write();  // the writer thread
  void Stop();
  [[noreturn]] void Fail(int error);

  std::filesystem::path path_;
  TJournalKey key_;
  int fd_ = -1;
  uint64_t written_ = 0;  // where pending_ goes: every record before it is whole
  std::string pending_;   // records not yet handed to the writer
  std::unordered_map<int32_t, TEntry> index_;
  int32_t first_ = 0;
  int32_t last_ = 0;
  std::chrono::steady_clock::time_point lastHandOver_;

  // The writer writes and syncs off the reading thread, so that the read
  // waits for the disk only when the writer falls far behind.
  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<std::string> queue_;   // under mutex_, as the rest of this group
  std::vector<std::string> spare_;  // written buffers, for their capacity
  bool writing_ = false;            // a buffer taken from the queue is being written
  bool stop_ = false;
  uint64_t durable_ = 0;  // written by the writer, all whole records
  std::string error_;     // the writer's failure
  std::thread writer_;
};

}  // namespace kvitor
