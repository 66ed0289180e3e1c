// Retries of deliveries that failed for the time being ("#RTY="; which
// endings those are, DeliveryEnd::Temporary says): when a retry falls
// against the repeat schedule, and the countdown of one retry wait. Run
// control (form1_retry.cpp) drives it; nothing here touches a port.
#pragma once

#include <cstdint>

namespace tolvex {

// Repeat-timer ticks until the next scheduled send (or the end of a
// repeating run), from MoreTick as tmrMore_Timer leaves it between ticks.
int TicksToNextSend(std::int16_t moreTick, std::int16_t moreInterval);

// Whether a retry `minutes` after now comes strictly before the next
// scheduled send. The retry countdown starts now, the repeat timer's next
// tick comes at most a minute from now; so a retry of fewer minutes than
// the ticks to the next send is before it, any other at or after it.
// Without a repeat schedule (interval 0 or less) every retry fits.
bool RetryFitsSchedule(int minutes, std::int16_t moreTick, std::int16_t moreInterval);

// The retries one message has left and the minutes of the current wait.
class RetryClock {
 public:
  // A new message: `retries` more attempts allowed after the first.
  void NewMessage(int retries) {
    left_ = retries;
    wait_ = 0;
    attempt_ = 1;
  }
  bool CanRetry() const { return left_ > 0; }
  // Starts a wait of `minutes`; the attempt it leads to uses up one retry.
  void Arm(int minutes) {
    --left_;
    ++attempt_;
    wait_ = minutes;
  }
  bool Waiting() const { return wait_ > 0; }
  int MinutesLeft() const { return wait_; }
  // The attempt under way or waited for: 1 for the first.
  int Attempt() const { return attempt_; }
  // One minute of the wait; true when the retry falls due with it.
  bool Tick() {
    if (wait_ <= 0) return false;
    return --wait_ == 0;
  }
  void Cancel() { wait_ = 0; }

 private:
  int left_ = 0;
  int wait_ = 0;
  int attempt_ = 1;
};

}  // namespace tolvex
