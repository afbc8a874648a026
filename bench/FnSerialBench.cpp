// SPDX-License-Identifier: MIT
// Copyright The Kvitor authors

// A whole read job of synthetic documents through a pseudo-terminal: the
// serial driver on one end, the emulated storage's protocol server (no delay,
// one TLV per 46h answer) on the other, in this process. First unpaced: the
// documents per second and the share of the job's time spent outside the
// line; the emulated driver's rate is the reference. Then paced at 115200 and
// 9600 baud: the job's time over the line's bound, the bytes on the wire at
// ten bits a byte.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include <unistd.h>

#include "drivers/emulated/EmulatedTorvel.h"
#include "drivers/serial/FNSerialTorvel.h"
#include "fn-emulator/FNWireStorage.h"
#include "fn-emulator/PtyServer.h"
#include "job/MainController.h"

namespace kvitor {
namespace {

using TClock = std::chrono::steady_clock;

// Adds the time spent in the port's calls, and the bytes through them, to totals.
class TTimedTransport final : public TFNTransport {
 public:
  TTimedTransport(std::unique_ptr<TFNTransport> inner, std::atomic<int64_t>& ns,
                  std::atomic<int64_t>& bytes)
      : inner_(std::move(inner)), ns_(ns), bytes_(bytes) {}
  void Write(std::string_view bytes) override {
    const Timer t(ns_);
    inner_->Write(bytes);
    bytes_ += static_cast<int64_t>(bytes.size());
  }
  std::size_t Read(std::string& buffer, std::size_t most,
                   std::chrono::milliseconds timeout) override {
    const Timer t(ns_);
    const std::size_t n = inner_->Read(buffer, most, timeout);
    bytes_ += static_cast<int64_t>(n);
    return n;
  }
  void DiscardInput() override {
    const Timer t(ns_);
    inner_->DiscardInput();
  }
  [[nodiscard]] const std::string& Name() const override { return inner_->Name(); }

