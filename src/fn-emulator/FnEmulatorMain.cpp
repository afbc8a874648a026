// SPDX-License-Identifier: MIT
// Copyright The Kvitor authors

// kvitor-fn-emulator: the emulated storage on a pseudo-terminal.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <atomic>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <sstream>

#include "drivers/emulated/StorageImage.h"
#include "drivers/serial/FNTransport.h"
#include "fn-emulator/FNWireStorage.h"
#include "fn-emulator/PtyServer.h"
#include "job/VersionInfo.h"

namespace {

std::atomic<bool> gStop{false};

extern "C" void OnStop(int) { gStop.store(true); }

std::string ReadText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// Leaves the caller's process: `$(kvitor-fn-emulator)` returns once the path
// is printed, while the server goes on in a child of its own. The child keeps
// no descriptor of the caller's but the terminal's (keep), so that it holds
// no pipe, lock or file of the caller open.
bool Detach(int keep) {
  const pid_t pid = ::fork();
  if (pid < 0) return false;
  if (pid > 0) std::_Exit(0);
  ::setsid();
  if (keep > 3) ::close_range(3, static_cast<unsigned>(keep) - 1, 0);
  ::close_range(static_cast<unsigned>(keep) + 1, ~0U, 0);
  const int null = ::open("/dev/null", O_RDWR | O_CLOEXEC);
  if (null >= 0) {
    ::dup2(null, STDIN_FILENO);
    ::dup2(null, STDOUT_FILENO);
    ::dup2(null, STDERR_FILENO);
    ::close(null);
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{
      "Serves an emulated fiscal storage's data file over the storage's serial protocol on a new "
      "pseudo-terminal, whose path it prints.\n"
      "When its output is a pipe (as in $(kvitor-fn-emulator)) it serves in the background and "
      "ends 5 s after the last program closed the terminal (60 s when none opened it); otherwise "
      "it serves until SIGTERM or SIGINT.",
      "kvitor-fn-emulator"};
  std::string image;
  int baud = kvitor::kDefaultBaud;
  app.add_option("--image", image, "The data file; without it the built-in demo storage");
  bool pace = false;
  app.add_option("--baud", baud,
                 "The line speed: requests sent at another speed get no answer (default 115200)");
  app.add_flag("--pace", pace, "Answer at the line's speed (ten bits a byte) rather than at once");
  app.set_version_flag("--version", kvitor::GetFileVersionText(), "Print the version and exit");
  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp&) {
    std::cout << app.help();
    return 0;
  } catch (const CLI::CallForVersion& e) {
    std::cout << e.what() << '\n';
    return 0;
  } catch (const CLI::ParseError& e) {
    std::cerr << "kvitor-fn-emulator: " << e.what() << "\n";
    return 2;
  }
  if (!kvitor::IsSupportedBaud(baud)) {
    std::cerr << "kvitor-fn-emulator: unsupported --baud " << baud << "\n";
    return 2;
  }
  try {
    std::shared_ptr<const kvitor::TStorageImage> storage;
    kvitor::TWireFaults faults;
    if (image.empty()) {
      const std::string name(kvitor::kDemoStorageName);
      storage = kvitor::TStorageImage::LoadText(kvitor::DemoStorageJson(), name);
      faults = kvitor::ParseWireFaults(kvitor::DemoStorageJson(), name);
    } else {
      storage = kvitor::TStorageImage::LoadFile(image);
      faults = kvitor::ParseWireFaults(ReadText(image), image);
    }
    kvitor::TFNWireStorage wire(storage, faults);
    kvitor::TPtyServer server(wire);

    struct sigaction action {};
    action.sa_handler = OnStop;
    sigemptyset(&action.sa_mask);
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);

    std::cout << server.Path() << '\n' << std::flush;
    struct stat out {};
    const bool pipe = ::fstat(STDOUT_FILENO, &out) == 0 && S_ISFIFO(out.st_mode);
    kvitor::TPtyServer::TServeOptions options;
    options.Baud = baud;
    options.PaceBaud = pace ? baud : 0;
    if (pipe && Detach(server.Descriptor())) {
      options.Idle = std::chrono::seconds(5);
      options.FirstWait = std::chrono::seconds(60);
    }
    server.Serve(gStop, options);
  } catch (const std::exception& e) {
    std::cerr << "kvitor-fn-emulator: " << e.what() << "\n";
    return 1;
  }
  return 0;
}
