// The caption's percentage while a long message goes out.
#include "app/send_progress.hpp"

#include "app/japanese_texts.hpp"

namespace tolvex {

int PercentSent(std::uint64_t sent, std::uint64_t total) {
  if (sent >= total) return 100;
  return static_cast<int>(sent * 100 / total);
}

std::string ProgressCaptionText(int percent) {
  return kSendingPercentPrefix + std::to_string(percent) + kSendingPercentSuffix;
}

std::optional<std::string> SendProgress::Tick(bool sending, const std::function<int()>& percent) {
  if (!sending) {
    if (Stop()) return std::string(kSendingCaption);
    return std::nullopt;
  }
  ++ticks_;
  if (ticks_ < kFirstTick || (shown_ >= 0 && ticks_ - shownTick_ < kTicksBetween)) {
    return std::nullopt;
  }
  const int now = percent();
  if (now == shown_) return std::nullopt;
  shown_ = now;
  shownTick_ = ticks_;
  return ProgressCaptionText(now);
}

bool SendProgress::Stop() {
  const bool shown = shown_ >= 0;
  ticks_ = 0;
  shownTick_ = 0;
  shown_ = -1;
  return shown;
}

}  // namespace tolvex
