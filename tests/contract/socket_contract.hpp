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
//   // A TLS peer (TLS from the first byte, then an echo of what it gets)
//   // of the given kind; returns the address to connect to, Port() its
//   // port. Its certificate names "mail.tolvex.test" (WrongName: another
//   // host), issued by a CA only Request(true) trusts; Hangup reads the
//   // ClientHello and closes.
//   std::string ServeTls(TlsPeer kind);
//   TlsRequest Request(bool trustTheCa);
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "base/platform.hpp"
#include "base/string_source.hpp"

namespace tolvex::contract {

enum class TlsPeer { Good, WrongName, Hangup };

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
  void WSOCK_Error(const std::string& reason) override { errors.push_back(reason); }

  Socket& sock;
  bool take = true;  // take every arrival whole, as the session does
  int connects = 0;
  int completes = 0;
  SocketState stateAtConnect = SocketState::Closed;
  std::vector<std::int32_t> counts;
  std::string got;
  std::vector<std::string> errors;
};

template <class H>
class SocketContract : public ::testing::Test {
 protected:
  SocketContract() : events(h.Sock()) { h.Attach(&events); }

  void ConnectTo(const std::string& host) {
    h.Sock().SetRemotePort(h.Port());
    h.Sock().SetRemoteHost(host);
    h.Sock().Connect();
  }
  bool Greeted(const std::string& greeting) {
    return h.RunUntil([&] { return events.got == greeting; }, 10000);
  }
  // Connects to a TLS peer of `kind` and starts TLS at once (implicit TLS);
  // true once the handshake has ended either way.
  bool Handshake(TlsPeer kind, bool trust = true) {
    const std::string address = h.ServeTls(kind);
    ConnectTo(address);
    if (!h.RunUntil([&] { return events.connects == 1; }, 10000)) return false;
    h.Sock().StartTls(h.Request(trust));
    return h.RunUntil([&] { return events.completes + events.errors.size() > 0; }, 20000);
  }
  void ExpectOneFailure(const std::string& part) {
    h.RunFor(100);
    EXPECT_EQ(events.completes, 0);
    ASSERT_EQ(events.errors.size(), 1u);
    EXPECT_NE(events.errors[0].find(part), std::string::npos) << events.errors[0];
    EXPECT_LT(events.errors[0].size(), 200u);
    EXPECT_EQ(h.Sock().State(), SocketState::Error);
    EXPECT_TRUE(h.Sock().TlsPeer().version.empty());
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
  ASSERT_TRUE(
      this->h.RunUntil([&] { return this->h.Received().size() == big.size() + 12; }, 20000));
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

TYPED_TEST_P(SocketContract, StartTlsEndsLikeASendThenCarriesTheBytes) {
  ASSERT_TRUE(this->Handshake(TlsPeer::Good));
  EXPECT_EQ(this->events.errors, std::vector<std::string>{});
  EXPECT_EQ(this->events.completes, 1);
  const TlsInfo info = this->h.Sock().TlsPeer();
  EXPECT_EQ(info.version.rfind("TLS 1.", 0), 0u) << info.version;
  EXPECT_FALSE(info.cipher.empty());
  EXPECT_NE(info.subject.find("CN="), std::string::npos) << info.subject;
  EXPECT_FALSE(info.issuer.empty());
  EXPECT_FALSE(info.notAfter.empty());
  // Through TLS, in both directions, a command and a stream alike.
  std::string big;
  for (int i = 0; big.size() < 100000; ++i) big += "\x95\x5C line " + std::to_string(i) + "\r\n";
  StringSource stream(big);
  this->h.Sock().SendData("PING\r\n");
  this->h.Sock().SendMessageData(stream);
  ASSERT_TRUE(this->h.RunUntil([&] { return this->events.got.size() >= big.size() + 6; }, 20000));
  EXPECT_TRUE(this->events.got == "PING\r\n" + big);
}

TYPED_TEST_P(SocketContract, CertificateForAnotherNameFailsWithOneError) {
  ASSERT_TRUE(this->Handshake(TlsPeer::WrongName));
  this->ExpectOneFailure("certificate verify failed: host name mismatch");
}

TYPED_TEST_P(SocketContract, UntrustedCaFailsWithOneError) {
  ASSERT_TRUE(this->Handshake(TlsPeer::Good, false));
  this->ExpectOneFailure("certificate verify failed: unknown CA");
}

TYPED_TEST_P(SocketContract, CloseDuringTheHandshakeFailsWithOneError) {
  ASSERT_TRUE(this->Handshake(TlsPeer::Hangup));
  this->ExpectOneFailure("");
  EXPECT_FALSE(this->events.errors[0].empty());
}

TYPED_TEST_P(SocketContract, StartTlsWithoutAConnectionFailsWithOneError) {
  this->h.Sock().StartTls(this->h.Request(true));
  EXPECT_TRUE(this->events.errors.empty());  // never inside the call
  ASSERT_TRUE(this->h.RunUntil([&] { return !this->events.errors.empty(); }, 5000));
  this->h.RunFor(100);
  EXPECT_EQ(this->events.errors.size(), 1u);
  EXPECT_EQ(this->events.completes, 0);
}

REGISTER_TYPED_TEST_SUITE_P(SocketContract, ConnectReturnsAtOnceThenTheEventsFollow,
                            GetDataTakesAtMostMaxAndZeroTakesNothing,
                            SendsBeforeTheConnectionAreDropped, EachSendCompletesOnceInOrder,
                            BracketedIpv6LiteralConnects, CloseDropsWhatWasPending,
                            StartTlsEndsLikeASendThenCarriesTheBytes,
                            CertificateForAnotherNameFailsWithOneError,
                            UntrustedCaFailsWithOneError, CloseDuringTheHandshakeFailsWithOneError,
                            StartTlsWithoutAConnectionFailsWithOneError);

}  // namespace tolvex::contract
