// SPDX-License-Identifier: MIT
// Copyright The Kvitor authors

#include "cli/Cli.h"

#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string_view>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include "base/DateTime.h"
#include "base/Error.h"
#include "base/Messages.h"
#include "base/SafeFile.h"
#include "base/Stream.h"
#include "drivers/Torvel.h"
#include "drivers/TorvelSettings.h"
#include "job/MainController.h"
#include "job/ReadJournal.h"
#include "job/VersionInfo.h"
#include "report/ReportExport.h"
#include "tlv/DateText.h"
#include "tlv/LangUtils.h"
#include "tlv/StringUtils.h"

namespace kvitor {
namespace {

constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;
constexpr int kExitStopped = 3;

// The help's last part; a function, so that it is translated once the
// catalogues are bound.
std::string HelpFooter() {
  return TrEn(
      "Exit status:\n"
      "  0  success\n"
      "  1  the job ended in an error, a save failed, or show refused the file\n"
      "  2  bad arguments, or a range of documents the job refuses\n"
      "  3  stopped by Ctrl+C or SIGTERM (where other tools end with 130 or 143):\n"
      "     during the read, what had been read was saved; during the save, the\n"
      "     file being saved was left as it was before\n"
      "\n"
      "Environment:\n"
      "  TORVEL_IMAGE     the emulated storage's data file (--image sets it)\n"
      "  TORVEL_PORT      a fiscal storage on this serial port (--port sets it)\n"
      "  TORVEL_BAUD      the serial port's speed (--baud sets it)\n"
      "  TORVEL_TRACE     the file that logs every serial frame (--trace sets it)\n"
      "  XDG_CONFIG_HOME  the folder of the driver's settings, torvel/settings.json\n"
      "  XDG_STATE_HOME   the folder of the journals of reads, kvitor/ (default\n"
      "                   ~/.local/state)\n"
      "  LANGUAGE, LC_ALL, LANG\n"
      "                   the language of messages and tag names, the date format\n"
      "\n"
      "See kvitor-cli(1).");
}

std::atomic<bool> gInterrupted{false};

extern "C" void OnInterrupt(int) { gInterrupted.store(true); }

// Texts from files and devices may hold control characters (ESC, BEL, ...)
// that a terminal would obey: each becomes '?'. Line ends (LF, CR LF) and
// tabs stay. Also the C1 controls U+0080..U+009F, which some terminals obey.
std::string WithoutControls(std::string_view utf8) {
  std::string out;
  out.reserve(utf8.size());
  const auto at = [utf8](std::size_t i) {
    return i < utf8.size() ? static_cast<unsigned char>(utf8[i]) : 0U;
  };
  for (std::size_t i = 0; i < utf8.size(); ++i) {
    const unsigned c = at(i);
    const bool kept = c == '\n' || c == '\t' || (c == '\r' && at(i + 1) == '\n');
    const bool c1 = c == 0xC2 && at(i + 1) >= 0x80 && at(i + 1) <= 0x9F;
    if (c1) ++i;
    out += (!kept && (c < 0x20 || c == 0x7F)) || c1 ? '?' : static_cast<char>(c);
  }
  return out;
}

// Texts for the terminal: those the system holds as Windows-1251, and UTF-8.
std::string Show1251(const std::string& text) {
  return Utf8ToLocale(WithoutControls(Cp1251ToUtf8(text)));
}
std::string ShowUtf8(const std::string& text) { return Utf8ToLocale(WithoutControls(text)); }

// Every line of an error begins with the program's name, as a Unix tool's
// does, so that it stands out among the lines of a pipeline.
void PrintError(std::ostream& err, std::string_view text) {
  while (!text.empty()) {
    const std::size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    err << "kvitor-cli: " << line << '\n';
    if (end == std::string_view::npos) break;
    text.remove_prefix(end + 1);
  }
}

// text is UTF-8.
int UsageError(std::ostream& err, const std::string& text) {
  PrintError(err, ShowUtf8(text + "\n" + TrEn("Run kvitor-cli --help for the usage.")));
  return kExitUsage;
}

// Dates and times that no format fixes: ISO 8601 in every locale.
std::string IsoDate(TDateTime value) {
  const TDateTimeParts p = DecodeDateTime(value);
  char text[32];
  std::snprintf(text, sizeof text, "%04d-%02d-%02d", p.Year, p.Month, p.Day);
  return text;
}
std::string IsoTime(TDateTime value) {
  const TDateTimeParts p = DecodeDateTime(value);
  char text[32];
  std::snprintf(text, sizeof text, "%02d:%02d:%02d", p.Hour, p.Minute, p.Second);
  return text;
}

// Ctrl+C and SIGTERM ask the job to stop while this lives; their earlier
// handling comes back afterwards.
class TStopSignals {
 public:
  TStopSignals() {
    gInterrupted = false;
    struct sigaction action {};
    action.sa_handler = OnInterrupt;
    sigemptyset(&action.sa_mask);
    ::sigaction(SIGINT, &action, &previousInt_);
    ::sigaction(SIGTERM, &action, &previousTerm_);
  }
  ~TStopSignals() {
    ::sigaction(SIGINT, &previousInt_, nullptr);
    ::sigaction(SIGTERM, &previousTerm_, nullptr);
  }
  TStopSignals(const TStopSignals&) = delete;
  TStopSignals& operator=(const TStopSignals&) = delete;

