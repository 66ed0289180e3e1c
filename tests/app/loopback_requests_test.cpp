// The loopback listener's reading of the browser's requests, both
// platforms' in one, over scripted connections in virtual time: a head
// read whole however it is split, idle connections (however many) neither
// pushing out nor long keeping out the one that brings the redirect, a
// head over 16 KiB and a connection that ends early closed while the wait
// goes on, and the wait ending at its time or when waiting fails.
#include <gtest/gtest.h>

#include <algorithm>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include "base/loopback_requests.hpp"
#include "support/fake_platform.hpp"

namespace tolvex::test {
namespace {

using Handle = LoopbackSockets::Handle;
constexpr Handle kFirstHandle = 100;  // handles are not the connections' places
constexpr Millis kNever = std::numeric_limits<Millis>::max();

// A connection to the listener: made at `at`, sending its pieces at their
// times, closing its end at `ends`.
struct Client {
  using Pieces = std::vector<std::pair<Millis, std::string>>;
  Client(Millis made = 0, Pieces sent = {}, Millis closes = kNever)
      : at(made), pieces(std::move(sent)), ends(closes) {}
  Millis at;
  Pieces pieces;
  Millis ends;

  std::string Sent() const {
    std::string all;
    for (const auto& [when, bytes] : pieces) all += bytes;
    return all;
  }
};

// The listener's sockets over the clients: Wait runs virtual time on to
// the next thing that becomes readable, or by `ms`.
class ScriptedSockets final : public LoopbackSockets {
 public:
  ScriptedSockets(VirtualScheduler& scheduler, std::vector<Client> clients, Millis failsAt)
      : scheduler_(scheduler),
        clients_(std::move(clients)),
        failsAt_(failsAt),
        taken_(clients_.size()),
        read_(clients_.size()) {}

  std::optional<Handle> Accept() override {
    for (std::size_t i = 0; i < clients_.size(); ++i) {
      if (!taken_[i] && clients_[i].at <= Now()) {
        taken_[i] = true;
        return kFirstHandle + i;
      }
    }
    return std::nullopt;
  }
  bool Wait(bool withListener, const std::vector<Handle>& connections, std::int64_t ms,
            Readiness& ready) override {
    EXPECT_GE(ms, 0);
    Millis until = std::min(Now() + ms, failsAt_);
    if (!Mark(withListener, connections, ready)) {
      for (std::size_t i = 0; i < clients_.size(); ++i) {
        if (withListener && !taken_[i]) until = std::min(until, clients_[i].at);
      }
      for (Handle h : connections) until = std::min(until, NextArrival(h - kFirstHandle));
      scheduler_.RunUntil(std::max(until, Now()));
      Mark(withListener, connections, ready);
    }
    return Now() < failsAt_;
  }
  std::int64_t Read(Handle connection, char* buffer, std::size_t size) override {
    const std::size_t i = connection - kFirstHandle;
    const std::string arrived = Arrived(i).substr(read_[i]);
    EXPECT_TRUE(!arrived.empty() || Ended(i)) << "read from an idle connection";
    const std::size_t n = std::min(size, arrived.size());
    arrived.copy(buffer, n);
    read_[i] += n;
    return static_cast<std::int64_t>(n);
  }
  void Close(Handle connection) override { closed.emplace_back(connection - kFirstHandle, Now()); }
  std::int64_t SteadyMs() override { return Now(); }

  std::vector<std::pair<std::size_t, Millis>> closed;  // which client, when

 private:
  Millis Now() const { return scheduler_.Now(); }
  bool Ended(std::size_t i) const { return clients_[i].ends <= Now(); }
  std::string Arrived(std::size_t i) const {
    std::string all;
    for (const auto& [when, bytes] : clients_[i].pieces) {
      if (when <= Now()) all += bytes;
    }
    return all;
  }
  Millis NextArrival(std::size_t i) const {
    Millis next = clients_[i].ends;
    for (const auto& piece : clients_[i].pieces) {
      if (piece.first > Now()) next = std::min(next, piece.first);
    }
    return next;
  }
  bool Mark(bool withListener, const std::vector<Handle>& connections, Readiness& ready) const {
    bool any = false;
    for (std::size_t i = 0; i < clients_.size(); ++i) {
      if (withListener && !taken_[i] && clients_[i].at <= Now()) ready.listener = any = true;
    }
    for (std::size_t k = 0; k < connections.size(); ++k) {
      const std::size_t i = connections[k] - kFirstHandle;
      if (Arrived(i).size() > read_[i] || Ended(i)) ready.connections[k] = any = true;
    }
    return any;
  }

