#include "base/loopback_requests.hpp"

#include <chrono>

namespace tolvex {

std::int64_t LoopbackSockets::SteadyMs() {
  using std::chrono::steady_clock;
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             steady_clock::now().time_since_epoch())
      .count();
}

LoopbackRequests::~LoopbackRequests() {
  for (const auto& c : waiting_.Entries()) sockets_.Close(c.handle);
}

std::optional<LoopbackRequests::Request> LoopbackRequests::Next(std::int64_t seconds) {
  const std::int64_t deadline = sockets_.SteadyMs() + seconds * 1000;
  auto& entries = waiting_.Entries();
  std::vector<Handle> handles;
  LoopbackSockets::Readiness ready;
  for (;;) {
    const std::int64_t now = sockets_.SteadyMs();
    for (Handle h : waiting_.TakeExpired(now)) sockets_.Close(h);
    const std::int64_t left = deadline - now;
    if (left <= 0) return std::nullopt;
    // The listener is asked only while a new connection may be taken.
    const bool taking = waiting_.MayTake(now);
    handles.clear();
    for (const auto& c : entries) handles.push_back(c.handle);
    ready.listener = false;
    ready.connections.assign(handles.size(), false);
    if (!sockets_.Wait(taking, handles, waiting_.NextDue(now, left), ready)) return std::nullopt;
    // Read what has come first, then take a new connection.
    for (std::size_t i = handles.size(); i-- > 0;) {
      if (!ready.connections[i]) continue;
      auto& c = entries[i];
      char buffer[2048];
      const std::int64_t got = sockets_.Read(c.handle, buffer, sizeof buffer);
      if (got <= 0 || c.head.Size() + static_cast<std::size_t>(got) > kMaxRequestHead) {
        WipeBytes(buffer, sizeof buffer);
        sockets_.Close(waiting_.Take(i).handle);
        continue;
      }
      c.head.Append(std::string_view(buffer, static_cast<std::size_t>(got)));
      WipeBytes(buffer, sizeof buffer);
      if (RequestHeadComplete(c.head.View())) {
        auto done = waiting_.Take(i);
        return Request{done.handle, std::move(done.head)};
      }
    }
    if (taking && ready.listener) {
      if (std::optional<Handle> taken = sockets_.Accept()) {
        if (std::optional<Handle> oldest = waiting_.MakeRoom()) sockets_.Close(*oldest);
        waiting_.Add(*taken, sockets_.SteadyMs());
      }
    }
  }
}

}  // namespace tolvex
