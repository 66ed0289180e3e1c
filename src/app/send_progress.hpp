// The caption while a long message goes out: "Tolvex(送信中 45%)", the
// share of the message the network has taken. A message that is out within
// about a tick never shows one; after that the caption changes at most every
// few ticks, and only when the percentage does.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

namespace tolvex {

// Whole percent of `total` that `sent` is, 0 to 100 (more than `total`,
// as doubled dots may make it, is 100).
int PercentSent(std::uint64_t sent, std::uint64_t total);

// "Tolvex(送信中 N%)" in code page 932.
std::string ProgressCaptionText(int percent);

class SendProgress {
 public:
  // Ticks the message must have been seen going out at before a percentage
  // shows (more than one whole tick), and the fewest ticks between two
  // captions (at most one every 250 ms of 100 ms ticks).
  static constexpr int kFirstTick = 3;
  static constexpr int kTicksBetween = 3;

  // One tmrSMTP tick. `sending`: the message is going out; `percent` is
  // asked only when a caption may change. The caption to show now: a
  // percentage, or the sending caption again once the message is out after
  // a percentage was shown.
  std::optional<std::string> Tick(bool sending, const std::function<int()>& percent);
  // The delivery ended: true when a percentage is on show (the caller puts
  // the sending caption back).
  bool Stop();

 private:
  int ticks_ = 0;      // ticks the message has been seen going out at
  int shownTick_ = 0;  // the tick of the last percentage shown
  int shown_ = -1;     // the percentage on show, -1: none
};

}  // namespace tolvex