  VirtualScheduler& scheduler_;
  std::vector<Client> clients_;
  Millis failsAt_;
  std::vector<bool> taken_;
  std::vector<std::size_t> read_;
};

std::vector<Client> Idle(std::size_t n, Millis at = 0) { return std::vector<Client>(n, {at}); }

std::vector<Client> operator+(std::vector<Client> a, const std::vector<Client>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// Clients `from` to `to` closed at `at`.
struct Closes {
  std::size_t from, to;
  Millis at;
};

const std::string kHead = "GET /?code=c&state=s HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";

// A head of exactly `size` bytes.
std::string HeadOf(std::size_t size) {
  std::string head = "GET /?x=";
  head += std::string(size - head.size() - 13, 'a') + " HTTP/1.1\r\n\r\n";
  return head;
}

TEST(LoopbackRequests, ReadsTheHeadThatComesWholeAndClosesTheRest) {
  struct Case {
    const char* name;
    std::vector<Client> clients;
    std::int64_t seconds;  // each wait's
    // Which clients' heads come, and when; then the last wait ends at
    // `ends` with none.
    std::vector<std::pair<std::size_t, Millis>> served;
    Millis ends;
    std::vector<Closes> closes;  // before the reading is done with
    Millis failsAt = kNever;
  };
  const std::size_t full = kMaxPendingRequests;
  const Case cases[] = {
      {"a head in pieces, its empty line split",
       {{0, {{0, "GET /?code=c&st"}, {300, "ate=s HTTP/1.1\r\n\r"}, {900, "\n"}}}},
       5,
       {{0, 900}},
       5900,
       {}},
      {"one before and one after 40 idle ones, which expire",
       std::vector<Client>{{0, {{1000, kHead}}}} + Idle(40) +
           std::vector<Client>{{0, {{500, kHead}}}},
       30,
       {{41, 500}, {0, 1000}},
       31000,
       {{1, 40, 10000}}},
      // The room fills at once; at 2 s its 64 make room for the next 64,
      // and those, at 4 s, for the late one.
      {"twice the room of idle ones, then one that sends",
       Idle(2 * full) + std::vector<Client>{{0, {{0, kHead}}}},
       20,
       {{2 * full, 4000}},
       24000,
       {{0, full - 1, 2000}, {full, full, 4000}, {full + 1, 2 * full - 1, 12000}}},
      {"a head of 16 KiB read; one byte more closed",
       std::vector<Client>{{0, {{0, HeadOf(kMaxRequestHead + 1)}}},
                           {100, {{100, HeadOf(kMaxRequestHead)}}}},
       5,
       {{1, 100}},
       5100,
       {{0, 0, 0}}},
      {"a connection ending before its head is whole",
       {{0, {{0, "GET / HTTP/1.1\r\n"}}, 700}, {0, {{2000, kHead}}}},
       5,
       {{1, 2000}},
       7000,
       {{0, 0, 700}}},
      {"nothing comes", {}, 3, {}, 3000, {}},
      {"waiting fails", Idle(1), 300, {}, 700, {}, 700},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    VirtualScheduler scheduler;
    ScriptedSockets sockets(scheduler, c.clients, c.failsAt);
    {
      LoopbackRequests requests(sockets);
      for (const auto& [client, at] : c.served) {
        std::optional<LoopbackRequests::Request> got = requests.Next(c.seconds);
        ASSERT_TRUE(got);
        EXPECT_EQ(got->connection, kFirstHandle + client);
        EXPECT_EQ(got->head.View(), c.clients[client].Sent());
        EXPECT_EQ(scheduler.Now(), at);
      }
      EXPECT_FALSE(requests.Next(c.seconds));
      EXPECT_EQ(scheduler.Now(), c.ends);
      std::vector<std::pair<std::size_t, Millis>> closes;
      for (const Closes& range : c.closes) {
        for (std::size_t i = range.from; i <= range.to; ++i) closes.emplace_back(i, range.at);
      }
      std::vector<std::pair<std::size_t, Millis>> closed = sockets.closed;
      std::sort(closed.begin(), closed.end());
      EXPECT_EQ(closed, closes);
    }
    // Those still waiting are closed with the reading; each taken one once,
    // but for the heads returned (their answer closes them).
    std::vector<std::size_t> once;
    for (const auto& [client, at] : sockets.closed) once.push_back(client);
    for (const auto& [client, at] : c.served) once.push_back(client);
    std::sort(once.begin(), once.end());
    EXPECT_EQ(std::adjacent_find(once.begin(), once.end()), once.end());
  }
}

// The loopback listener's waiting connections, in virtual milliseconds:
// each has 10 s for its head; when 64 wait, a new one is taken only by
// closing the oldest, once that one has waited 2 s.
TEST(LoopbackRequests, WaitingConnectionsKeptAtBay) {
  WaitingRequests<int> w;
  EXPECT_TRUE(w.MayTake(0));
  EXPECT_EQ(w.NextDue(0, 300000), 300000);
  for (int i = 0; i < 64; ++i) {
    ASSERT_TRUE(w.MayTake(i));
    EXPECT_EQ(w.MakeRoom(), std::nullopt);  // room enough: none closed
    w.Add(i, i);
  }
  EXPECT_FALSE(w.MayTake(1999));  // full, and the oldest has waited less than 2 s
  EXPECT_EQ(w.NextDue(100, 300000), 1900);
  EXPECT_EQ(w.NextDue(100, 50), 50);
  EXPECT_TRUE(w.MayTake(2000));
  EXPECT_EQ(w.MakeRoom(), 0);  // the oldest makes room
  w.Add(64, 2000);
  EXPECT_FALSE(w.MayTake(2000));  // the next oldest came at 1
  EXPECT_EQ(w.NextDue(2000, 300000), 1);
  EXPECT_EQ(w.TakeExpired(10000), std::vector<int>{});
  EXPECT_EQ(w.TakeExpired(10001), std::vector<int>{1});
  EXPECT_EQ(w.TakeExpired(10063).size(), 62u);
  EXPECT_EQ(w.Entries().size(), 1u);
  EXPECT_EQ(w.Entries()[0].handle, 64);
  EXPECT_TRUE(w.MayTake(10063));
  EXPECT_EQ(w.NextDue(10063, 300000), 12000 - 10063);
  EXPECT_EQ(w.TakeExpired(12000), std::vector<int>{64});
  EXPECT_TRUE(w.Empty());
}

}  // namespace
}  // namespace tolvex::test
