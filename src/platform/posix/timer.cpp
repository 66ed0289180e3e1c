// Periodic timers on the Asio event loop.
#include "platform/posix/timer.hpp"

namespace tolvex::posix {

AsioTimer::AsioTimer(asio::io_context& io, EventGate& gate, std::chrono::milliseconds period)
    : timer_(io),
      gate_(gate),
      period_(period.count() > 0 ? period : std::chrono::milliseconds(1)) {}

void AsioTimer::SetEnabled(bool enabled) {
  if (enabled == enabled_) return;  // enabling a running timer keeps its rhythm
  enabled_ = enabled;
  ++generation_;
  timer_.cancel();
  if (enabled) {
    due_ = asio::steady_timer::clock_type::now() + period_;
    Arm();
  }
}

void AsioTimer::Arm() {
  const std::uint64_t gen = generation_;
  timer_.expires_at(due_);
  timer_.async_wait([this, gen](const asio::error_code& ec) {
    if (ec || gen != generation_ || !enabled_) return;
    // Next tick one period after this one; a loop that fell behind does not
    // catch up with a burst of ticks.
    const auto now = asio::steady_timer::clock_type::now();
    due_ += period_;
    if (due_ <= now) due_ = now + period_;
    Arm();
    gate_.Deliver([this, gen] {
      if (gen == generation_ && enabled_ && onTick_) onTick_();
    });
  });
}

}  // namespace tolvex::posix
