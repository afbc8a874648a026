// SPDX-License-Identifier: MIT
// Copyright The Kvitor authors

// Throughput of the hot paths: checksum, parsing, report assembly, encoding
// and text rendering, over the synthetic storage's documents.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <filesystem>

#include "BenchData.h"
#include "base/Stream.h"
#include "report/Checksum.h"
#include "report/FNReport.h"
#include "report/FNReportBinWriter.h"
#include "report/FNReportTextWriter.h"
#include "tlv/TLVParser.h"

namespace kvitor::bench {
namespace {

constexpr int kDocuments = 20000;

const std::vector<TFNDocumentRec>& Documents() {
  static const auto documents = SyntheticDocuments(kDocuments);
  return documents;
}

void FillReport(TFNReport& report) {
  report.Clear();
  for (const auto& d : Documents()) report.AddDocument(d);
  report.Build(false);
}

// Counts what it is given and keeps nothing: rendering without a disk.
class TNullStream final : public TStream {
 public:
  std::size_t Read(void*, std::size_t) override { return 0; }
  std::size_t Write(const void*, std::size_t size) override {
    written += size;
    return size;
  }
  [[nodiscard]] int64_t Position() const override { return static_cast<int64_t>(written); }
  void SetPosition(int64_t) override {}
  [[nodiscard]] int64_t Size() const override { return static_cast<int64_t>(written); }
  std::size_t written = 0;
};

void BM_Checksum(benchmark::State& state) {
  std::string data(static_cast<std::size_t>(state.range(0)), '\0');
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 131 + 7);
  for (auto _ : state) benchmark::DoNotOptimize(ChecksumUpdate(kChecksumStart, data));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(BM_Checksum)->Arg(1 << 20)->Arg(64 << 20);

void BM_Parse(benchmark::State& state) {
  TTLVParser parser;
  const auto& documents = Documents();
  for (auto _ : state) {
    for (const auto& d : documents) parser.Parse(d.TLVData);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * BodyBytes(documents)));
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * documents.size()));
}
BENCHMARK(BM_Parse)->Unit(benchmark::kMillisecond);

void BM_ParseAndBuild(benchmark::State& state) {
  TFNReport report;
  const auto& documents = Documents();
  for (auto _ : state) {
    // Filling and freeing the report are not part of Build.
    state.PauseTiming();
    report.Clear();
    for (const auto& d : documents) report.AddDocument(d);
    state.ResumeTiming();
    report.Build(false);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * BodyBytes(documents)));
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * documents.size()));
}
BENCHMARK(BM_ParseAndBuild)->Unit(benchmark::kMillisecond);

void BM_Encode(benchmark::State& state) {
  TFNReport report;
  FillReport(report);
  std::size_t bytes = 0;
  for (auto _ : state) {
    std::size_t encoded = 0;
    report.EncodeTree([&encoded](std::string_view piece) { encoded += piece.size(); });
    bytes += encoded;
    benchmark::DoNotOptimize(encoded);
  }
  state.SetBytesProcessed(static_cast<int64_t>(bytes));
}
BENCHMARK(BM_Encode)->Unit(benchmark::kMillisecond);

void BM_TextRender(benchmark::State& state) {
  TFNReport report;
  FillReport(report);
  std::size_t bytes = 0;
  for (auto _ : state) {
    TNullStream out;
    WriteReportText(report, out);
    bytes += out.written;
  }
  state.SetBytesProcessed(static_cast<int64_t>(bytes));
}
BENCHMARK(BM_TextRender)->Unit(benchmark::kMillisecond);

void BM_SaveFiles(benchmark::State& state) {
  TFNReport report;
  FillReport(report);
  const auto folder = std::filesystem::temp_directory_path();
  const std::string name =
      (folder / (state.range(0) == 1 ? "kvitor-bench.bin" : "kvitor-bench.txt")).string();
  for (auto _ : state) {
    if (state.range(0) == 1) {
      TFNReportBinWriter().SaveToFile(report, name);
    } else {
      TFNReportTextWriter().SaveToFile(report, name);
    }
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                          static_cast<int64_t>(std::filesystem::file_size(name)));
  std::filesystem::remove(name);
}
BENCHMARK(BM_SaveFiles)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace kvitor::bench

BENCHMARK_MAIN();
