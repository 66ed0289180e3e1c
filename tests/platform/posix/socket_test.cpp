// The Asio socket against a scripted server on loopback addresses
// 127.0.0.20-29 (port 25) and ::1.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "base/string_source.hpp"
#include "platform/posix/socket.hpp"
#include "scripted_server.hpp"
#include "smtp/dot_stuffer.hpp"

namespace tolvex::posix::test {
namespace {

// Records every event; takes arrivals with GetData like the run control.
struct Recorder : SocketEvents {
  explicit Recorder(AsioSocket& s) : sock(s) {}
  void WSOCK_Connect() override {
    log.push_back("connect:" + std::to_string(static_cast<int>(sock.State())));
    if (onConnect) onConnect();
  }
  void WSOCK_DataArrival(std::int32_t n) override {
    log.push_back("data:" + std::to_string(n));
    if (takeData) {
      sock.GetData(last, n);
      received += last;
    }
    if (onData) onData();
  }
  void WSOCK_SendComplete() override {
    log.push_back("sent");
    ++sendCompletes;
  }
  AsioSocket& sock;
  std::vector<std::string> log;
  std::string last, received;
  int sendCompletes = 0;
  bool takeData = true;
  std::function<void()> onConnect, onData;
};

struct SocketFixture : ::testing::Test {
  asio::io_context io;
  EventGate gate{io};
  AsioSocket sock{io, gate};
  Recorder rec{sock};
  SocketFixture() { sock.SetEvents(&rec); }
  void ConnectTo(const std::string& host, int port) {
    sock.SetRemotePort(port);
    sock.SetRemoteHost(host);
    sock.Connect();
  }
};

TEST_F(SocketFixture, CommandExchangeDeliversEventsAndExactBytes) {
  ScriptedServer server("127.0.0.20", 25);
  std::string gotHelo, gotMail;
  server.Serve([&](Peer& p) {
    p.Send("220 ready\r\n");
    gotHelo = p.ReadLine().value_or("");
    p.Send("250 hello\r\n");
    gotMail = p.ReadLine().value_or("");
    p.Send("250 ok\r\n");
  });
  ConnectTo("127.0.0.20", 25);
  EXPECT_NE(sock.State(), SocketState::Connected);  // Connect returns at once
  EXPECT_TRUE(rec.log.empty());
  ASSERT_TRUE(RunUntil(io, [&] { return rec.received == "220 ready\r\n"; }));
  EXPECT_EQ(rec.log.front(), "connect:7");
  EXPECT_EQ(sock.State(), SocketState::Connected);

  sock.SendData("HELO \r\n");
  ASSERT_TRUE(RunUntil(io, [&] { return rec.last == "250 hello\r\n"; }));
  sock.SendData("MAIL FROM:a@example.jp\r\n");
  ASSERT_TRUE(RunUntil(io, [&] { return rec.last == "250 ok\r\n" && rec.sendCompletes == 2; }));
  server.Join();
  EXPECT_EQ(gotHelo, "HELO \r\n");
  EXPECT_EQ(gotMail, "MAIL FROM:a@example.jp\r\n");
  EXPECT_EQ(rec.sendCompletes, 2);
}

TEST_F(SocketFixture, GetDataReplacesTheStringAndConsumesAtMostMax) {
  ScriptedServer server("127.0.0.21", 25);
  server.Serve([&](Peer& p) {
    p.Send("220 \x95\x5C\x83\x5C ok\r\n");
    p.WaitForEof(5s);
  });
  rec.takeData = false;
  ConnectTo("127.0.0.21", 25);
  ASSERT_TRUE(RunUntil(io, [&] { return sock.BytesWaiting() == 13; }));
  std::string out = "old text that must go";
  sock.GetData(out, 4);
  EXPECT_EQ(out, "220 ");
  EXPECT_EQ(sock.BytesWaiting(), 9u);
  sock.GetData(out, 2);
  EXPECT_EQ(out, "\x95\x5C");
  sock.GetData(out, 100);
  EXPECT_EQ(out, "\x83\x5C ok\r\n");
  EXPECT_EQ(sock.BytesWaiting(), 0u);
  sock.GetData(out, 100);
  EXPECT_EQ(out, "");
  // The event counted the bytes that were waiting.
  ASSERT_FALSE(rec.log.empty());
  EXPECT_EQ(rec.log.back(), "data:13");
  sock.Close();
  out = "x";
  sock.GetData(out, 10);
  EXPECT_EQ(out, "");
  server.Join();
}

TEST_F(SocketFixture, MessageIsDotStuffedOnTheWireWithOneCompletion) {
  ScriptedServer server("127.0.0.22", 25);
  std::string wire;
  server.Serve([&](Peer& p) {
    p.Send("354 go\r\n");
    wire = p.ReadUntil("\r\n.\r\n").value_or("<timeout>");
    p.Send("250 queued\r\n");
  });
  const std::string mail =
      ".starts with a dot\r\nbody\r\n.\r\n..two\r\nx.y\r\n\x95\x5C.\r\nend\r\n.\r\n";
  ConnectTo("127.0.0.22", 25);
  ASSERT_TRUE(RunUntil(io, [&] { return rec.last == "354 go\r\n"; }));
  StringSource source(mail);
  DotStuffer stuffed(source, mail.size() - 3);  // the stuffer writes ".\r\n"
  sock.SendMessageData(stuffed);
  ASSERT_TRUE(RunUntil(io, [&] { return rec.last == "250 queued\r\n"; }));
  server.Join();
  EXPECT_EQ(wire,
            "..starts with a dot\r\nbody\r\n..\r\n...two\r\nx.y\r\n\x95\x5C.\r\nend\r\n.\r\n");
  EXPECT_EQ(rec.sendCompletes, 1);
}

// Small chunks so the message needs many writes; a dot line falls across a
// chunk boundary.
TEST(AsioSocketChunks, SmallChunksStillGiveOneCompletionAndIntactData) {
  asio::io_context io;
  EventGate gate(io);
  AsioSocket sock(io, gate, 16);
  Recorder rec(sock);
  sock.SetEvents(&rec);
  ScriptedServer server("127.0.0.23", 25);
  std::string wire;
  server.Serve([&](Peer& p) { wire = p.ReadUntil("\r\n.\r\n").value_or("<timeout>"); });
  std::string mail;
  for (int i = 0; i < 50; ++i)
    mail += (i % 3 == 0 ? ".line " : "line ") + std::to_string(i) + "\r\n";
  mail += ".\r\n";
  sock.SetRemotePort(25);
  sock.SetRemoteHost("127.0.0.23");
  sock.Connect();
  ASSERT_TRUE(RunUntil(io, [&] { return sock.State() == SocketState::Connected; }));
  StringSource source(mail);
  DotStuffer stuffed(source, mail.size() - 3);  // the stuffer writes ".\r\n"
  sock.SendMessageData(stuffed);
  ASSERT_TRUE(RunUntil(io, [&] { return rec.sendCompletes == 1; }));
  server.Join();
  EXPECT_EQ(wire, ReferenceStuffing(mail));
  RunFor(io, 20ms);
  EXPECT_EQ(rec.sendCompletes, 1);
}

TEST_F(SocketFixture, LargeMessageStreamsIntact) {
  std::string mail;
  mail.reserve(21 * 1024 * 1024);
  std::string line;
  for (std::size_t i = 0; mail.size() < 20u * 1024 * 1024; ++i) {
    line = (i % 97 == 0 ? "." : "") + std::string(70, static_cast<char>('A' + i % 26)) +
           std::to_string(i) + "\r\n";
    mail += line;
  }
  mail += ".\r\n";
  const std::string expected = ReferenceStuffing(mail);
  ScriptedServer server("127.0.0.24", 25);
  std::string wire;
  server.Serve([&](Peer& p) {
    p.Send("354 go\r\n");
    wire = p.ReadUntil("\r\n.\r\n", 60s).value_or("<timeout>");
    p.Send("250 ok\r\n");
  });
  ConnectTo("127.0.0.24", 25);
  ASSERT_TRUE(RunUntil(io, [&] { return rec.last == "354 go\r\n"; }));
  const auto start = std::chrono::steady_clock::now();
  StringSource source(mail);
  DotStuffer stuffed(source, mail.size() - 3);  // the stuffer writes ".\r\n"
  sock.SendMessageData(stuffed);
  ASSERT_TRUE(RunUntil(
      io, [&] { return rec.last == "250 ok\r\n"; }, 60s));
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                      std::chrono::steady_clock::now() - start)
                      .count();
  server.Join();
  EXPECT_EQ(rec.sendCompletes, 1);
  ASSERT_EQ(wire.size(), expected.size());
  EXPECT_TRUE(wire == expected);
  RecordProperty("message_bytes", static_cast<int>(mail.size()));
  RecordProperty("elapsed_ms", static_cast<int>(ms));
  std::printf("[ info ] %zu bytes streamed in %lld ms\n", mail.size(), static_cast<long long>(ms));
}

TEST_F(SocketFixture, RefusedConnectRaisesNoEvent) {
  ConnectTo("127.0.0.25", 25);  // nothing listens there
  ASSERT_TRUE(RunUntil(io, [&] { return sock.State() == SocketState::Error; }));
  RunFor(io, 50ms);
  EXPECT_TRUE(rec.log.empty());
  // Sending on it goes nowhere and completes nothing.
  sock.SendData("HELO \r\n");
  RunFor(io, 20ms);
  EXPECT_TRUE(rec.log.empty());
}

TEST_F(SocketFixture, ConnectWithoutHostRaisesNoEvent) {
  sock.SetRemotePort(25);
  sock.Connect();
  RunFor(io, 20ms);
  EXPECT_TRUE(rec.log.empty());
  EXPECT_NE(sock.State(), SocketState::Connected);
}

TEST_F(SocketFixture, HostByNameAndIpv6Literal) {
  ScriptedServer v4("127.0.0.1", 0);
  v4.Serve([](Peer& p) {
    p.Send("220 v4\r\n");
    p.WaitForEof(5s);
  });
  ConnectTo("localhost", v4.Port());
  ASSERT_TRUE(RunUntil(io, [&] { return rec.last == "220 v4\r\n"; }));
  sock.Close();
  v4.Join();

  ScriptedServer v6("::1", 0);
  v6.Serve(
      [](Peer& p) {
        p.Send("220 v6\r\n");
        p.WaitForEof(5s);
      },
      2);
  ConnectTo("::1", v6.Port());
  ASSERT_TRUE(RunUntil(io, [&] { return rec.last == "220 v6\r\n"; }));
  rec.last.clear();
  ConnectTo("[::1]", v6.Port());  // a new Connect replaces the old connection
  ASSERT_TRUE(RunUntil(io, [&] { return rec.last == "220 v6\r\n"; }));
  sock.Close();
  v6.Join();
  EXPECT_EQ(std::count(rec.log.begin(), rec.log.end(), "connect:7"), 3);
}

TEST_F(SocketFixture, ServerClosingMidSessionRaisesNothingFurther) {
  ScriptedServer server("127.0.0.26", 25);
  server.Serve([](Peer& p) {
    p.Send("220 bye soon\r\n");
    p.Close();
  });
  ConnectTo("127.0.0.26", 25);
  ASSERT_TRUE(RunUntil(io, [&] { return sock.State() == SocketState::PeerClosed; }));
  server.Join();
  EXPECT_EQ(rec.received, "220 bye soon\r\n");
  const auto before = rec.log;
  sock.SendData("HELO \r\n");
  RunFor(io, 30ms);
  EXPECT_EQ(rec.log, before);
  EXPECT_EQ(rec.sendCompletes, 0);
}

// Close inside a handler: the send completion and the arrivals that follow
// belong to the closed connection and are never delivered; a later Connect
// works normally.
TEST_F(SocketFixture, CloseDropsPendingEventsAndAllowsReconnect) {
  ScriptedServer server("127.0.0.27", 25);
  server.Serve(
      [](Peer& p) {
        p.Send("220 one\r\n");
        p.Send(std::string(200000, 'x'));  // more arrivals on the way
        p.WaitForEof(5s);
      },
      2);
  rec.onData = [&] {
    if (rec.last.rfind("220 one\r\n", 0) != 0) return;
    sock.SendData("QUIT\r\n");  // its completion would follow later
    sock.Close();
  };
  ConnectTo("127.0.0.27", 25);
  ASSERT_TRUE(
      RunUntil(io, [&] { return sock.State() == SocketState::Closed && !rec.log.empty(); }));
  RunFor(io, 50ms);
  EXPECT_EQ(rec.sendCompletes, 0);
  EXPECT_EQ(rec.received.rfind("220 one\r\n", 0), 0u);
  EXPECT_EQ(std::count_if(rec.log.begin(), rec.log.end(),
                          [](const std::string& e) { return e.rfind("data:", 0) == 0; }),
            1);

  rec.onData = nullptr;
  rec.received.clear();
  ConnectTo("127.0.0.27", 25);
  ASSERT_TRUE(RunUntil(io, [&] { return rec.received.rfind("220 one\r\n", 0) == 0; }));
  sock.Close();
  server.Join();
}

TEST(EventGate, EventsRaisedInsideAHandlerRunAfterItAndNothingAfterClose) {
  asio::io_context io;
  EventGate gate(io);
  std::vector<std::string> order;
  gate.Deliver([&] {
    order.push_back("outer begin");
    gate.Deliver([&] { order.push_back("inner"); });
    order.push_back("outer end");
  });
  EXPECT_EQ(order, (std::vector<std::string>{"outer begin", "outer end"}));
  io.run();
  EXPECT_EQ(order, (std::vector<std::string>{"outer begin", "outer end", "inner"}));

  io.restart();
  gate.Deliver([&] {
    gate.Deliver([&] { order.push_back("late"); });
    gate.Close();
  });
  gate.Deliver([&] { order.push_back("after close"); });
  io.run();
  EXPECT_EQ(order.size(), 3u);
}

}  // namespace
}  // namespace tolvex::posix::test