 private:
  struct sigaction previousInt_ {};
  struct sigaction previousTerm_ {};
};

// Sets a driver variable of this process to a path made absolute.
void UsePath(const char* variable, const std::string& path) {
  if (path.empty()) return;
  std::error_code ec;
  const auto absolute = std::filesystem::absolute(path, ec);
  ::setenv(variable, (ec ? std::filesystem::path(path) : absolute).c_str(), 1);
}

int PrintStatus(bool json, std::ostream& out, std::ostream& err) {
  TMainController controller;
  try {
    controller.ReadFNStatus();
  } catch (const std::exception& e) {
    PrintError(err, ShowUtf8(e.what()));
    return kExitFailed;
  }
  const TFNStatusRec s = controller.FNStatus();
  if (json) {
    // In the order of the text form; the names stay, whatever the language.
    nlohmann::ordered_json status;
    status["status_2100"] = s.FNStatus2100;
    status["current_document"] = s.FNCurrentDocument;
    status["status_2102"] = s.FNStatus2102;
    status["status_2103"] = s.FNStatus2103;
    status["status_2104"] = s.FNStatus2104;
    status["date"] = IsoDate(s.FNDate);
    status["time"] = IsoTime(s.FNTime);
    status["serial_number"] = Cp1251ToUtf8(s.FNSerialNumber);
    status["last_document_number"] = s.LastDocNumber;
    out << status.dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace) << '\n';
    return 0;
  }
  out << "FNStatus2100: " << int{s.FNStatus2100} << '\n'
      << "FNCurrentDocument: " << int{s.FNCurrentDocument} << '\n'
      << "FNStatus2102: " << int{s.FNStatus2102} << '\n'
      << "FNStatus2103: " << int{s.FNStatus2103} << '\n'
      << "FNStatus2104: " << int{s.FNStatus2104} << '\n'
      << "FNDate: " << IsoDate(s.FNDate) << '\n'
      << "FNTime: " << IsoTime(s.FNTime) << '\n'
      << "FNSerialNumber: " << Show1251(s.FNSerialNumber) << '\n'
      << "LastDocNumber: " << s.LastDocNumber << '\n';
  return 0;
}

// One redrawn line on a terminal; otherwise, where lines pile up in a log,
// the last state alone once the job has ended.
class TProgress {
 public:
  TProgress(std::ostream& err, bool quiet)
      : err_(err), terminal_(::isatty(STDERR_FILENO) == 1), quiet_(quiet) {}

  void Show(const TMainControllerStatus& s) {
    if (s.State != TJobState::Running || quiet_) return;
    if (terminal_) {
      // The remaining time only once there is an estimate.
      err_ << '\r' << ShowUtf8(s.Text) << "  " << s.Percent << " %  " << DurationText(s.Elapsed);
      if (HasEstimate(s)) err_ << " / " << DurationText(s.Remaining);
      err_ << "\x1b[K" << std::flush;
      drawn_ = true;
    } else {
      last_ = ShowUtf8(s.Text) + " (" + std::to_string(s.Percent) + " %)";
    }
  }

  // Clears the redrawn line for a line of its own.
  void Finish() {
    if (drawn_) err_ << "\r\x1b[K" << std::flush;
    drawn_ = false;
  }

  // The job has ended.
  void End() {
    Finish();
    if (!last_.empty()) err_ << last_ << '\n';
    last_.clear();
  }

