// Delivers platform events to the run control one at a time on the event
// thread. An event raised while another handler is running is posted to the
// io_context instead of being run inside it, and once the process has been
// ended nothing is delivered any more.
#pragma once

#include <asio/io_context.hpp>
#include <asio/post.hpp>

#include <utility>

namespace tolvex::posix {

class EventGate {
 public:
  explicit EventGate(asio::io_context& io) : io_(io) {}
  EventGate(const EventGate&) = delete;
  EventGate& operator=(const EventGate&) = delete;

  // Runs `event` now, or later from the loop when a handler is running.
  // The event itself must check that it is still wanted when it runs.
  template <class F>
  void Deliver(F&& event) {
    if (closed_) return;
    if (busy_) {
      asio::post(io_, [this, ev = std::forward<F>(event)]() mutable { Deliver(std::move(ev)); });
      return;
    }
    busy_ = true;
    struct Reset {
      bool& flag;
      ~Reset() { flag = false; }
    } reset{busy_};
    event();
  }

  // No event is delivered after this.
  void Close() { closed_ = true; }
  bool Closed() const { return closed_; }
  bool Busy() const { return busy_; }

 private:
  asio::io_context& io_;
  bool busy_ = false;
  bool closed_ = false;
};

}  // namespace tolvex::posix
