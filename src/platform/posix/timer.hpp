// A periodic timer on the event loop: while enabled it calls its callback
// once per period. Disabling cancels the pending tick; enabling again starts
// a full period from that moment.
#pragma once

#include <asio/io_context.hpp>
#include <asio/steady_timer.hpp>

#include <chrono>
#include <cstdint>
#include <functional>

#include "base/platform.hpp"
#include "platform/posix/event_gate.hpp"

namespace tolvex::posix {

class AsioTimer : public Timer {
 public:
  AsioTimer(asio::io_context& io, EventGate& gate, std::chrono::milliseconds period);
  AsioTimer(const AsioTimer&) = delete;
  AsioTimer& operator=(const AsioTimer&) = delete;

  void SetCallback(std::function<void()> onTick) { onTick_ = std::move(onTick); }
  void SetEnabled(bool enabled) override;
  bool Enabled() const override { return enabled_; }
  std::chrono::milliseconds Period() const { return period_; }

 private:
  void Arm();

  asio::steady_timer timer_;
  EventGate& gate_;
  std::chrono::milliseconds period_;
  std::function<void()> onTick_;
  asio::steady_timer::time_point due_{};
  std::uint64_t generation_ = 0;  // bumped on every enable/disable
  bool enabled_ = false;
};

}  // namespace tolvex::posix
