// SPDX-License-Identifier: MIT
// Copyright The Kvitor authors

#include "drivers/serial/FNLink.h"

#include "drivers/Torvel.h"
#include "drivers/serial/FNFrame.h"

namespace kvitor {
namespace {

using std::chrono::milliseconds;
using TClock = std::chrono::steady_clock;

bool IsSlow(uint8_t code) {
  switch (static_cast<TFNCommand>(code)) {
    case TFNCommand::FindDocument:
    case TFNCommand::RegistrationTotals:
    case TFNCommand::RegistrationParameter:
    case TFNCommand::DocumentHeader: return true;
    default: return false;
  }
}

}  // namespace

TFNLink::TFNLink(std::unique_ptr<TFNTransport> transport, TFNLinkOptions options)
    : transport_(std::move(transport)), options_(options) {}

void TFNLink::Drain() {
  std::string sink;
  for (int i = 0; i < 50 && transport_->Read(sink, 4096, milliseconds(20)) > 0; ++i) sink.clear();
  transport_->DiscardInput();
}

TFNLink::TOutcome TFNLink::Once(const TFNRequest& request, std::size_t maxData, TFNAnswer& answer,
                                std::string& why) {
  transport_->DiscardInput();
  transport_->Write(request.Frame());
  const milliseconds wait = IsSlow(request.Code()) ? options_.SlowAnswer : options_.Answer;
  auto deadline = TClock::now() + wait;
  bool extended = false;
  std::string buffer;
  while (true) {
    const TFrameResult r = DecodeFrame(buffer, maxData + 1);
    switch (r.Status) {
      case TFrameStatus::Frame:
        if (r.Code == 0 && !AnswerFits(request.Code(), r.Data.size())) {
          why = std::to_string(r.Data.size()) + " байт данных, не ответ на эту команду";
          return TOutcome::Broken;
        }
        answer.Code = r.Code;
        answer.Data.assign(r.Data);
        return TOutcome::Answer;
      case TFrameStatus::Skip: buffer.erase(0, r.Consumed); continue;
      case TFrameStatus::BadLength:
        why = "длина " + std::to_string(r.Length) + " больше возможного ответа";
        return TOutcome::Broken;
      case TFrameStatus::BadCrc: why = "неверная контрольная сумма"; return TOutcome::Broken;
      case TFrameStatus::NeedMore: break;
    }
    if (!extended && buffer.size() >= 3 && options_.Baud > 0) {
      // The length is known: allow for the frame's time on the line (10 bits a byte).
      const std::size_t bytes = r.Length + kFrameOverhead;
      deadline += milliseconds(1 + static_cast<int64_t>(bytes) * 10'000 / options_.Baud);
      extended = true;
    }
    const auto left = std::chrono::duration_cast<milliseconds>(deadline - TClock::now());
    const std::size_t need = buffer.size() < 3 ? 3 : r.Length + kFrameOverhead;
    if (left.count() <= 0 ||
        transport_->Read(buffer, std::max<std::size_t>(need - std::min(need, buffer.size()), 1),
                         left) == 0) {
      if (buffer.empty()) {
        why = "нет ответа";
        return TOutcome::Silent;
      }
      why = "ответ оборван";
      return TOutcome::Broken;
    }
  }
}

TFNAnswer TFNLink::Exchange(const TFNRequest& request, std::size_t maxData) {
  if (maxData == 0) maxData = MaxAnswerData(request.Code());
  const std::string command = CommandText(request.Code());
  const int attempts = request.CanRepeat() ? 1 + std::max(0, options_.Retries) : 1;
  std::string why;
  try {
    for (int attempt = 0; attempt < attempts; ++attempt) {
      TFNAnswer answer;
      const TOutcome outcome = Once(request, maxData, answer, why);
      if (outcome == TOutcome::Answer) return answer;
      ++failures_;
      if (outcome == TOutcome::Broken) Drain();
    }
  } catch (const TFNLineError& e) {
    throw TConnectionLost(std::string(e.what()) + " (команда " + command + ")");
  }
  const std::string text = "ФН на порту " + PortName() + " не дал ответа на команду " + command +
                           " (попыток: " + std::to_string(attempts) + "): " + why;
  if (!request.CanRepeat()) throw TFNAnswerLost(text);
  throw TConnectionLost(text);
}

}  // namespace kvitor
