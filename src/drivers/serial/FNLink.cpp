// SPDX-License-Identifier: MIT
// Copyright The Kvitor authors

#include "drivers/serial/FNLink.h"

#include <algorithm>
#include <cstdio>

#include "base/Messages.h"
#include "drivers/Torvel.h"
#include "drivers/TorvelSettings.h"
#include "drivers/serial/FNFrame.h"

namespace kvitor {
namespace {

using std::chrono::milliseconds;
using TClock = std::chrono::steady_clock;

// An error answer carries no data as a rule; a little is let through.
constexpr std::size_t kMaxErrorData = 8;
// Frames up to this length are read whole even when they cannot be the
// answer, so that one out of turn is read past rather than taken as noise.
constexpr std::size_t kReadPast = 1024;

bool IsSlow(uint8_t code) {
  switch (static_cast<TFNCommand>(code)) {
    case TFNCommand::FindDocument:
    case TFNCommand::Confirmation:
    case TFNCommand::RegistrationTotals:
    case TFNCommand::RegistrationParameter:
    case TFNCommand::DocumentHeader: return true;
    default: return false;
  }
}

milliseconds Left(TClock::time_point until) {
  return std::max(milliseconds(0), std::chrono::duration_cast<milliseconds>(until - TClock::now()));
}

}  // namespace

std::vector<int> ProbeSpeeds(int configured) {
  std::vector<int> speeds;
  for (const int baud : {115200, 57600, 38400, 19200, 9600}) {
    if (baud != configured && IsSupportedBaud(baud)) speeds.push_back(baud);
  }
  return speeds;
}

TFNLink::TFNLink(std::unique_ptr<TFNTransport> transport, TFNLinkOptions options)
    : transport_(std::move(transport)), options_(options) {}

void TFNLink::Drain() {
  std::string sink;
  // Bounded, so that a line that never falls quiet still gets its next try.
  const auto until = TClock::now() + std::max(options_.Settle * 20, milliseconds(1000));
  while (transport_->Read(sink, 4096, options_.Settle) > 0 && TClock::now() < until) sink.clear();
  transport_->DiscardInput();
  dirty_ = false;
}

TFNLink::TOutcome TFNLink::Once(const TFNRequest& request, std::size_t maxData, TFNAnswer& answer,
                                std::string& why) {
  if (dirty_) Drain();
  transport_->DiscardInput();
  damagedLength_ = 0;
  const std::string sent = request.Frame();
  transport_->Write(sent);
  const uint8_t command = request.Code();
  const auto fits = [&](const TFrameResult& r) {
    if (r.Code != 0) return r.Data.size() <= kMaxErrorData;
    if (r.Data.size() > maxData || !AnswerFits(command, r.Data.size())) return false;
    // A confirmation names its document: while answers of earlier attempts
    // may still come, one for another document is one of them.
    if (suspect_ && command == static_cast<uint8_t>(TFNCommand::Confirmation)) {
      return ReadLE(r.Data, 23, 4) == ReadLE(request.Data(), 0, 4);
    }
    return true;
  };
  auto deadline = TClock::now() + (IsSlow(command) ? options_.SlowAnswer : options_.Answer);
  std::optional<TFNAnswer> taken;
  std::string stray;
  std::string buffer;
  while (true) {
    const TFrameResult r = DecodeFrame(buffer, std::max(maxData, kReadPast) + 1);
    switch (r.Status) {
      case TFrameStatus::Frame: {
        const bool echo = std::string_view(buffer).substr(0, r.Consumed) == sent;
        if (echo) {
          // A half-duplex cable hands back what was sent.
        } else if (fits(r)) {
          taken = TFNAnswer{r.Code, std::string(r.Data)};
          if (!suspect_) {
            answer = std::move(*taken);
            return TOutcome::Answer;
          }
          // After failed attempts this may be a late answer to one of them:
          // the storage answers every request it took in, one after another,
          // so the last answer before the line falls quiet is this attempt's.
          buffer.erase(0, r.Consumed);
          deadline = TClock::now() + options_.Settle;
          continue;
        } else {
          stray = Fmt(Tr("ответ %s с %s байт данных не подходит к команде"), CommandText(r.Code),
                      r.Data.size());
        }
        buffer.erase(0, r.Consumed);
        deadline =
            std::max(deadline, TClock::now() + (taken ? options_.Settle : options_.InterByte));
        continue;
      }
      case TFrameStatus::Skip: buffer.erase(0, r.Consumed); continue;
      case TFrameStatus::BadLength:
        why = Fmt(Tr("длина %s больше возможного ответа"), r.Length);
        dirty_ = true;
        break;
      case TFrameStatus::BadCrc:
        why = Tr("неверная контрольная сумма");
        damagedLength_ = r.Length;
        dirty_ = true;
        break;
      case TFrameStatus::NeedMore: break;
    }
    if (dirty_) {
      if (taken) break;
      return TOutcome::Broken;
    }
    // Waiting for an answer to begin takes the command's time; once it has
    // begun, every byte restarts the inter-byte wait.
    const milliseconds wait = buffer.empty() ? Left(deadline) : options_.InterByte;
    const std::size_t need = buffer.size() < 3 ? 3 : r.Length + kFrameOverhead;
    // A taken answer still gets one look at what is there already.
    if ((wait.count() <= 0 && !taken) ||
        transport_->Read(buffer, std::max<std::size_t>(need - std::min(need, buffer.size()), 1),
                         wait) == 0) {
      if (taken) break;
      dirty_ = true;
      suspect_ = true;
      if (buffer.empty()) {
        why = stray.empty() ? std::string(Tr("нет ответа")) : stray;
        return TOutcome::Silent;
      }
      why = Tr("ответ оборван");
      return TOutcome::Broken;
    }
  }
  suspect_ = false;
  answer = std::move(*taken);
  return TOutcome::Answer;
}

TFNAnswer TFNLink::Exchange(const TFNRequest& request, std::optional<std::size_t> maxData) {
  const std::size_t bound = maxData.value_or(MaxAnswerData(request.Code()));
  const std::string command = CommandText(request.Code());
  const int attempts = request.CanRepeat() ? 1 + std::max(0, options_.Retries) : 1;
  std::string why;
  try {
    for (int attempt = 0; attempt < attempts; ++attempt) {
      TFNAnswer answer;
      if (Once(request, bound, answer, why) == TOutcome::Answer) return answer;
      ++failures_;
    }
  } catch (const TFNLineError& e) {
    throw TConnectionLost(Fmt(Tr("%s (команда %s)"), std::string(e.what()), command));
  }
  const std::string text = Fmt(Tr("ФН на порту %s не дал ответа на команду %s (попыток: %s): %s"),
                               PortName(), command, attempts, why);
  if (!request.CanRepeat()) throw TFNAnswerLost(text, damagedLength_);
  throw TConnectionLost(text);
}

TFNAnswer TFNLink::Wake(const TFNRequest& request) {
  const std::string command = CommandText(request.Code());
  const std::size_t bound = MaxAnswerData(request.Code());
  std::string why;
  int attempts = 0;
  bool probed = false;
  try {
    const auto until = TClock::now() + options_.WakeUp;
    do {
      TFNAnswer answer;
      ++attempts;
      if (Once(request, bound, answer, why) == TOutcome::Answer) return answer;
      ++failures_;
    } while (attempts <= options_.Retries || TClock::now() < until);
    if (options_.Baud > 0) {
      const int configured = options_.Baud;
      for (const int baud : ProbeSpeeds(configured)) {
        if (!transport_->SetBaud(baud)) break;
        probed = true;
        for (int i = 0; i < 2; ++i) {
          TFNAnswer answer;
          if (Once(request, bound, answer, why) == TOutcome::Answer) {
            options_.Baud = baud;
            return answer;
          }
          ++failures_;
        }
      }
      static_cast<void>(transport_->SetBaud(configured));
    }
  } catch (const TFNLineError& e) {
    throw TConnectionLost(Fmt(Tr("%s (команда %s)"), std::string(e.what()), command));
  }
  char seconds[32];
  std::snprintf(seconds, sizeof seconds, "%.1f",
                static_cast<double>(options_.WakeUp.count()) / 1000);
  std::string text = Fmt(Tr("ФН на порту %s не дал ответа на команду %s (попыток: %s за %s с): %s"),
                         PortName(), command, attempts, std::string(seconds), why);
  if (probed) text += Tr("; на других скоростях ФН тоже не ответил");
  throw TConnectionLost(text);
}

}  // namespace kvitor
