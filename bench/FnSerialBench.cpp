// SPDX-License-Identifier: MIT
// Copyright The Kvitor authors

// A whole read job of synthetic documents through a pseudo-terminal: the
// serial driver on one end, the emulated storage's protocol server (no delay)
// on the other, in this process. Prints the documents per second and the
// share of the job's time spent outside the line, that is, not waiting in
// the port's reads and writes. The emulated driver's rate is the reference.
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

// Adds the time spent in the port's calls to a total.
class TTimedTransport final : public TFNTransport {
 public:
  TTimedTransport(std::unique_ptr<TFNTransport> inner, std::atomic<int64_t>& ns)
      : inner_(std::move(inner)), ns_(ns) {}
  void Write(std::string_view bytes) override {
    const Timer t(ns_);
    inner_->Write(bytes);
  }
  std::size_t Read(std::string& buffer, std::size_t most,
                   std::chrono::milliseconds timeout) override {
    const Timer t(ns_);
    return inner_->Read(buffer, most, timeout);
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
};

// Seconds of the whole job (status, read, report build), and documents read.
double RunJob(const TMainController::TDriverFactory& factory, int32_t count) {
  const TDriverThreadScope scope;
  TMainController controller(factory);
  const auto start = TClock::now();
  controller.Start({1, count, false});
  while (!controller.JobFinished()) std::this_thread::sleep_for(std::chrono::milliseconds(2));
  const double seconds = std::chrono::duration<double>(TClock::now() - start).count();
  const auto status = controller.GetStatus();
  if (status.State != TJobState::Finished) {
    std::fprintf(stderr, "job failed: %s\n", status.Text.c_str());
    std::exit(1);
  }
  return seconds;
}

int Main(int count) {
  const std::string json =
      "{\"synthetic\": {\"count\": " + std::to_string(count) + ", \"seed\": 1}, \"delay_ms\": 0}";
  const auto image = TStorageImage::LoadText(json, "bench");
  TFNWireStorage wire(image, {});
  TPtyServer server(wire);
  std::atomic<bool> stop{false};
  std::thread serving([&] { server.Serve(stop, {}); });

  std::atomic<int64_t> lineNs{0};
  const double serial = RunJob(
      [&] {
        TFNSerialTorvel::TOptions options;
        options.Port = server.Path();
        options.OpenTransport = [&](const std::string& port, int baud) {
          return std::unique_ptr<TFNTransport>(
              std::make_unique<TTimedTransport>(std::make_unique<TSerialPort>(port, baud), lineNs));
        };
        return std::make_unique<TFNSerialTorvel>(std::move(options));
      },
      count);
  stop = true;
  serving.join();
  const int64_t requests = wire.Requests();

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

  const double line = static_cast<double>(lineNs.load()) / 1e9;
  std::printf("Serial driver over a pseudo-terminal, %d synthetic documents (delay 0)\n", count);
  std::printf("%-28s %10.2f s\n", "job wall time", serial);
  std::printf("%-28s %10.0f\n", "documents per second", count / serial);
  std::printf("%-28s %10lld (%.1f per document)\n", "requests on the line",
              static_cast<long long>(requests), static_cast<double>(requests) / count);
  std::printf("%-28s %10.2f s\n", "time in the port's calls", line);
  std::printf("%-28s %10.1f %%\n", "share outside the line", 100.0 * (serial - line) / serial);
  std::printf("%-28s %10.0f documents per second\n", "emulated driver (reference)",
              count / emulated);
  return 0;
}

}  // namespace
}  // namespace kvitor

int main(int argc, char** argv) {
  const int count = argc > 1 ? std::atoi(argv[1]) : 10000;
  return kvitor::Main(count > 0 ? count : 10000);
}
