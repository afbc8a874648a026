// SPDX-License-Identifier: MIT
// Copyright The Kvitor authors

// What the journal adds to a read of a storage data file. Prints one line:
//   documents journal_s journal_bytes append_s
// journal_s: the wall time the reading thread spends in the journal, its
// appends and the final write-out and sync, for every document of the file
// read as a job reads them; append_s the appends alone. The documents are read in chunks through
// the emulated driver first, untimed, so that only the journal is measured.
#include <chrono>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <memory>
#include <vector>

#include "drivers/Torvel.h"
#include "drivers/emulated/EmulatedTorvel.h"
#include "job/FNReportReader.h"
#include "job/ReadJournal.h"

int main(int argc, char** argv) {
  using namespace kvitor;
  if (argc != 3) {
    std::fprintf(stderr, "usage: kvitor_bench_journal IMAGE FOLDER\n");
    return 2;
  }
  try {
    const TDriverThreadScope scope;
    TEmulatedTorvel::TOptions options;
    options.ImagePath = argv[1];
    TEmulatedTorvel driver(options);
    const TFNReportReader reader(&driver);
    reader.Open();
    THeaderParams params;
    reader.ReadHeaderParams(params);
    const std::filesystem::path folder = argv[2];
    std::chrono::duration<double> spent{0};
    std::chrono::duration<double> appending{0};
    uint64_t bytes = 0;
    {
      TReadJournal journal(folder, {params.FNNumber, params.RegNumber, driver.StorageIdentity()},
                           true);
      std::vector<TFNDocumentRec> chunk(10000);
      for (int32_t first = 1; first <= params.DocumentCount; first += 10000) {
        const int32_t n = std::min<int32_t>(10000, params.DocumentCount - first + 1);
        for (int32_t i = 0; i < n; ++i) {
          reader.ReadDocument(first + i, true, chunk[static_cast<std::size_t>(i)]);
        }
        const auto t0 = std::chrono::steady_clock::now();
        for (int32_t i = 0; i < n; ++i) journal.Append(chunk[static_cast<std::size_t>(i)]);
        spent += std::chrono::steady_clock::now() - t0;
      }
      appending = spent;
      const auto t0 = std::chrono::steady_clock::now();
      journal.Flush();
      spent += std::chrono::steady_clock::now() - t0;
      bytes = std::filesystem::file_size(journal.Path());
      journal.Remove();
    }
    std::printf("%d %.3f %llu %.3f\n", params.DocumentCount, spent.count(),
                static_cast<unsigned long long>(bytes), appending.count());
  } catch (const std::exception& e) {
    std::fprintf(stderr, "kvitor_bench_journal: %s\n", e.what());
    return 1;
  }
  return 0;
}
