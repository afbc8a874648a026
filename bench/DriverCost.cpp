// SPDX-License-Identifier: MIT
// Copyright The Kvitor authors

// Reads every document of a storage data file through the emulated driver and
// the reader, as a read job does, keeping nothing; prints the documents read
// and the process's CPU seconds. The benchmark sets this beside a whole job
// to give the emulated driver's share of the job's CPU.
#include <sys/resource.h>

#include <cstdio>
#include <cstdlib>
#include <exception>

#include "FNReportReader.h"
#include "Torvel.h"
#include "TorvelFactory.h"

namespace {

double CpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  const auto seconds = [](const timeval& t) {
    return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6;
  };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s IMAGE.json\n", argv[0]);
    return 2;
  }
  try {
    ::setenv("TORVEL_IMAGE", argv[1], 1);
    ::unsetenv("TORVEL_PORT");
    const double start = CpuSeconds();
    kvitor::TDriverThreadScope scope;
    const auto driver = kvitor::CreateTorvel();
    const kvitor::TFNReportReader reader(driver.get());
    reader.Open();
    kvitor::THeaderParams params;
    reader.ReadHeaderParams(params);
    kvitor::TFNStatusRec status;
    reader.ReadStorageStatus(status);
    kvitor::TFNDocumentRec rec;
    bool withTicket = true;
    long long documents = 0;
    for (int64_t n = 1; n <= status.LastDocNumber; ++n) {
      reader.ReadDocument(static_cast<int32_t>(n), withTicket, rec);
      if (rec.Ticket.TicketData.empty()) withTicket = false;
      ++documents;
    }
    std::printf("%lld %.3f\n", documents, CpuSeconds() - start);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "%s\n", e.what());
    return 1;
  }
  return 0;
}