 private:
  std::ostream& err_;
  const bool terminal_;
  const bool quiet_;
  bool drawn_ = false;
  std::string last_;
};

struct TReadOptions {
  int32_t First = 1;
  std::optional<int32_t> Last;
  bool Only1162 = false;
  bool Ffd12 = false;
  bool Restart = false;
  int ReconnectWait = 120;
  bool Quiet = false;
  std::string Bin, Txt;
};

// "-" is the standard output; the writer then writes onto it where it stands.
std::string SaveTarget(const std::string& name) { return name == "-" ? kStandardOutput : name; }

int ReadAndSave(TMainController& controller, const TReadOptions& o, std::ostream& out,
                std::ostream& err) {
  const int32_t first = o.First;
  std::optional<int32_t> last = o.Last;
  const std::string& bin = o.Bin;
  const std::string& txt = o.Txt;
  if (!last) {
    try {
      controller.ReadFNStatus();
    } catch (const std::exception& e) {
      PrintError(err, ShowUtf8(e.what()));
      return kExitFailed;
    }
    last = static_cast<int32_t>(controller.FNStatus().LastDocNumber);
  }
  const TStopSignals signals;
  try {
    controller.SetReconnectWait(std::chrono::seconds(o.ReconnectWait));
    controller.Start({first, *last, o.Only1162, o.Restart, o.Ffd12});
  } catch (const TRangeError& e) {
    PrintError(err, ShowUtf8(e.what()));
    return kExitUsage;
  } catch (const std::exception& e) {
    PrintError(err, ShowUtf8(e.what()));
    return kExitFailed;
  }

  TProgress progress(err, o.Quiet);
  // Lines that only tell how the work goes; --quiet leaves them out.
  const auto tell = [&](const std::string& text) {
    if (o.Quiet) return;
    progress.Finish();
    err << ShowUtf8(text) << std::endl;
  };
  bool toldJournal = false;
  // The journal's part, once the job has opened it.
  const auto tellJournal = [&] {
    const auto use = controller.JournalUse();
    if (toldJournal || !use) return;
    toldJournal = true;
    if (use->first == 0) return;
    tell(use->second <= *last
             ? Fmt(Tr("Продолжение: из журнала документов %s, читаются с № %s"), use->first,
                   use->second)
             : Fmt(Tr("Продолжение: из журнала документов %s, все документы диапазона"),
                   use->first));
  };
  std::string toldWait;
  while (!controller.JobFinished()) {
    if (gInterrupted.exchange(false)) controller.Stop();
    tellJournal();
    const TMainControllerStatus now = controller.GetStatus();
    // A lost line is said once, on a line of its own, whatever the progress shows.
    if (now.State == TJobState::Running && now.AwaitingStorage && now.Text != toldWait) {
      toldWait = now.Text;
      tell(now.Text);
    }
    progress.Show(now);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  progress.End();
  tellJournal();

  const TMainControllerStatus status = controller.GetStatus();
  if (status.State != TJobState::Finished) {
    PrintError(err, ShowUtf8(status.Text));
    if (controller.ReportIncomplete() && controller.DocumentsRead() > 0) {
      PrintError(
          err,
          ShowUtf8(Fmt(Tr("Прочитанное сохранено в журнале: повторите команду, чтобы продолжить, "
                          "или задайте --last %s для отчета о прочитанных документах"),
                       first + controller.DocumentsRead() - 1)));
    }
    return kExitFailed;
  }
  const bool stopped = controller.JobStopped();
  if (stopped) {
    PrintError(err,
               ShowUtf8(Fmt(Tr("прервано: %s"), StoppedJobText(controller.DocumentsRead(),
                                                               controller.DocumentsToRead()))));
  } else {
    tell(status.Text);
  }
  if (controller.IsReportReady() && controller.Report().NewerFormatSeen()) {
    tell(
        Tr("Прочитаны документы ФФД 1.2: включите «Реквизиты ФФД 1.2 и новее», чтобы "
           "видеть их реквизиты (--ffd12)"));
  }
  // Where the saved files are, unless the standard output carries one of them.
  const bool tellSaved = !o.Quiet && bin != "-" && txt != "-";
  // Ctrl+C or SIGTERM now stops the save; the file it would replace stays.
  StopSavesWhen(&gInterrupted);
  const std::unique_ptr<const std::atomic<bool>, void (*)(const std::atomic<bool>*)> saving(
      &gInterrupted, [](const std::atomic<bool>*) { StopSavesWhen(nullptr); });
  try {
    // A job stopped before it began has no report.
    if (controller.IsReportReady() && !bin.empty()) {
      controller.SaveReport(SaveTarget(bin), TReportFileType::Binary);
      if (tellSaved) out << bin << '\n';
    }
    if (controller.IsReportReady() && !txt.empty()) {
      controller.SaveReport(SaveTarget(txt), TReportFileType::Text);
      if (tellSaved) out << txt << '\n';
    }
  } catch (const TSaveStopped& e) {
    PrintError(err, ShowUtf8(e.what()));
    PrintError(err, ShowUtf8(Tr("прервано: сохранение остановлено, прежний файл не изменён")));
    return kExitStopped;
  } catch (const std::exception& e) {
    PrintError(err, ShowUtf8(e.what()));
    return kExitFailed;
  }
  return stopped ? kExitStopped : 0;
}

// The process ends right after a read: its report of perhaps millions of tags
// is left to the system instead of being freed tag by tag, which would only
// delay the exit. Sanitizer builds free it, so that leak checks stay exact.
int RunRead(const TReadOptions& options, std::ostream& out, std::ostream& err) {
  auto controller = std::make_unique<TMainController>();
  const int code = ReadAndSave(*controller, options, out, err);
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
  if (controller->JobFinished()) static_cast<void>(controller.release());
#endif
  return code;
}

int ListJournalFiles(std::ostream& out, std::ostream& err) {
  try {
    const auto folder = JournalFolder();
    out << ShowUtf8(folder.string()) << ":\n";
    for (const TJournalInfo& j : ListJournals(folder)) {
      out << Show1251(j.Key.Serial) << "  " << ShowUtf8(Tr("РН ")) << Show1251(j.Key.RegNumber)
          << "  " << ShowUtf8(Fmt(Tr("документов %s"), j.Documents));
      if (j.Documents > 0) out << " (" << j.First << ".." << j.Last << ")";
      out << "  " << ShowUtf8(Fmt(Tr("%s байт"), j.Size)) << "  "
          << ShowUtf8(j.Path.filename().string()) << '\n';
    }
  } catch (const std::exception& e) {
    PrintError(err, ShowUtf8(e.what()));
    return kExitFailed;
  }
  return 0;
}

int RemoveJournalFiles(const std::string& serial, bool quiet, std::ostream& out,
                       std::ostream& err) {
  try {
    const int removed = RemoveJournals(JournalFolder(), LocaleToUtf8(serial));
    if (removed == 0) {
      PrintError(err, ShowUtf8(Fmt(Tr("Журнал ФН %s не найден"), LocaleToUtf8(serial))));
      return kExitFailed;
    }
    if (!quiet) out << ShowUtf8(Fmt(Tr("Удалено журналов: %s"), removed)) << '\n';
  } catch (const std::exception& e) {
    PrintError(err, ShowUtf8(e.what()));
    return kExitFailed;
  }
  return 0;
}

// A stream onto an ostream, for exports to stdout.
class TOstreamStream : public TStream {
 public:
  explicit TOstreamStream(std::ostream& out) : out_(out) {}
  std::size_t Read(void*, std::size_t) override { return 0; }
  std::size_t Write(const void* buffer, std::size_t size) override {
    Put(std::string_view(static_cast<const char*>(buffer), size));
    position_ += static_cast<int64_t>(size);
    return size;
  }
  [[nodiscard]] int64_t Position() const override { return position_; }
  void SetPosition(int64_t) override {}
  [[nodiscard]] int64_t Size() const override { return position_; }
  // What the stream still holds goes out; an error is raised here at last.
  void Flush() {
    errno = 0;
    out_.flush();
    if (!out_) Failed();
  }

 protected:
  void Put(std::string_view bytes) {
    errno = 0;
    out_.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out_) Failed();
  }
  // The stream keeps no reason; the system's, when there is one.
  [[noreturn]] static void Failed() {
    const int error = errno;
    throw Error(Fmt(TrEn("Cannot write to the standard output. %s"),
                    std::string(std::strerror(error != 0 ? error : EIO))));
  }

 private:
  std::ostream& out_;
  int64_t position_ = 0;
};

// The text report onto the terminal as it is written, line by line in the
// terminal's encoding: the text of a deeply nested file grows with the
// square of its depth and is never held whole.
class TTerminalTextStream final : public TOstreamStream {
 public:
  using TOstreamStream::TOstreamStream;
  ~TTerminalTextStream() override = default;
  TTerminalTextStream(const TTerminalTextStream&) = delete;
  TTerminalTextStream& operator=(const TTerminalTextStream&) = delete;

