// SPDX-License-Identifier: MIT
// Copyright The Kvitor authors

#include "fn-emulator/PtyServer.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "base/Error.h"
#include "drivers/serial/FNFrame.h"

namespace kvitor {
namespace {

using std::chrono::milliseconds;
using TClock = std::chrono::steady_clock;

// Requests are small: a longer length field is line noise.
constexpr std::size_t kMaxRequestLength = 64;

}  // namespace

TPtyServer::TPtyServer(TFNWireStorage& storage) : storage_(storage) {
  master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  char name[128] = {};
  if (master_ < 0 || ::grantpt(master_) != 0 || ::unlockpt(master_) != 0 ||
      ::ptsname_r(master_, name, sizeof name) != 0) {
    const std::string reason = std::strerror(errno);
    if (master_ >= 0) ::close(master_);
    throw Error("Не удалось создать псевдотерминал: " + reason);
  }
  path_ = name;
  termios tio{};
  if (::tcgetattr(master_, &tio) == 0) {
    ::cfmakeraw(&tio);
    static_cast<void>(::tcsetattr(master_, TCSANOW, &tio));
  }
  ::fcntl(master_, F_SETFL, ::fcntl(master_, F_GETFL) | O_NONBLOCK);
}

TPtyServer::~TPtyServer() {
  if (master_ >= 0) ::close(master_);
}

bool TPtyServer::SpeedMatches(int baud) const {
  if (baud <= 0) return true;
  // The terminal's settings are shared by both ends: what the driver set.
  termios tio{};
  if (::tcgetattr(master_, &tio) != 0) return true;
  const speed_t speed = ::cfgetospeed(&tio);
  switch (baud) {
    case 9600: return speed == B9600;
    case 19200: return speed == B19200;
    case 38400: return speed == B38400;
    case 57600: return speed == B57600;
    case 115200: return speed == B115200;
    default: return true;
  }
}

void TPtyServer::Send(std::string_view bytes, const TServeOptions& options) const {
  if (options.PaceBaud <= 0) {
    WriteAll(std::string(bytes));
    return;
  }
  // Ten bits a byte; small chunks on a schedule, so that the reader sees
  // the bytes come as a line would bring them.
  constexpr std::size_t kChunk = 16;
  const auto start = TClock::now();
  for (std::size_t at = 0; at < bytes.size(); at += kChunk) {
    const std::string_view chunk = bytes.substr(at, kChunk);
    std::this_thread::sleep_until(
        start + std::chrono::microseconds(static_cast<int64_t>(at + chunk.size()) * 10'000'000 /
                                          options.PaceBaud));
    WriteAll(std::string(chunk));
  }
}

void TPtyServer::WriteAll(const std::string& bytes) const {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(master_, bytes.data() + done, bytes.size() - done);
    if (n > 0) {
      done += static_cast<std::size_t>(n);
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else if (n < 0 && errno == EAGAIN) {
      pollfd p{master_, POLLOUT, 0};
      if (::poll(&p, 1, 1000) <= 0) return;
    } else {
      return;  // the other end is gone: the answer is lost, as on a line
    }
  }
}

void TPtyServer::Serve(const std::atomic<bool>& stop, TServeOptions options) {
  std::string buffer;
  bool everOpen = false;
  bool closed = false;
  TClock::time_point closedSince{};
  // No one has the terminal open: wait for someone, or give up.
  const auto giveUp = [&] {
    if (!closed) closedSince = TClock::now();
    closed = true;
    buffer.clear();
    const milliseconds limit = everOpen ? options.Idle : options.FirstWait;
    if (limit.count() > 0 && TClock::now() - closedSince > limit) return true;
    std::this_thread::sleep_for(milliseconds(20));
    return false;
  };
  while (!stop.load()) {
    pollfd p{master_, POLLIN, 0};
    const int ready = ::poll(&p, 1, 100);
    if (ready < 0 && errno != EINTR) break;
    if (ready <= 0) continue;
    if ((p.revents & POLLIN) == 0) {
      if (giveUp()) break;
      continue;
    }
    char chunk[512];
    const ssize_t n = ::read(master_, chunk, sizeof chunk);
    if (n <= 0) {
      if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
      if (giveUp()) break;
      continue;
    }
    everOpen = true;
    closed = false;
    buffer.append(chunk, static_cast<std::size_t>(n));
    while (!buffer.empty()) {
      const TFrameResult r = DecodeFrame(buffer, kMaxRequestLength);
      if (r.Status == TFrameStatus::NeedMore) break;
      if (r.Status != TFrameStatus::Frame) {
        // Noise or a damaged request: the storage does not answer it.
        buffer.erase(0, r.Consumed);
        continue;
      }
      const std::string request = buffer.substr(0, r.Consumed);
      buffer.erase(0, r.Consumed);
      if (options.PaceBaud > 0) {
        // The request's own time on the line.
        std::this_thread::sleep_for(std::chrono::microseconds(static_cast<int64_t>(request.size()) *
                                                              10'000'000 / options.PaceBaud));
      }
      if (!SpeedMatches(options.Baud)) continue;
      const TFNWireStorage::TReply reply =
          storage_.Handle(r.Code, std::string_view(request).substr(4, request.size() - 6));
      if (reply.Echo) Send(request, options);
      if (reply.DelayMs > 0) {
        const auto until = TClock::now() + milliseconds(reply.DelayMs);
        while (!stop.load() && TClock::now() < until) {
          std::this_thread::sleep_for(
              std::min<TClock::duration>(milliseconds(10), until - TClock::now()));
        }
      }
      if (reply.Cut) {
        Send(std::string_view(reply.Frame).substr(0, reply.Frame.size() / 2), options);
        ::close(master_);
        master_ = -1;
        return;
      }
      if (!reply.Frame.empty()) Send(reply.Frame, options);
      if (reply.Disconnect) {
        ::close(master_);
        master_ = -1;
        return;
      }
    }
  }
}

}  // namespace kvitor