namespace tolvex::posix::test {
namespace {

// The server hangs up in the middle of a large message: the write fails,
// no completion is reported, and the process is not killed by SIGPIPE.
TEST_F(SocketFixture, ServerHangingUpDuringTheMessage) {
  std::string mail(8 * 1024 * 1024, 'm');
  mail += "\r\n.\r\n";
  ScriptedServer server("127.0.0.28", 25);
  server.Serve([](Peer& p) {
    p.Send("354 go\r\n");
    p.ReadUntil(std::string(1000, 'm'));
    p.Close();
  });
  ConnectTo("127.0.0.28", 25);
  ASSERT_TRUE(RunUntil(io, [&] { return rec.last == "354 go\r\n"; }));
  StringSource source(mail);
  DotStuffer stuffed(source, mail.size() - 3);  // the stuffer writes ".\r\n"
  sock.SendMessageData(stuffed);
  ASSERT_TRUE(RunUntil(io, [&] {
    return sock.State() == SocketState::Error || sock.State() == SocketState::PeerClosed;
  }));
  server.Join();
  RunFor(io, 50ms);
  EXPECT_EQ(rec.sendCompletes, 0);
  sock.Close();
  EXPECT_EQ(sock.State(), SocketState::Closed);
}

}  // namespace
}  // namespace tolvex::posix::test