 private:
  struct Timer {
    explicit Timer(std::atomic<int64_t>& ns) : ns_(ns), start_(TClock::now()) {}
    ~Timer() {
      ns_ += std::chrono::duration_cast<std::chrono::nanoseconds>(TClock::now() - start_).count();
    }
    std::atomic<int64_t>& ns_;
    TClock::time_point start_;
  };
  std::unique_ptr<TFNTransport> inner_;
  std::atomic<int64_t>& ns_;
  std::atomic<int64_t>& bytes_;
};

// Seconds of the whole job (status, read, report build), and documents read.
double RunJob(const TMainController::TDriverFactory& factory, int32_t count) {
  const TDriverThreadScope scope;
  TMainController controller(factory);
  const auto start = TClock::now();
  // Every run reads every document: one run's journal must not serve the next.
  controller.Start({1, count, false, true});
  while (!controller.JobFinished()) std::this_thread::sleep_for(std::chrono::milliseconds(2));
  const double seconds = std::chrono::duration<double>(TClock::now() - start).count();
  const auto status = controller.GetStatus();
  if (status.State != TJobState::Finished) {
    std::fprintf(stderr, "job failed: %s\n", status.Text.c_str());
    std::exit(1);
  }
  return seconds;
}

struct TSerialRun {
  double Seconds = 0;
  double LineSeconds = 0;  // in the port's calls
  int64_t Bytes = 0;       // sent and received
  int64_t Requests = 0;
};

TSerialRun RunSerial(const std::shared_ptr<const TStorageImage>& image, int32_t count, int baud,
                     bool pace) {
  TFNWireStorage wire(image, {});
  TPtyServer server(wire);
  TPtyServer::TServeOptions line;
  line.Baud = baud;
  line.PaceBaud = pace ? baud : 0;
  std::atomic<bool> stop{false};
  std::thread serving([&] { server.Serve(stop, line); });
  std::atomic<int64_t> lineNs{0};
  std::atomic<int64_t> bytes{0};
  TSerialRun run;
  run.Seconds = RunJob(
      [&] {
        TFNSerialTorvel::TOptions options;
        options.Port = server.Path();
        options.Baud = baud;
        options.OpenTransport = [&](const std::string& port, int speed) {
          return std::unique_ptr<TFNTransport>(std::make_unique<TTimedTransport>(
              std::make_unique<TSerialPort>(port, speed), lineNs, bytes));
        };
        return std::make_unique<TFNSerialTorvel>(std::move(options));
      },
      count);
  stop = true;
  serving.join();
  run.LineSeconds = static_cast<double>(lineNs.load()) / 1e9;
  run.Bytes = bytes.load();
  run.Requests = wire.Requests();
  return run;
}

int Main(int count, int pacedCount) {
  const std::string json =
      "{\"synthetic\": {\"count\": " + std::to_string(count) + ", \"seed\": 1}, \"delay_ms\": 0}";
  const auto image = TStorageImage::LoadText(json, "bench");
  const TSerialRun serial = RunSerial(image, count, 115200, false);

  const std::string path = "/tmp/kvitor-fnserial-bench-" + std::to_string(::getpid()) + ".json";
  if (FILE* f = std::fopen(path.c_str(), "w")) {
    std::fputs(json.c_str(), f);
    std::fclose(f);
  }
  const double emulated = RunJob(
      [&] {
        TEmulatedTorvel::TOptions options;
        options.ImagePath = path;
        return std::make_unique<TEmulatedTorvel>(options);
      },
      count);
  std::remove(path.c_str());

  std::printf(
      "Serial driver over a pseudo-terminal, %d synthetic documents (delay 0, one TLV a piece)\n",
      count);
  std::printf("%-28s %10.2f s\n", "job wall time", serial.Seconds);
  std::printf("%-28s %10.0f\n", "documents per second", count / serial.Seconds);
  std::printf("%-28s %10lld (%.1f per document)\n", "requests on the line",
              static_cast<long long>(serial.Requests),
              static_cast<double>(serial.Requests) / count);
  std::printf("%-28s %10.2f s\n", "time in the port's calls", serial.LineSeconds);
  std::printf("%-28s %10.1f %%\n", "share outside the line",
              100.0 * (serial.Seconds - serial.LineSeconds) / serial.Seconds);
  std::printf("%-28s %10.0f documents per second\n", "emulated driver (reference)",
              count / emulated);

  std::printf("\nPaced line (ten bits a byte): the job's time over the line's bound\n");
  std::printf("%-8s %9s %12s %9s %9s %7s\n", "baud", "documents", "wire_bytes", "bound_s", "job_s",
              "ratio");
  for (const int baud : {115200, 9600}) {
    const int32_t n = baud == 9600 ? std::max(1, pacedCount / 12) : pacedCount;
    const auto paced = TStorageImage::LoadText(
        "{\"synthetic\": {\"count\": " + std::to_string(n) + ", \"seed\": 1}, \"delay_ms\": 0}",
        "bench");
    const TSerialRun run = RunSerial(paced, n, baud, true);
    const double bound = static_cast<double>(run.Bytes) * 10 / baud;
    std::printf("%-8d %9d %12lld %9.2f %9.2f %7.3f\n", baud, n, static_cast<long long>(run.Bytes),
                bound, run.Seconds, run.Seconds / bound);
  }
  return 0;
}

}  // namespace
}  // namespace kvitor

// kvitor_bench_fnserial [COUNT [PACED]]: COUNT documents unpaced (10000),
// PACED at 115200 baud and a twelfth of them at 9600 (120).
int main(int argc, char** argv) {
  const int count = argc > 1 ? std::atoi(argv[1]) : 10000;
  const int paced = argc > 2 ? std::atoi(argv[2]) : 120;
  return kvitor::Main(count > 0 ? count : 10000, paced > 0 ? paced : 120);
}
