// The Winsock socket against a loopback server on a worker thread: events
// on the message loop, exact bytes both ways, partial sends, stale events.
#include <gtest/gtest.h>
#include <winsock2.h>
#include <ws2tcpip.h>
// after winsock2.h
#include <windows.h>

#include <string>
#include <vector>

#include "base/string_source.hpp"
#include "platform/win32/socket.hpp"
#include "pump.hpp"
#include "smtp/dot_stuffer.hpp"

namespace tolvex::win {
namespace {

struct WinsockInit {
  WinsockInit() {
    WSADATA d;
    WSAStartup(MAKEWORD(2, 2), &d);
  }
  ~WinsockInit() { WSACleanup(); }
};

// One-connection server with a small script: a greeting, then it reads
// until `expectBytes` have come (or the peer closes), then it may send a
// parting text and close.
class LoopbackServer {
 public:
  explicit LoopbackServer(int family = AF_INET) {
    listener_ = socket(family, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_storage a{};
    int len;
    if (family == AF_INET6) {
      auto* a6 = reinterpret_cast<sockaddr_in6*>(&a);
      a6->sin6_family = AF_INET6;
      a6->sin6_addr = in6addr_loopback;
      len = sizeof(sockaddr_in6);
    } else {
      auto* a4 = reinterpret_cast<sockaddr_in*>(&a);
      a4->sin_family = AF_INET;
      a4->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      len = sizeof(sockaddr_in);
    }
    ok_ = listener_ != INVALID_SOCKET &&
          bind(listener_, reinterpret_cast<sockaddr*>(&a), len) == 0 && listen(listener_, 2) == 0 &&
          getsockname(listener_, reinterpret_cast<sockaddr*>(&a), &len) == 0;
    if (ok_) {
      port_ = ntohs(family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(&a)->sin6_port
                                       : reinterpret_cast<sockaddr_in*>(&a)->sin_port);
    }
    readGate_ = CreateEventW(nullptr, TRUE, TRUE, nullptr);
  }
  ~LoopbackServer() {
    // Unblock a server still waiting in accept or recv.
    SetEvent(readGate_);
    SOCKET c = static_cast<SOCKET>(InterlockedExchange64(reinterpret_cast<volatile LONG64*>(&conn_),
                                                         static_cast<LONG64>(INVALID_SOCKET)));
    if (c != INVALID_SOCKET) closesocket(c);
    if (listener_ != INVALID_SOCKET) closesocket(listener_);
    listener_ = INVALID_SOCKET;
    if (thread_) {
      WaitForSingleObject(thread_, 10000);
      CloseHandle(thread_);
    }
    if (listener_ != INVALID_SOCKET) closesocket(listener_);
    CloseHandle(readGate_);
  }

  bool Ok() const { return ok_; }
  int Port() const { return port_; }

  std::string greeting;
  std::size_t expectBytes = 0;  // 0: read until the peer closes
  std::string parting;          // sent after reading, then the server closes

  void HoldReads() { ResetEvent(readGate_); }
  void ReleaseReads() { SetEvent(readGate_); }
  void Start() { thread_ = CreateThread(nullptr, 0, &Run, this, 0, nullptr); }
  // Waits for the server to finish; returns what it received.
  const std::string& Received() {
    if (thread_) WaitForSingleObject(thread_, 30000);
    return received_;
  }
  bool Finished() const { return thread_ && WaitForSingleObject(thread_, 0) == WAIT_OBJECT_0; }

 private:
  static DWORD WINAPI Run(LPVOID self) {
    static_cast<LoopbackServer*>(self)->Serve();
    return 0;
  }
  void Serve() {
    SOCKET c = accept(listener_, nullptr, nullptr);
    if (c == INVALID_SOCKET) return;
    conn_ = c;
    if (!greeting.empty()) send(c, greeting.data(), static_cast<int>(greeting.size()), 0);
    WaitForSingleObject(readGate_, INFINITE);
    std::vector<char> buf(1 << 16);
    while (expectBytes == 0 || received_.size() < expectBytes) {
      int n = recv(c, buf.data(), static_cast<int>(buf.size()), 0);
      if (n <= 0) break;
      received_.append(buf.data(), static_cast<std::size_t>(n));
    }
    if (!parting.empty()) send(c, parting.data(), static_cast<int>(parting.size()), 0);
    shutdown(c, SD_SEND);
    c = static_cast<SOCKET>(InterlockedExchange64(reinterpret_cast<volatile LONG64*>(&conn_),
                                                  static_cast<LONG64>(INVALID_SOCKET)));
    if (c != INVALID_SOCKET) closesocket(c);
  }

  SOCKET listener_ = INVALID_SOCKET;
  volatile SOCKET conn_ = INVALID_SOCKET;
  bool ok_ = false;
  int port_ = 0;
  HANDLE readGate_;
  HANDLE thread_ = nullptr;
  std::string received_;
};

struct Recorder : SocketEvents {
  WinsockSocket* socket = nullptr;
  int connects = 0;
  int completes = 0;
  std::vector<std::int32_t> arrivals;
  std::string got;
  bool readOnArrival = true;
  bool closeOnConnect = false;
  void WSOCK_Connect() override {
    ++connects;
    if (closeOnConnect) socket->Close();
  }
  void WSOCK_DataArrival(std::int32_t n) override {
    arrivals.push_back(n);
    if (readOnArrival) {
      std::string piece;
      socket->GetData(piece, n);
      got += piece;
    }
  }
  void WSOCK_SendComplete() override { ++completes; }
  void WSOCK_Error(const std::string& reason) override { errors.push_back(reason); }
  std::vector<std::string> errors;
};

// The wire form of a message that ends in CR LF "." CR LF, written line by
// line: a leading "." doubled except in the terminator line.
std::string Stuffed(const std::string& mail) {
  std::string body = mail.substr(0, mail.size() - 3);
  std::string out;
  std::size_t start = 0;
  for (;;) {
    std::size_t end = body.find("\r\n", start);
    std::string line =
        body.substr(start, end == std::string::npos ? std::string::npos : end - start);
    if (!line.empty() && line[0] == '.') out += '.';
    out += line;
    if (end == std::string::npos) break;
    out += "\r\n";
    start = end + 2;
  }
  return out + ".\r\n";
}

class WinsockSocketTest : public ::testing::Test {
 protected:
  WinsockInit winsock;
  EventGate gate;
  WinsockSocket sock{&gate};
  Recorder rec;

