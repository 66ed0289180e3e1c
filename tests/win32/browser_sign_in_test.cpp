// The Windows sign-in platform: the loopback port on Winsock: connections
// the browser never uses, or any local process opens and leaves idle, do
// not hold up or push out the one that brings the redirect.
#include <winsock2.h>
// after winsock2.h
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/win32/browser_sign_in.hpp"

namespace tolvex::win {
namespace {

struct WinsockInit {
  WinsockInit() {
    WSADATA d;
    WSAStartup(MAKEWORD(2, 2), &d);
  }
  ~WinsockInit() { WSACleanup(); }
};

SOCKET Connect(int port) {
  const SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<u_short>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  EXPECT_EQ(connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  return s;
}

std::string ReadAll(SOCKET s) {
  std::string got;
  char buffer[512];
  int n;
  while ((n = recv(s, buffer, sizeof buffer, 0)) > 0) got.append(buffer, n);
  return got;
}

// The loop itself is tested in virtual time (tests/app); here its sockets:
// many connections polled at once and told apart, with the listener and
// without it (the room full), heads read and answered.
TEST(WinBrowserSignIn, LoopbackServesTheBrowserAmongIdleConnections) {
  WinsockInit winsock;
  WinBrowserSignIn p;
  std::string error;
  const int port = p.Listen(error);
  ASSERT_GT(port, 0) << error;
  // Sent in two pieces; the head returned whole; the answer, read to its
  // end, returned.
  const auto ask = [&](SOCKET s, const std::string& head, std::int64_t within, int status) {
    EXPECT_EQ(send(s, head.data(), 10, 0), 10);
    EXPECT_EQ(send(s, head.data() + 10, static_cast<int>(head.size() - 10), 0),
              static_cast<int>(head.size() - 10));
    std::optional<Secret> got = p.NextRequest(within);
    if (!got) return std::string("no request");
    EXPECT_EQ(got->View(), head);
    p.Answer(status, "<p>ok</p>");
    return ReadAll(s);
  };
  // One opened before 40 idle ones and one after them: both served.
  const SOCKET before = Connect(port);
  std::vector<SOCKET> idle;
  for (int i = 0; i < 40; ++i) idle.push_back(Connect(port));
  const SOCKET after = Connect(port);
  EXPECT_EQ(ask(after, "GET /?code=c&state=s HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n", 5, 200),
            "HTTP/1.1 200 OK\r\nContent-Type: text/html; charset=utf-8\r\nContent-Length: 9\r\n"
            "Cache-Control: no-store\r\nConnection: close\r\n\r\n<p>ok</p>");
  EXPECT_EQ(ask(before, "GET /?error=x HTTP/1.1\r\n\r\n", 5, 400).substr(0, 25),
            "HTTP/1.1 400 Bad Request\r");
  // More idle ones than are kept: the newest is taken once the oldest have
  // had their 2 seconds.
  for (int i = 0; i < 2 * static_cast<int>(kMaxPendingRequests); ++i) idle.push_back(Connect(port));
  const SOCKET late = Connect(port);
  EXPECT_EQ(ask(late, "GET /?code=d HTTP/1.1\r\n\r\n", 8, 404).substr(0, 23),
            "HTTP/1.1 404 Not Found\r");
  // Nothing more comes: the wait ends at its time.
  EXPECT_FALSE(p.NextRequest(1));
  for (SOCKET s : idle) closesocket(s);
  closesocket(before);
  closesocket(after);
  closesocket(late);
}

}  // namespace
}  // namespace tolvex::win
