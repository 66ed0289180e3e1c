// Whole runs on the real event loop with shortened periods (tick 1 ms,
// minute 20 ms) against scripted servers on 127.0.0.30-39 port 25.
#include <gtest/gtest.h>

#include <asio/steady_timer.hpp>

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "app/exit_status.hpp"
#include "app/form1.hpp"
#include "platform/posix/platform.hpp"
#include "scripted_server.hpp"

namespace tolvex::posix::test {
namespace fs = std::filesystem;

namespace {

struct RunFixture : ::testing::Test {
  fs::path dir;
  std::ostringstream err;

  void SetUp() override {
    dir = fs::temp_directory_path() /
          ("tolvex-posix-" +
           std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()));
    fs::remove_all(dir);
    fs::create_directories(dir);
  }
  void TearDown() override { fs::remove_all(dir); }

  void WriteCommandFile(const std::string& text) {
    std::ofstream(dir / "command.txt", std::ios::binary) << text;
  }
  std::string ReadFile(const std::string& name) {
    std::ifstream in(dir / name, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  PlatformOptions Options() {
    PlatformOptions o;
    o.minute = 20ms;
    o.tick = 1ms;
    o.err = &err;
    o.statusLine = false;
    o.deadline = 20s;
    return o;
  }
};

// The server side of one normal session; records each line it was sent and
// the DATA bytes as they arrived.
struct SessionLog {
  std::vector<std::string> commands;
  std::string data;
};

void NormalSession(Peer& p, SessionLog& log) {
  p.Send("220 mail.example.jp ESMTP\r\n");
  while (auto line = p.ReadLine()) {
    log.commands.push_back(*line);
    if (*line == "DATA\r\n") {
      p.Send("354 go ahead\r\n");
      log.data = p.ReadUntil("\r\n.\r\n").value_or("<timeout>");
      p.Send("250 2.0.0 queued\r\n");
    } else if (*line == "QUIT\r\n") {
      p.Send("221 bye\r\n");
      return;
    } else {
      p.Send("250 ok\r\n");
    }
  }
}

TEST_F(RunFixture, FullSessionSendsExactCommandsAndStuffedData) {
  ScriptedServer server("127.0.0.30", 25);
  SessionLog log;
  server.Serve([&](Peer& p) { NormalSession(p, log); });
  WriteCommandFile(
      "#LOC=client.example.jp\r\n#HOS=127.0.0.30\r\n#FRO=Taro <taro@example.jp>\r\n"
      "#TO=a@example.jp, b@example.jp\r\n#SUB=test\r\n#DEL\r\n\r\n"
      "first line\r\n.\r\n.dot line\r\n");
  PosixPlatform platform(Options());
  const int status = platform.Serve(dir, RunForm);
  server.Join();

  EXPECT_EQ(status, 0) << err.str();
  EXPECT_EQ(log.commands, (std::vector<std::string>{
                              "HELO client.example.jp\r\n", "MAIL FROM:<taro@example.jp>\r\n",
                              "RCPT TO:<a@example.jp>\r\n", "RCPT TO:<b@example.jp>\r\n",
                              "DATA\r\n", "QUIT\r\n"}));
  const std::string body = "\r\nfirst line\r\n..\r\n..dot line\r\n.\r\n";
  ASSERT_GE(log.data.size(), body.size());
  EXPECT_EQ(log.data.substr(log.data.size() - body.size()), body);
  EXPECT_EQ(log.data.rfind("Subject: =?ISO-2022-JP?B?", 0), 0u);

  const std::string record = ReadFile("LOG.txt");
  EXPECT_TRUE(record.ends_with(" 0 \r\n")) << record;
  EXPECT_FALSE(fs::exists(dir / "TEMP.TXT"));
  EXPECT_FALSE(fs::exists(dir / "command.txt"));  // "#DEL"
  EXPECT_EQ(err.str(), "");
}

// A refused connect raises no event: the session sits in its connect state
// until the time-out (1200 ticks of 1 ms here) and logs 999.
TEST_F(RunFixture, RefusedConnectEndsThroughTheTimeOut) {
  WriteCommandFile("#HOS=127.0.0.31\r\n#TO=a@example.jp\r\n\r\nbody\r\n");
  const auto start = std::chrono::steady_clock::now();
  PosixPlatform platform(Options());
  const int status = platform.Serve(dir, RunForm);
  const auto elapsed = std::chrono::steady_clock::now() - start;

  EXPECT_EQ(status, kExitUnavailable);
  EXPECT_GE(elapsed, 1200ms);
  const std::string record = ReadFile("LOG.txt");
  EXPECT_NE(record.find(" 999 "), std::string::npos) << record;
  EXPECT_NE(err.str().find("tolvex: "), std::string::npos);
  EXPECT_FALSE(fs::exists(dir / "TEMP.TXT"));
  EXPECT_TRUE(fs::exists(dir / "command.txt"));
}

// The server goes away after its greeting: no further event arrives, the
// HELO reply never comes, and the session times out in its reply wait.
TEST_F(RunFixture, ServerClosingMidSessionIsLoggedAsAFailure) {
  ScriptedServer server("127.0.0.32", 25);
  server.Serve([](Peer& p) {
    p.Send("220 hello\r\n");
    p.ReadLine();  // HELO
    p.Close();
  });
  WriteCommandFile("#HOS=127.0.0.32\r\n#TO=a@example.jp\r\n\r\nbody\r\n");
  PosixPlatform platform(Options());
  const int status = platform.Serve(dir, RunForm);
  server.Join();
  EXPECT_EQ(status, kExitUnavailable);
  EXPECT_NE(ReadFile("LOG.txt").find(" 999 "), std::string::npos);
}

// Two sends a minute (20 ms) apart reach the same server as two sessions.
TEST_F(RunFixture, RepeatedSendsReconnect) {
  ScriptedServer server("127.0.0.33", 25);
  SessionLog first, second;
  int sessions = 0;
  server.Serve([&](Peer& p) { NormalSession(p, sessions++ == 0 ? first : second); }, 2);
  WriteCommandFile("#HOS=127.0.0.33\r\n#TO=a@example.jp\r\n#MOR=2\r\n#TER=2\r\n\r\nbody\r\n");
  PosixPlatform platform(Options());
  const int status = platform.Serve(dir, RunForm);
  server.Join();
  EXPECT_EQ(status, 0) << err.str();
  EXPECT_EQ(sessions, 2);
  EXPECT_EQ(first.commands.size(), 5u);
  EXPECT_EQ(second.commands, first.commands);
  // The same message, but each send its own Message-ID (and its own Date,
  // which differs when the sends straddle a second).
  const auto without = [](std::string m) {
    for (const char* head : {"\r\nMessage-ID: <", "\r\nDate: "}) {
      const std::size_t at = m.find(head);
      EXPECT_NE(at, std::string::npos) << head;
      if (at != std::string::npos) m.erase(at + 2, m.find("\r\n", at + 2) - at);
    }
    return m;
  };
  EXPECT_EQ(without(first.data), without(second.data));
  EXPECT_NE(first.data, second.data);
  const std::string logText = ReadFile("LOG.txt");
  EXPECT_EQ(std::count(logText.begin(), logText.end(), '\n'), 2);
}

// SIGTERM while the run waits for its first send ends it with 128 + 15 and
// the same clean-up as a normal end.
TEST_F(RunFixture, SignalEndsTheRunWithCleanUp) {
  WriteCommandFile("#HOS=127.0.0.34\r\n#WAI=1000\r\n#DEL\r\n\r\nbody\r\n");
  std::ofstream(dir / "TEMP.TXT") << "left from an earlier run";
  PosixPlatform platform(Options());
  asio::steady_timer raiser(platform.Io(), 30ms);
  raiser.async_wait([](const asio::error_code& ec) {
    if (!ec) std::raise(SIGTERM);
  });
  const int status = platform.Serve(dir, RunForm);
  EXPECT_EQ(status, 128 + SIGTERM);
  EXPECT_FALSE(fs::exists(dir / "command.txt"));
  EXPECT_FALSE(fs::exists(dir / "TEMP.TXT"));
  EXPECT_FALSE(fs::exists(dir / "LOG.txt"));
}

// A start-up failure is reported on standard error and touches nothing.
TEST_F(RunFixture, MissingCommandFileIsReported) {
  PosixPlatform platform(Options());
  const int status = platform.Serve(dir, RunForm);
  EXPECT_EQ(status, kExitNoInput);
  const std::string text = err.str();
  EXPECT_EQ(text.rfind("tolvex: ", 0), 0u) << text;
  EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 1);
}

// With a terminal the captions show as one status line, ended before exit.
TEST_F(RunFixture, StatusLineFollowsTheCaption) {
  WriteCommandFile("#HOS=127.0.0.35\r\n#TER=-1\r\n\r\nbody\r\n");
  PlatformOptions o = Options();
  o.statusLine = true;
  o.tick = 100ms;
  PosixPlatform platform(o);
  asio::steady_timer raiser(platform.Io(), 50ms);
  raiser.async_wait([](const asio::error_code& ec) {
    if (!ec) std::raise(SIGINT);
  });
  EXPECT_EQ(platform.Serve(dir, RunForm), 128 + SIGINT);
  // "Tolvex(送信中)" in UTF-8, redrawn in place, then a line end at exit.
  EXPECT_NE(err.str().find("\rTolvex(\xE9\x80\x81\xE4\xBF\xA1\xE4\xB8\xAD)\x1b[K"),
            std::string::npos)
      << err.str();
  EXPECT_TRUE(err.str().ends_with("\n"));
}

}  // namespace
}  // namespace tolvex::posix::test