  std::size_t Write(const void* buffer, std::size_t size) override {
    std::string_view bytes(static_cast<const char*>(buffer), size);
    while (!bytes.empty()) {
      const std::size_t end = bytes.find('\n');
      line_.append(bytes.substr(0, end == std::string_view::npos ? bytes.size() : end + 1));
      if (end == std::string_view::npos) break;
      bytes.remove_prefix(end + 1);
      PutLine();
    }
    return size;
  }
  void Finish() {
    if (!line_.empty()) PutLine();
  }

 private:
  // The indentation goes out as it is: converting it would cost the square
  // of the depth in conversions.
  void PutLine() {
    const std::size_t indent = std::min(line_.find_first_not_of(' '), line_.size());
    Put(std::string_view(line_).substr(0, indent));
    Put(Show1251(line_.substr(indent)));
    line_.clear();
  }

  std::string line_;
};

// show's input "-": the standard input as a file to be read twice, once to
// check it and once to write it. A regular file is read where it is; a pipe
// is first taken whole into a file in memory. Anything else is left to the
// reader, which refuses it as it refuses such a file by name.
class TStandardInput {
 public:
  TStandardInput() {
    struct stat st {};
    if (::fstat(STDIN_FILENO, &st) == 0 && (S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode))) {
      fd_ = ::memfd_create("kvitor-cli-stdin", MFD_CLOEXEC);
      if (fd_ < 0) Failed(errno);
      try {
        Spool();
      } catch (...) {
        ::close(fd_);
        throw;
      }
      path_ = "/proc/self/fd/" + std::to_string(fd_);
    }
  }
  ~TStandardInput() {
    if (fd_ >= 0) ::close(fd_);
  }
  TStandardInput(const TStandardInput&) = delete;
  TStandardInput& operator=(const TStandardInput&) = delete;

