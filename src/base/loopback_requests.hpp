// The loopback listener's reading of the browser's requests, alike on
// both platforms: connections taken from the listening socket wait until
// one has sent a whole request head, idle ones are closed when their time
// is over, and the first whole head is returned. Each platform supplies
// only its sockets (LoopbackSockets) and answers on the connection
// returned (LoopbackResponse).
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/secret.hpp"

namespace tolvex {

// For the platforms' loopback listeners alike: a request head larger than
// this is not a browser's redirect; this many connections wait for their
// request at once.
inline constexpr std::size_t kMaxRequestHead = 16 * 1024;
inline constexpr std::size_t kMaxPendingRequests = 64;
// Milliseconds a connection has for its whole request head after it was
// taken; and after which, when kMaxPendingRequests wait, the oldest makes
// room for a new one.
inline constexpr std::int64_t kRequestHeadMs = 10'000;
inline constexpr std::int64_t kMakesRoomAfterMs = 2'000;

// The connections a loopback listener has taken that have not yet sent a
// whole request head (browsers open some ahead of need; any local process
// can open many). Kept alike on both platforms, `Handle` being the
// platform's socket; times are milliseconds of a steady clock. Idle
// connections, however many, can neither push a browser's out at once nor
// keep a new one out for long: each is closed kRequestHeadMs after it was
// taken, and when the room is full a new one is taken only once the oldest
// has waited kMakesRoomAfterMs (until then it waits in the system's queue).
template <typename Handle>
class WaitingRequests {
 public:
  struct Entry {
    Handle handle;
    std::int64_t since;  // when it was taken
    Secret head;         // what has come of its request so far
  };

  std::vector<Entry>& Entries() { return entries_; }
  bool Empty() const { return entries_.empty(); }

  // Takes out those whose time for the head is over, for closing.
  std::vector<Handle> TakeExpired(std::int64_t now) {
    std::vector<Handle> out;
    for (std::size_t i = entries_.size(); i-- > 0;) {
      if (now - entries_[i].since >= kRequestHeadMs) out.push_back(Take(i).handle);
    }
    return out;
  }
  // Whether a new connection may be taken at `now`.
  bool MayTake(std::int64_t now) const {
    return entries_.size() < kMaxPendingRequests ||
           now - entries_.front().since >= kMakesRoomAfterMs;
  }
  // Before a new one is taken: the oldest, taken out for closing, when the
  // room is full.
  std::optional<Handle> MakeRoom() {
    if (entries_.size() < kMaxPendingRequests) return std::nullopt;
    return Take(0).handle;
  }
  void Add(Handle handle, std::int64_t now) { entries_.push_back(Entry{handle, now, Secret()}); }
  Entry Take(std::size_t i) {
    Entry e = std::move(entries_[i]);
    entries_.erase(entries_.begin() + static_cast<std::ptrdiff_t>(i));
    return e;
  }
  // Milliseconds from `now` until a connection's time is over or the oldest
  // may make room; `most` when that is later.
  std::int64_t NextDue(std::int64_t now, std::int64_t most) const {
    std::int64_t due = most;
    for (const Entry& e : entries_) due = std::min(due, e.since + kRequestHeadMs - now);
    if (!MayTake(now)) due = std::min(due, entries_.front().since + kMakesRoomAfterMs - now);
    return std::max<std::int64_t>(due, 0);
  }

 private:
  std::vector<Entry> entries_;  // oldest first
};

// The head has come whole (it ends with an empty line).
inline bool RequestHeadComplete(std::string_view head) {
  return head.find("\r\n\r\n") != std::string_view::npos;
}

// What the reading needs of the platform's sockets: the listening socket
// and the connections taken from it, a connection named by its handle.
class LoopbackSockets {
 public:
  using Handle = std::uintptr_t;
  // What Wait found readable: the listener (a connection to take), and
  // each connection asked about (data, its end, or an error).
  struct Readiness {
    bool listener = false;
    std::vector<bool> connections;
  };

  virtual ~LoopbackSockets() = default;

  // A connection waiting on the listener, taken; nullopt when there is
  // none (one reset before it was taken leaves none).
  virtual std::optional<Handle> Accept() = 0;
  // Waits at most `ms` until the listener (only when `withListener`) or
  // one of `connections` is readable, and marks in `ready` (cleared, one
  // place for each connection) which. False when waiting failed; true,
  // with nothing marked, when the time ran out or a signal broke the wait.
  virtual bool Wait(bool withListener, const std::vector<Handle>& connections, std::int64_t ms,
                    Readiness& ready) = 0;
  // At most `size` bytes of what the connection has sent; 0 at its end,
  // less than 0 on a failure.
  virtual std::int64_t Read(Handle connection, char* buffer, std::size_t size) = 0;
  virtual void Close(Handle connection) = 0;
  // Milliseconds of the system's steady clock.
  virtual std::int64_t SteadyMs();
};

// The connections a listener has taken, read until one brings a whole
// request head. Those still waiting are closed with it.
class LoopbackRequests {
 public:
  using Handle = LoopbackSockets::Handle;
  struct Request {
    Handle connection;  // the platform answers on it and closes it
    Secret head;        // the request line and header lines
  };

  explicit LoopbackRequests(LoopbackSockets& sockets) : sockets_(sockets) {}
  LoopbackRequests(const LoopbackRequests&) = delete;
  LoopbackRequests& operator=(const LoopbackRequests&) = delete;
  ~LoopbackRequests();

  // The first request whose head comes whole (at most kMaxRequestHead
  // bytes) within `seconds`; nullopt when none did, or waiting failed. A
  // connection that ends, fails or sends too much before that is closed.
  std::optional<Request> Next(std::int64_t seconds);

 private:
  LoopbackSockets& sockets_;
  WaitingRequests<Handle> waiting_;
};

// The HTTP response with `status` (200, 400 or 404) and the page.
inline std::string LoopbackResponse(int status, std::string_view html) {
  const char* reason = status == 200 ? "OK" : status == 400 ? "Bad Request" : "Not Found";
  std::string reply = "HTTP/1.1 " + std::to_string(status) + " " + reason +
                      "\r\nContent-Type: text/html; charset=utf-8\r\nContent-Length: " +
                      std::to_string(html.size()) +
                      "\r\nCache-Control: no-store\r\nConnection: close\r\n\r\n";
  reply += html;
  return reply;
}

}  // namespace tolvex
