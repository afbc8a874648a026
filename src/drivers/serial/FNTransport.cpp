// SPDX-License-Identifier: MIT
// Copyright The Kvitor authors

#include "drivers/serial/FNTransport.h"

#include "base/Messages.h"

#include <fcntl.h>
#include <linux/serial.h>
#include <locale.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>

namespace kvitor {
namespace {

speed_t SpeedOf(int baud) {
  switch (baud) {
    case 9600: return B9600;
    case 19200: return B19200;
    case 38400: return B38400;
    case 57600: return B57600;
    case 115200: return B115200;
    default: return B0;
  }
}

std::string OpenFailure(const std::string& path, int error) {
  std::string text = Fmt(Tr("Не удалось открыть порт %s: %s"), path, SystemReason(error));
  if (error == EACCES || error == EPERM) {
    text +=
        Tr(". Порт доступен группе dialout: добавьте в неё пользователя (sudo usermod -aG dialout "
           "$USER) и войдите в систему заново");
  }
  return text;
}

bool SetSpeed(int fd, int baud) {
  termios tio{};
  return ::tcgetattr(fd, &tio) == 0 && ::cfsetispeed(&tio, SpeedOf(baud)) == 0 &&
         ::cfsetospeed(&tio, SpeedOf(baud)) == 0 && ::tcsetattr(fd, TCSANOW, &tio) == 0;
}

}  // namespace

std::string SystemReason(int error) {
  switch (error) {
    case EACCES: return Tr("отказано в доступе");
    case EPERM: return Tr("операция не позволена");
    case ENOENT: return Tr("нет такого файла или каталога");
    case ENODEV: return Tr("нет такого устройства");
    case ENXIO: return Tr("нет такого устройства или адреса");
    case EBUSY: return Tr("устройство или ресурс занято");
    case EIO: return Tr("ошибка ввода-вывода");
    case ENOTTY: return Tr("устройство не является терминалом");
    case EAGAIN: return Tr("ресурс временно недоступен");
    case EINVAL: return Tr("недопустимый аргумент");
    case EMFILE:
    case ENFILE: return Tr("слишком много открытых файлов");
    case EISDIR: return Tr("это каталог");
    case ENOTDIR: return Tr("не является каталогом");
    case EROFS: return Tr("файловая система доступна только для чтения");
    case EINTR: return Tr("прерванный системный вызов");
    case ENOMEM: return Tr("недостаточно памяти");
    default: break;
  }
  // Any other: the system's own words in the user's language.
  const locale_t user = ::newlocale(LC_MESSAGES_MASK, "", nullptr);
  std::string text = user != nullptr ? ::strerror_l(error, user) : std::strerror(error);
  if (user != nullptr) ::freelocale(user);
  return text;
}

TSerialPort::TSerialPort(const std::string& path, int baud) : path_(path) {
  if (!IsSupportedBaud(baud) || SpeedOf(baud) == B0) {
    throw TFNPortError(
        Fmt(Tr("Порт %s: скорость %s не поддерживается (9600, 19200, 38400, 57600, 115200)"), path,
            baud),
        false);
  }
  fd_ = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd_ < 0) throw TFNPortError(OpenFailure(path, errno), errno == EBUSY);
  const auto fail = [&](const std::string& text, bool busy) {
    ::close(fd_);
    fd_ = -1;
    throw TFNPortError(text, busy);
  };
  if (::isatty(fd_) != 1) {
    fail(Fmt(Tr("Не удалось открыть порт %s: это не последовательный порт (не терминал)"), path),
         false);
  }
  // flock also keeps out a second instance of this process, which TIOCEXCL
  // does not, and root, which TIOCEXCL lets through.
  if (::flock(fd_, LOCK_EX | LOCK_NB) != 0) {
    if (errno == EWOULDBLOCK) fail(Fmt(Tr("Порт %s занят другим подключением"), path), true);
    fail(OpenFailure(path, errno), false);
  }
  static_cast<void>(::ioctl(fd_, TIOCEXCL));
  // An adapter that powers the storage from DTR, or a level shifter fed from
  // RTS, needs both raised; a terminal that has neither ignores this.
  int lines = TIOCM_DTR | TIOCM_RTS;
  static_cast<void>(::ioctl(fd_, TIOCMBIS, &lines));
  // A USB adapter's latency timer (often 16 ms) would hold back every short
  // answer; a pseudo-terminal has no such setting and refuses it.
  serial_struct serial{};
  if (::ioctl(fd_, TIOCGSERIAL, &serial) == 0) {
    serial.flags |= ASYNC_LOW_LATENCY;
    static_cast<void>(::ioctl(fd_, TIOCSSERIAL, &serial));
  }
  termios tio{};
  if (::tcgetattr(fd_, &tio) != 0) fail(OpenFailure(path, errno), false);
  ::cfmakeraw(&tio);
  tio.c_cflag &= ~static_cast<tcflag_t>(CSTOPB | PARENB | CRTSCTS | CSIZE);
  tio.c_cflag |= CS8 | CLOCAL | CREAD;
  tio.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
  tio.c_cc[VMIN] = 0;
  tio.c_cc[VTIME] = 0;
  if (::cfsetispeed(&tio, SpeedOf(baud)) != 0 || ::cfsetospeed(&tio, SpeedOf(baud)) != 0 ||
      ::tcsetattr(fd_, TCSANOW, &tio) != 0) {
    fail(OpenFailure(path, errno), false);
  }
  static_cast<void>(::tcflush(fd_, TCIOFLUSH));
}

