// The one contract every Socket keeps, as a typed GoogleTest suite. Each
// socket (Linux Asio, Windows Winsock under Wine, the scripted fake) brings
// a harness H and instantiates the suite:
//
//   INSTANTIATE_TYPED_TEST_SUITE_P(Asio, SocketContract, AsioHarness);
//
// H provides:
//   Socket& Sock();                       the socket under test
//   void Attach(SocketEvents*);           where its events go
//   // A peer on `address` (IPv4 or IPv6 literal, a free port) that sends
//   // `greeting` to a client and answers each "PING\r\n" with "PONG\r\n".
//   void Serve(const std::string& address, const std::string& greeting);
//   std::int32_t Port();                  the peer's port
//   std::string Received();               every byte the peer got so far
//   bool RunUntil(std::function<bool()> done, int ms);
//   void RunFor(int ms);
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "base/platform.hpp"
#include "base/string_source.hpp"

namespace tolvex::contract {

struct Events final : SocketEvents {
  explicit Events(Socket& s) : sock(s) {}
  void WSOCK_Connect() override {
    ++connects;
    stateAtConnect = sock.State();
  }
  void WSOCK_DataArrival(std::int32_t n) override {
    counts.push_back(n);
    if (!take) return;
    std::string piece = "stale";
    sock.GetData(piece, n);
    got += piece;
  }
  void WSOCK_SendComplete() override { ++completes; }

  Socket& sock;
  bool take = true;  // take every arrival whole, as the session does
  int connects = 0;
  int completes = 0;
  SocketState stateAtConnect = SocketState::Closed;
  std::vector<std::int32_t> counts;
  std::string got;
};

template <class H>
class SocketContract : public ::testing::Test {
 protected:
  SocketContract() : events(h.Sock()) { h.Attach(&events); }

  void ConnectTo(const std::string& host) {
    h.Sock().SetLocalPort(0);
    h.Sock().SetRemotePort(h.Port());
    h.Sock().SetRemoteHost(host);
    h.Sock().Connect();
  }
  bool Greeted(const std::string& greeting) {
    return h.RunUntil([&] { return events.got == greeting; }, 10000);
  }

  H h;
  Events events;
};

TYPED_TEST_SUITE_P(SocketContract);

TYPED_TEST_P(SocketContract, ConnectReturnsAtOnceThenTheEventsFollow) {
  this->h.Serve("127.0.0.1", "220 hello\r\n");
  this->ConnectTo("127.0.0.1");
  EXPECT_NE(this->h.Sock().State(), SocketState::Connected);
  EXPECT_EQ(this->events.connects, 0);
  ASSERT_TRUE(this->Greeted("220 hello\r\n"));
  EXPECT_EQ(this->events.connects, 1);
  EXPECT_EQ(this->events.stateAtConnect, SocketState::Connected);
  EXPECT_EQ(this->h.Sock().State(), SocketState::Connected);
}

TYPED_TEST_P(SocketContract, GetDataTakesAtMostMaxAndZeroTakesNothing) {
  this->events.take = false;
  this->h.Serve("127.0.0.1", "220 \x95\x5C\x83\x5C ok\r\n");
  this->ConnectTo("127.0.0.1");
  ASSERT_TRUE(this->h.RunUntil(
      [&] { return !this->events.counts.empty() && this->events.counts.back() == 13; }, 10000));
  Socket& s = this->h.Sock();
  std::string out = "old";
  s.GetData(out, 0);
  EXPECT_EQ(out, "");
  s.GetData(out, 4);
  EXPECT_EQ(out, "220 ");
  s.GetData(out, -1);
  EXPECT_EQ(out, "");
  s.GetData(out, 100);
  EXPECT_EQ(out, "\x95\x5C\x83\x5C ok\r\n");
  s.GetData(out, 100);
  EXPECT_EQ(out, "");
}

TYPED_TEST_P(SocketContract, SendsBeforeTheConnectionAreDropped) {
  this->h.Serve("127.0.0.1", "220 hello\r\n");
  Socket& s = this->h.Sock();
  s.SendData("EARLY\r\n");  // never connected
  this->ConnectTo("127.0.0.1");
  s.SendData("CONNECTING\r\n");
  StringSource early("stream before the connection\r\n");
  s.SendMessageData(early);
  ASSERT_TRUE(this->Greeted("220 hello\r\n"));
  this->h.RunFor(100);
  EXPECT_EQ(this->events.completes, 0);
  s.SendData("PING\r\n");
  ASSERT_TRUE(this->h.RunUntil([&] { return this->events.got == "220 hello\r\nPONG\r\n"; }, 10000));
  EXPECT_EQ(this->h.Received(), "PING\r\n");
  EXPECT_EQ(this->events.completes, 1);
}

TYPED_TEST_P(SocketContract, EachSendCompletesOnceInOrder) {
  this->h.Serve("127.0.0.1", "220 hello\r\n");
  this->ConnectTo("127.0.0.1");
  ASSERT_TRUE(this->Greeted("220 hello\r\n"));
  Socket& s = this->h.Sock();
  std::string big;
  for (int i = 0; big.size() < 300000; ++i) big += "line " + std::to_string(i) + "\r\n";
  StringSource stream(big);
  s.SendData("PING\r\n");
  s.SendMessageData(stream);
  s.SendData("PING\r\n");
  ASSERT_TRUE(this->h.RunUntil([&] { return this->events.completes == 3; }, 20000));
  ASSERT_TRUE(this->h.RunUntil([&] { return this->h.Received().size() == big.size() + 12; }, 20000));
  EXPECT_TRUE(this->h.Received() == "PING\r\n" + big + "PING\r\n");
  EXPECT_EQ(s.BytesAccepted(), big.size() + 12);
  this->h.RunFor(50);
  EXPECT_EQ(this->events.completes, 3);
}

TYPED_TEST_P(SocketContract, BracketedIpv6LiteralConnects) {
  this->h.Serve("::1", "220 six\r\n");
  this->ConnectTo("[::1]");
  ASSERT_TRUE(this->Greeted("220 six\r\n"));
  EXPECT_EQ(this->events.connects, 1);
}

TYPED_TEST_P(SocketContract, CloseDropsWhatWasPending) {
  this->h.Serve("127.0.0.1", "220 hello\r\n");
  this->ConnectTo("127.0.0.1");
  ASSERT_TRUE(this->Greeted("220 hello\r\n"));
  Socket& s = this->h.Sock();
  s.SendData("PING\r\n");
  s.Close();  // its completion and the PONG belong to a closed connection
  EXPECT_EQ(s.State(), SocketState::Closed);
  this->h.RunFor(200);
  EXPECT_EQ(this->events.completes, 0);
  EXPECT_EQ(this->events.got, "220 hello\r\n");
  EXPECT_EQ(s.BytesAccepted(), 0u);
}

REGISTER_TYPED_TEST_SUITE_P(SocketContract, ConnectReturnsAtOnceThenTheEventsFollow,
                            GetDataTakesAtMostMaxAndZeroTakesNothing,
                            SendsBeforeTheConnectionAreDropped, EachSendCompletesOnceInOrder,
                            BracketedIpv6LiteralConnects,
                            CloseDropsWhatWasPending);

}  // namespace tolvex::contract