  [[nodiscard]] const std::string& Path() const { return path_; }
  // The reader's message names the file by the path it was given; the user
  // gave "-".
  [[nodiscard]] std::string Shown(std::string message) const {
    const std::string quoted = '"' + path_ + '"';
    for (std::size_t at = 0; (at = message.find(quoted, at)) != std::string::npos; at += 3)
      message.replace(at, quoted.size(), "\"-\"");
    return message;
  }

 private:
  void Spool() const {
    std::vector<char> buffer(1 << 16);
    while (true) {
      const ssize_t n = ::read(STDIN_FILENO, buffer.data(), buffer.size());
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) Failed(errno);
      if (n == 0) return;
      for (ssize_t done = 0; done < n;) {
        const ssize_t put = ::write(fd_, buffer.data() + done, static_cast<std::size_t>(n - done));
        if (put < 0 && errno == EINTR) continue;
        if (put < 0) Failed(errno);
        done += put;
      }
    }
  }
  [[noreturn]] static void Failed(int error) {
    throw Error(Fmt(TrEn("Cannot read the standard input. %s"), std::strerror(error)));
  }

  int fd_ = -1;
  std::string path_ = "/proc/self/fd/0";
};

int RunShow(const std::string& input, const std::string& txt, TExportForm form,
            const std::string& exportTo, bool ffd12, std::ostream& out, std::ostream& err) {
  std::optional<TStandardInput> standardInput;
  try {
    if (input == "-") standardInput.emplace();
    const std::string& file = standardInput ? standardInput->Path() : input;
    if (form != TExportForm::Text) {
      const TReportExport report(file, ffd12);
      if (exportTo == "-") {
        TOstreamStream stdoutStream(out);
        report.Write(form, stdoutStream);
        stdoutStream.Flush();
      } else {
        TSafeFileWriter target(exportTo);
        report.Write(form, target.Stream());
        target.Commit();
      }
      return 0;
    }
    // Streamed from the file like the other forms: memory stays bounded
    // whatever the file's size.
    const TReportExport report(file, ffd12);
    if (txt == "-") {
      TOstreamStream stdoutStream(out);
      report.Write(TExportForm::Text, stdoutStream);
      stdoutStream.Flush();
    } else if (!txt.empty()) {
      TSafeFileWriter target(txt);
      report.Write(TExportForm::Text, target.Stream());
      target.Commit();
    } else {
      TTerminalTextStream terminal(out);
      report.Write(TExportForm::Text, terminal);
      terminal.Finish();
      terminal.Flush();
    }
  } catch (const std::exception& e) {
    PrintError(err, ShowUtf8(standardInput ? standardInput->Shown(e.what()) : e.what()));
    return kExitFailed;
  }
  return 0;
}

// A file as the system knows it: device and inode after links are followed,
// or, for a file yet to be made, the path it would have.
struct TFileIdentity {
  bool Regular = false;
  dev_t Device = 0;
  ino_t Inode = 0;
  std::string Path;
  bool operator==(const TFileIdentity&) const = default;
};

// Devices, pipes and terminals may well take several outputs (/dev/null);
// "-", stdin for an input and stdout for an output, takes one.
std::optional<TFileIdentity> IdentityOf(const std::string& name, bool input) {
  struct stat st {};
  const bool standard = name == "-";
  const bool exists = standard ? ::fstat(input ? STDIN_FILENO : STDOUT_FILENO, &st) == 0
                               : ::stat(name.c_str(), &st) == 0;
  if (exists && S_ISREG(st.st_mode)) return TFileIdentity{true, st.st_dev, st.st_ino, {}};
  if (standard && !input) return TFileIdentity{false, 0, 0, "-"};
  if (exists || standard) return std::nullopt;
  std::error_code ec;
  const auto path = std::filesystem::weakly_canonical(std::filesystem::absolute(name, ec), ec);
  return TFileIdentity{false, 0, 0, ec ? name : path.string()};
}

struct TNamedFile {
  std::string Option;  // as the usage names it
  std::string Name;
};