TSerialPort::~TSerialPort() {
  if (fd_ < 0) return;
  static_cast<void>(::ioctl(fd_, TIOCNXCL));
  ::close(fd_);
}

bool TSerialPort::Alive() const {
  pollfd p{fd_, 0, 0};
  return ::poll(&p, 1, 0) >= 0 && (p.revents & (POLLHUP | POLLERR | POLLNVAL)) == 0;
}

bool TSerialPort::SetBaud(int baud) {
  return IsSupportedBaud(baud) && SpeedOf(baud) != B0 && SetSpeed(fd_, baud);
}

void TSerialPort::Lost(const std::string& why) const {
  throw TFNLineError(Fmt(Tr("Связь с ФН на порту %s потеряна: %s"), path_, why));
}

void TSerialPort::Write(std::string_view bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(fd_, bytes.data() + done, bytes.size() - done);
    if (n > 0) {
      done += static_cast<std::size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno == EAGAIN) {
      pollfd p{fd_, POLLOUT, 0};
      const int ready = ::poll(&p, 1, 1000);
      if (ready == 0) Lost(Tr("порт не принимает данные"));
      if (ready > 0 && (p.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) Lost(Tr("порт закрыт"));
      continue;
    }
    Lost(n < 0 ? SystemReason(errno) : Tr("запись не удалась"));
  }
}

std::size_t TSerialPort::Read(std::string& buffer, std::size_t most,
                              std::chrono::milliseconds timeout) {
  pollfd p{fd_, POLLIN, 0};
  int ready = 0;
  do {
    ready = ::poll(&p, 1, static_cast<int>(std::max<int64_t>(0, timeout.count())));
  } while (ready < 0 && errno == EINTR);
  if (ready < 0) Lost(SystemReason(errno));
  if (ready == 0) return 0;
  if ((p.revents & POLLIN) == 0 && (p.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) {
    Lost(Tr("устройство отключено"));
  }
  char chunk[4096];
  const ssize_t n = ::read(fd_, chunk, std::min(most, sizeof chunk));
  if (n > 0) {
    buffer.append(chunk, static_cast<std::size_t>(n));
    return static_cast<std::size_t>(n);
  }
  if (n < 0 && (errno == EAGAIN || errno == EINTR)) return 0;
  // A terminal whose other end is gone reads as end of file or EIO.
  Lost(n == 0 ? Tr("устройство отключено") : SystemReason(errno));
}

void TSerialPort::DiscardInput() { static_cast<void>(::tcflush(fd_, TCIFLUSH)); }

std::vector<std::string> ListSerialPorts() {
  namespace fs = std::filesystem;
  std::vector<std::string> ports;
  std::error_code ec;
  std::vector<std::string> byId;
  for (fs::directory_iterator it("/dev/serial/by-id", ec), end; !ec && it != end;
       it.increment(ec)) {
    byId.push_back(it->path().string());
  }
  std::sort(byId.begin(), byId.end());
  ports = byId;
  std::vector<std::string> devices;
  for (fs::directory_iterator it("/dev", ec), end; !ec && it != end; it.increment(ec)) {
    const std::string name = it->path().filename().string();
    if (name.rfind("ttyUSB", 0) == 0 || name.rfind("ttyACM", 0) == 0) {
      devices.push_back(it->path().string());
    }
  }
  std::sort(devices.begin(), devices.end());
  ports.insert(ports.end(), devices.begin(), devices.end());
  return ports;
}

}  // namespace kvitor