  void SetUp() override {
    rec.socket = &sock;
    sock.SetEvents(&rec);
  }
  void ConnectTo(const std::string& host, int port) {
    sock.SetRemotePort(port);
    sock.SetRemoteHost(host);
    sock.Connect();
  }
  bool Connected() {
    return test::PumpUntil([&] { return rec.connects > 0; }, 5000);
  }
};

TEST_F(WinsockSocketTest, ConnectReturnsAtOnceThenConnectAndGreetingFollow) {
  LoopbackServer server;
  ASSERT_TRUE(server.Ok());
  server.greeting = "220 loopback ready\r\n";
  server.Start();
  ConnectTo("127.0.0.1", server.Port());
  EXPECT_EQ(rec.connects, 0);  // nothing inside the call
  EXPECT_NE(sock.State(), SocketState::Connected);
  ASSERT_TRUE(test::PumpUntil([&] { return rec.got.size() == 20; }, 5000));
  EXPECT_EQ(rec.connects, 1);
  EXPECT_EQ(sock.State(), SocketState::Connected);
  EXPECT_EQ(rec.got, "220 loopback ready\r\n");
  int total = 0;
  for (std::int32_t n : rec.arrivals) total += n;  // each arrival was read whole
  EXPECT_EQ(total, 20);
}

TEST_F(WinsockSocketTest, GetDataTakesAtMostTheAskedBytesAndKeepsTheRest) {
  LoopbackServer server;
  ASSERT_TRUE(server.Ok());
  server.greeting = "220 \x95\x5C ok\r\n";
  server.Start();
  rec.readOnArrival = false;
  ConnectTo("127.0.0.1", server.Port());
  ASSERT_TRUE(
      test::PumpUntil([&] { return !rec.arrivals.empty() && rec.arrivals.back() == 11; }, 5000));
  std::string out = "old";
  sock.GetData(out, 3);
  EXPECT_EQ(out, "220");
  sock.GetData(out, 100);
  EXPECT_EQ(out, " \x95\x5C ok\r\n");
  sock.GetData(out, 100);
  EXPECT_EQ(out, "");
}

TEST_F(WinsockSocketTest, EachSendCompletesOnceFromTheLoopAndArrivesExactly) {
  LoopbackServer server;
  ASSERT_TRUE(server.Ok());
  server.expectBytes = 30;
  server.Start();
  ConnectTo("127.0.0.1", server.Port());
  ASSERT_TRUE(Connected());
  sock.SendData("HELO \x8F\x5C\r\n");
  EXPECT_EQ(rec.completes, 0);  // never inside SendData
  sock.SendData("MAIL FROM:a@example.jp\r\n");
  ASSERT_TRUE(test::PumpUntil([&] { return rec.completes == 2; }, 5000));
  test::PumpFor(50);
  EXPECT_EQ(rec.completes, 2);
  EXPECT_EQ(server.Received(), "HELO \x8F\x5C\r\nMAIL FROM:a@example.jp\r\n");
}

TEST_F(WinsockSocketTest, LargeMessageStreamsStuffedThroughPartialSends) {
  LoopbackServer server;
  ASSERT_TRUE(server.Ok());
  std::string mail;
  mail.reserve(40u << 20);
  std::string line = "0123456789abcdefghijklmnopqrstuvwxyz\x95\x5C\x83\x5C";
  for (int i = 0; mail.size() < (32u << 20); ++i) {
    if (i % 7 == 0) mail += ".";
    if (i % 11 == 0) mail += "..";
    mail += line + "\r\n";
  }
  mail += ".\r\n";
  std::string expected = Stuffed(mail);
  ASSERT_GT(expected.size(), mail.size());
  server.expectBytes = expected.size();
  server.HoldReads();
  server.Start();
  ConnectTo("127.0.0.1", server.Port());
  ASSERT_TRUE(Connected());
  StringSource source(mail);
  DotStuffer stuffed(source, mail.size() - 3);  // the stuffer writes ".\r\n"
  sock.SendMessageData(stuffed);
  // More than the network buffers hold: the rest waits for FD_WRITE.
  EXPECT_TRUE(sock.SendPending());
  test::PumpFor(200);
  EXPECT_EQ(rec.completes, 0);
  server.ReleaseReads();
  ASSERT_TRUE(test::PumpUntil([&] { return rec.completes > 0; }, 60000));
  EXPECT_EQ(rec.completes, 1);
  const std::string& got = server.Received();
  ASSERT_EQ(got.size(), expected.size());
  EXPECT_TRUE(got == expected);
}

TEST_F(WinsockSocketTest, RefusedConnectRaisesOnlyAnErrorWithItsReason) {
  int port;
  {
    LoopbackServer probe;  // a free port, closed again before the connect
    ASSERT_TRUE(probe.Ok());
    port = probe.Port();
  }
  ConnectTo("127.0.0.1", port);
  ASSERT_TRUE(test::PumpUntil([&] { return sock.State() == SocketState::Error; }, 10000));
  test::PumpFor(100);
  EXPECT_EQ(rec.connects, 0);
  EXPECT_TRUE(rec.arrivals.empty());
  EXPECT_EQ(rec.errors, std::vector<std::string>{"connection refused"});
}

TEST_F(WinsockSocketTest, NoHostOrUnknownHostFailsWithoutEvent) {
  ConnectTo("", 25);
  EXPECT_EQ(sock.State(), SocketState::Error);
  ConnectTo("no-such-host.invalid", 25);
  ASSERT_TRUE(test::PumpUntil([&] { return sock.State() == SocketState::Error; }, 20000));
  test::PumpFor(50);
  EXPECT_EQ(rec.connects, 0);
  sock.SendData("HELO\r\n");  // not connected: nothing queued, no completion
  EXPECT_FALSE(sock.SendPending());
  test::PumpFor(50);
  EXPECT_EQ(rec.completes, 0);
}

TEST_F(WinsockSocketTest, CloseDropsEverythingStillQueued) {
  LoopbackServer server;
  ASSERT_TRUE(server.Ok());
  server.greeting = "220 hi\r\n";
  server.Start();
  rec.closeOnConnect = true;  // closed before the greeting is handed on
  ConnectTo("127.0.0.1", server.Port());
  ASSERT_TRUE(Connected());
  EXPECT_EQ(sock.State(), SocketState::Closed);
  test::PumpFor(200);
  EXPECT_TRUE(rec.arrivals.empty());
}

TEST_F(WinsockSocketTest, CloseDropsAPendingSendCompletion) {
  LoopbackServer server;
  ASSERT_TRUE(server.Ok());
  server.Start();
  ConnectTo("127.0.0.1", server.Port());
  ASSERT_TRUE(Connected());
  sock.SendData("QUIT\r\n");
  sock.Close();
  test::PumpFor(200);
  EXPECT_EQ(rec.completes, 0);
}

TEST_F(WinsockSocketTest, PeerCloseHandsOnTheLastReply) {
  LoopbackServer server;
  ASSERT_TRUE(server.Ok());
  server.expectBytes = 6;
  server.parting = "221 bye\r\n";
  server.Start();
  ConnectTo("127.0.0.1", server.Port());
  ASSERT_TRUE(Connected());
  sock.SendData("QUIT\r\n");
  ASSERT_TRUE(test::PumpUntil(
      [&] { return rec.got == "221 bye\r\n" && sock.State() == SocketState::PeerClosed; }, 5000));
  EXPECT_EQ(rec.completes, 1);
}

TEST_F(WinsockSocketTest, ANewConnectAfterCloseWorks) {
  LoopbackServer first;
  LoopbackServer second;
  ASSERT_TRUE(first.Ok() && second.Ok());
  first.greeting = "220 first\r\n";
  second.greeting = "220 second\r\n";
  first.Start();
  second.Start();
  ConnectTo("127.0.0.1", first.Port());
  ASSERT_TRUE(test::PumpUntil([&] { return rec.got == "220 first\r\n"; }, 5000));
  sock.Close();
  rec.got.clear();
  ConnectTo("127.0.0.1", second.Port());
  ASSERT_TRUE(test::PumpUntil([&] { return rec.got == "220 second\r\n"; }, 5000));
  EXPECT_EQ(rec.connects, 2);
}

TEST_F(WinsockSocketTest, HostNamesResolveAndEachAddressIsTried) {
  LoopbackServer server;  // IPv4 only: "localhost" may name ::1 first
  ASSERT_TRUE(server.Ok());
  server.greeting = "220 by name\r\n";
  server.Start();
  ConnectTo("localhost", server.Port());
  EXPECT_EQ(sock.State(), SocketState::Resolving);
  ASSERT_TRUE(test::PumpUntil([&] { return rec.got == "220 by name\r\n"; }, 10000));
  EXPECT_EQ(rec.connects, 1);
}

TEST_F(WinsockSocketTest, Ipv6Literal) {
  LoopbackServer server(AF_INET6);
  if (!server.Ok()) GTEST_SKIP() << "no IPv6 loopback here";
  server.greeting = "220 six\r\n";
  server.Start();
  ConnectTo("::1", server.Port());
  ASSERT_TRUE(test::PumpUntil([&] { return rec.got == "220 six\r\n"; }, 5000));
}

TEST_F(WinsockSocketTest, AClosedGateStopsEveryEvent) {
  LoopbackServer server;
  ASSERT_TRUE(server.Ok());
  server.greeting = "220 hi\r\n";
  server.Start();
  ConnectTo("127.0.0.1", server.Port());
  gate.open = false;
  test::PumpUntil([&] { return sock.State() == SocketState::Connected; }, 5000);
  test::PumpFor(100);
  EXPECT_EQ(rec.connects, 0);
  EXPECT_TRUE(rec.arrivals.empty());
}

}  // namespace
}  // namespace tolvex::win