// Refuses, before anything is read, an output that would overwrite an input
// or another output (exit 2) and an output that could not be saved (exit 1):
// a read of hours must not end in nothing saved. 0 when all is well.
int CheckOutputs(const std::vector<TNamedFile>& inputs, const std::vector<TNamedFile>& outputs,
                 std::ostream& err) {
  std::vector<std::pair<const TNamedFile*, std::optional<TFileIdentity>>> seen;
  for (const TNamedFile& input : inputs) {
    if (!input.Name.empty()) seen.emplace_back(&input, IdentityOf(input.Name, true));
  }
  for (const TNamedFile& output : outputs) {
    if (output.Name.empty()) continue;
    const std::optional<TFileIdentity> id = IdentityOf(output.Name, false);
    for (const auto& [other, otherId] : seen) {
      if (id && otherId && *id == *otherId) {
        return UsageError(err, Fmt(TrEn("%s: \"%s\" is the same file as %s \"%s\""), output.Option,
                                   output.Name, other->Option, other->Name));
      }
    }
    seen.emplace_back(&output, id);
  }
  for (const TNamedFile& output : outputs) {
    // The trace is a log that grows, not a save.
    if (output.Name.empty() || output.Name == "-" || output.Option == "--trace") continue;
    try {
      CheckSaveTarget(output.Name);
    } catch (const std::exception& e) {
      PrintError(err, ShowUtf8(e.what()));
      return kExitFailed;
    }
  }
  return 0;
}

// An optional value is taken only as --json=OUT: the next word is never
// swallowed as the value (show --json copy.bin demo.bin would have written
// over copy.bin). A bare --json becomes --json=-, stdout.
std::vector<std::string> WithAttachedValues(int argc, char** argv) {
  std::vector<std::string> args;
  bool options = true;
  bool show = false;  // other commands may have flags of these names
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--") {
      options = false;
    } else if (arg == "show") {
      show = true;
    } else if (show && options && (arg == "--json" || arg == "--csv")) {
      arg += "=-";
    }
    args.push_back(std::move(arg));
  }
  // CLI11 takes the words last first.
  std::reverse(args.begin(), args.end());
  return args;
}

// CLI11's refusal in the user's language. Its texts are English and fixed:
// the names in them are taken out and put into ours.
std::string ParseErrorText(const CLI::ParseError& e) {
  std::string what = e.what();
  const auto after = [&](std::string_view mark) {
    const std::size_t at = what.find(mark);
    return at == std::string::npos ? what : what.substr(at + mark.size());
  };
  const auto before = [&](std::string_view mark) { return what.substr(0, what.find(mark)); };
  if (dynamic_cast<const CLI::ExtrasError*>(&e) != nullptr)
    return Fmt(TrEn("unexpected argument: %s"), after(": "));
  if (dynamic_cast<const CLI::ValidationError*>(&e) != nullptr) return what;  // ours already
  if (dynamic_cast<const CLI::ExcludesError*>(&e) != nullptr) {
    return Fmt(TrEn("%s cannot be given with %s"), before(" excludes "), after(" excludes "));
  }
  if (dynamic_cast<const CLI::RequiresError*>(&e) != nullptr)
    return Fmt(TrEn("%s needs %s"), before(" requires "), after(" requires "));
  if (dynamic_cast<const CLI::RequiredError*>(&e) != nullptr) {
    if (what.find("subcommand") != std::string::npos) return TrEn("a command is required");
    return Fmt(TrEn("%s is required"), before(" is required"));
  }
  if (dynamic_cast<const CLI::ArgumentMismatch*>(&e) != nullptr) {
    if (what.find(" missing") != std::string::npos)
      return Fmt(TrEn("%s: a value is required"), before(": "));
    return Fmt(TrEn("%s: too many values"), before(": "));
  }
  if (dynamic_cast<const CLI::ConversionError*>(&e) != nullptr) {
    const std::size_t at = what.find("--");
    const std::string option = at == std::string::npos
                                   ? std::string()
                                   : what.substr(at, what.find_first_of(" =:", at) - at);
    return Fmt(TrEn("%s: the value is not allowed"), option);
  }
  return Fmt(TrEn("invalid arguments: %s"), what);
}

}  // namespace

int RunCli(int argc, char** argv, std::ostream& out, std::ostream& err) {
  // Numbers in decimal only (no "", no 0x10), file names not empty. Nameless,
  // so that the help shows the formatter's placeholders N and FILE alone.
  const CLI::Validator decimal(
      [](std::string& value) -> std::string {
        std::size_t at = (!value.empty() && (value[0] == '-' || value[0] == '+')) ? 1 : 0;
        if (at == value.size()) return Fmt(TrEn("expected a decimal number, found \"%s\""), value);
        for (; at < value.size(); ++at) {
          if (value[at] < '0' || value[at] > '9')
            return Fmt(TrEn("expected a decimal number, found \"%s\""), value);
        }
        return {};
      },
      "");
  const CLI::Validator fileName(
      [](std::string& value) -> std::string {
        return value.empty() ? TrEn("expected a file name, found an empty text") : std::string();
      },
      "");

  // A speed the driver would refuse is an argument error, not a failed job.
  const CLI::Validator speed(
      [](std::string& value) -> std::string {
        int baud = 0;
        const auto [end, ec] = std::from_chars(value.data(), value.data() + value.size(), baud);
        if (ec == std::errc() && end == value.data() + value.size() && IsSupportedBaud(baud))
          return {};
        return Fmt(TrEn("expected 9600, 19200, 38400, 57600 or 115200, found \"%s\""), value);
      },
      "");

  // Seconds of waiting: a whole number in a range.
  const CLI::Validator waitRange(
      [](std::string& value) -> std::string {
        int seconds = -1;
        const auto [end, ec] = std::from_chars(value.data(), value.data() + value.size(), seconds);
        if (ec == std::errc() && end == value.data() + value.size() && seconds >= 0 &&
            seconds <= 24 * 3600)
          return {};
        return Fmt(TrEn("expected a number of seconds from 0 to 86400, found \"%s\""), value);
      },
      "");

  CLI::App app{TrEn("Reads the fiscal documents of a fiscal storage and saves the report."),
               "kvitor-cli"};
  app.require_subcommand(0, 1);
  // Options take the group they are given when made, subcommands that of
  // their parent.
  app.option_defaults()->group(TrEn("Options"));
  app.set_help_flag("-h,--help", TrEn("Print this help message and exit"));
  // Placeholders as a Unix tool's help names them, and the help's own words in
  // the user's language; subcommands share the formatter.
  const auto formatter = app.get_formatter();
  formatter->label("TEXT", "FILE");
  formatter->label("INT", "N");
  const std::pair<const char*, const char*> labels[] = {{"Usage", TrEn("Usage")},
                                                        {"OPTIONS", TrEn("OPTIONS")},
                                                        {"SUBCOMMAND", TrEn("SUBCOMMAND")},
                                                        {"SUBCOMMANDS", TrEn("SUBCOMMANDS")},
                                                        {"Positionals", TrEn("Positionals")},
                                                        {"REQUIRED", TrEn("REQUIRED")},
                                                        {"Excludes", TrEn("Excludes")},
                                                        {"Needs", TrEn("Needs")}};
  for (const auto& [key, text] : labels) formatter->label(key, text);
  bool version = false;
  app.add_flag("--version", version, TrEn("Print the program's version"));
  bool quiet = false;
  // Wherever it is given, before the command or after it.
  const auto addQuiet = [&quiet](CLI::App* command) {
    command->add_flag("-q,--quiet", quiet, TrEn("No progress and no messages but errors"));
  };
  addQuiet(&app);

  std::string image, port, trace;
  std::optional<int> baud;
  // The connection options of status and read.
  const auto addConnection = [&](CLI::App* command) {
    auto* imageOption =
        command->add_option("--image", image, TrEn("The emulated storage's data file"))
            ->check(fileName);
    command
        ->add_option("--port", port,
                     TrEn("A fiscal storage on this serial port (e.g. /dev/ttyUSB0)"))
        ->check(fileName)
        ->excludes(imageOption)
        ->type_name("DEV");
    command->add_option("--baud", baud, TrEn("The serial port's speed (default 115200)"))
        ->check(decimal)
        ->check(speed);
    command
        ->add_option("--trace", trace, TrEn("Append every frame on the serial line to this file"))
        ->check(fileName);
  };
  auto* status = app.add_subcommand("status", TrEn("Read the storage status"));
  addConnection(status);
  addQuiet(status);
  bool statusJson = false;
  status->add_flag("--json", statusJson, TrEn("Print the status as a JSON object"));

  auto* read = app.add_subcommand("read", TrEn("Read documents and save the report"));
  int32_t first = 1;
  std::optional<int32_t> last;
  bool only1162 = false;
  bool ffd12 = false;
  std::string bin, txt;
  addConnection(read);
  read->add_option("--first", first, TrEn("Number of the first document (default 1)"))
      ->check(decimal);
  read->add_option("--last", last, TrEn("Number of the last document (default the storage's last)"))
      ->check(decimal);
  read->add_flag("--only-1162", only1162,
                 TrEn("Keep only documents that carry tag 1162 (with --ffd12 also 1163)"));
  read->add_flag("--ffd12", ffd12, TrEn("Name and keep the tags of format 1.2 and later"));
  read->add_option("--bin", bin, TrEn("Save the binary report file"))->check(fileName);
  read->add_option("--txt", txt, TrEn("Save the text report file"))->check(fileName);
  bool restart = false;
  int reconnectWait = 120;
  read->add_flag("--restart", restart,
                 TrEn("Discard the storage's journal and read every document"));
  read->add_option("--reconnect-wait", reconnectWait,
                   TrEn("Seconds to wait for a lost line to come back (default 120; 0 ends at "
                        "once)"))
      ->check(decimal)
      ->check(waitRange)
      ->type_name("SECONDS");
  addQuiet(read);

  auto* journal = app.add_subcommand("journal", TrEn("List or remove the journals of reads"));
  journal->require_subcommand(1, 1);
  auto* journalList = journal->add_subcommand("list", TrEn("List the journals"));
  auto* journalRemove = journal->add_subcommand("remove", TrEn("Remove the journals of a storage"));
  std::string journalSerial;
  journalRemove->add_option("SERIAL", journalSerial, TrEn("The storage's serial number"))
      ->required()
      ->type_name("");
  for (CLI::App* command : {journal, journalList, journalRemove}) addQuiet(command);

  auto* show = app.add_subcommand("show", TrEn("Print a binary report file as text"));
  std::string showFile, showTxt;
  show->add_option("FILE", showFile, TrEn("The binary report file"))
      ->required()
      ->check(fileName)
      ->type_name("");
  auto* showTxtOption =
      show->add_option("--txt", showTxt, TrEn("Write the text report to this file"))
          ->check(fileName);
  std::string showJson, showCsv;
  // The value only as --json=OUT (see WithAttachedValues).
  auto* showJsonOption =
      show->add_option("--json", showJson,
                       TrEn("Write the JSON export to OUT (stdout when - or absent)"))
          ->expected(0, 1)
          ->option_text("[=OUT]")
          ->check(fileName)
          ->excludes(showTxtOption);
  show->add_option("--csv", showCsv,
                   TrEn("Write the CSV table of documents to OUT (stdout when - or absent)"))
      ->expected(0, 1)
      ->option_text("[=OUT]")
      ->check(fileName)
      ->excludes(showTxtOption)
      ->excludes(showJsonOption);
  bool showFfd12 = false;
  show->add_flag("--ffd12", showFfd12, TrEn("Name the tags of format 1.2 and later in the text"));
  addQuiet(show);

  for (CLI::App* command : {status, read, journal, journalList, journalRemove, show}) {
    command->group(TrEn("Subcommands"));
    // A subcommand's help flag is made before it takes its parent's defaults.
    if (CLI::Option* help = command->get_help_ptr()) help->group(TrEn("Options"));
  }
  // Set last, so that the subcommands' help does not repeat it.
  app.footer(HelpFooter());
  try {
    std::vector<std::string> args = WithAttachedValues(argc, argv);
    app.parse(args);
  } catch (const CLI::CallForHelp&) {
    out << ShowUtf8(app.help());
    return 0;
  } catch (const CLI::ParseError& e) {
    return UsageError(err, ParseErrorText(e));
  }

  if (version) {
    out << GetFileVersionText() << '\n';
    return 0;
  }
  UsePath("TORVEL_IMAGE", image);
  // An explicit data file is not overridden by a port from the caller's shell.
  if (!image.empty()) ::unsetenv("TORVEL_PORT");
  if (!port.empty()) ::setenv("TORVEL_PORT", port.c_str(), 1);
  if (baud) ::setenv("TORVEL_BAUD", std::to_string(*baud).c_str(), 1);
  if (trace == "-") {
    ::setenv("TORVEL_TRACE", kStandardOutput, 1);
  } else {
    UsePath("TORVEL_TRACE", trace);
  }
  const std::vector<TNamedFile> inputs = {{"FILE", *show ? showFile : ""}, {"--image", image}};
  const std::vector<TNamedFile> outputs = {{"--bin", bin},
                                           {"--txt", *show ? showTxt : txt},
                                           {"--json", showJson},
                                           {"--csv", showCsv},
                                           {"--trace", trace}};
  if (const int refused = CheckOutputs(inputs, outputs, err); refused != 0) return refused;
  // A report file holds bytes that a terminal would obey.
  for (const auto& [option, name] :
       {std::pair{"--bin", bin}, std::pair{"--txt", *show ? showTxt : txt}}) {
    if (name == "-" && ::isatty(STDOUT_FILENO) == 1) {
      return UsageError(err, option + std::string(": ") +
                                 TrEn("a report file is not written to a terminal; redirect the "
                                      "standard output"));
    }
  }
  try {
    const TDriverThreadScope scope;
    if (*status) return PrintStatus(statusJson, out, err);
    if (*read) {
      return RunRead({first, last, only1162, ffd12, restart, reconnectWait, quiet, bin, txt}, out,
                     err);
    }
    if (*journalList) return ListJournalFiles(out, err);
    if (*journalRemove) return RemoveJournalFiles(journalSerial, quiet, out, err);
    if (*show) {
      TExportForm form = TExportForm::Text;
      std::string exportTo;
      for (const auto& [name, form1, value] : {std::tuple{"--json", TExportForm::Json, &showJson},
                                               std::tuple{"--csv", TExportForm::Csv, &showCsv}}) {
        if (show->count(name) == 0) continue;
        // Without a value the option reads "-"; an empty name was given as such.
        if (value->empty()) {
          return UsageError(
              err, std::string(name) + ": " + TrEn("expected a file name, found an empty text"));
        }
        form = form1;
        exportTo = *value;
      }
      return RunShow(showFile, showTxt, form, exportTo, showFfd12, out, err);
    }
  } catch (const std::exception& e) {
    PrintError(err, ShowUtf8(e.what()));
    return kExitFailed;
  }
  return UsageError(err, TrEn("no command given"));
}

}  // namespace kvitor
