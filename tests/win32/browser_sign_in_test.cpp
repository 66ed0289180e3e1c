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

TEST(WinBrowserSignIn, LoopbackTakesTheRequestThatComesWhole) {
  WinsockInit winsock;
  WinBrowserSignIn p;
  std::string error;
  const int port = p.Listen(error);
  ASSERT_GT(port, 0) << error;
  const SOCKET idle = Connect(port);  // a connection opened ahead of need
  const SOCKET used = Connect(port);
  const std::string head = "GET /?code=c&state=s HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
  ASSERT_EQ(send(used, head.data(), 10, 0), 10);
  ASSERT_EQ(send(used, head.data() + 10, static_cast<int>(head.size() - 10), 0),
            static_cast<int>(head.size() - 10));
  std::optional<Secret> got = p.NextRequest(10);
  ASSERT_TRUE(got);
  EXPECT_EQ(got->View(), head);
  p.Answer(200, "<p>ok</p>");
  std::string reply;
  char buffer[512];
  int n;
  while ((n = recv(used, buffer, sizeof buffer, 0)) > 0) reply.append(buffer, n);
  EXPECT_EQ(reply,
            "HTTP/1.1 200 OK\r\nContent-Type: text/html; charset=utf-8\r\nContent-Length: 9\r\n"
            "Cache-Control: no-store\r\nConnection: close\r\n\r\n<p>ok</p>");
  // Nothing more comes: the wait ends at its time.
  EXPECT_FALSE(p.NextRequest(1));
  closesocket(idle);
  closesocket(used);
}

TEST(WinBrowserSignIn, IdleConnectionsNeitherPushOutNorKeepOutTheBrowsers) {
  WinsockInit winsock;
  WinBrowserSignIn p;
  std::string error;
  const int port = p.Listen(error);
  ASSERT_GT(port, 0) << error;
  const auto ask = [&](SOCKET s, const std::string& head, std::int64_t within) {
    ASSERT_EQ(send(s, head.data(), static_cast<int>(head.size()), 0),
              static_cast<int>(head.size()));
    std::optional<Secret> got = p.NextRequest(within);
    ASSERT_TRUE(got);
    EXPECT_EQ(got->View(), head);
    p.Answer(400, "x");
    char buffer[64];
    const int n = recv(s, buffer, sizeof buffer, 0);
    ASSERT_GE(n, 12);
    EXPECT_EQ(std::string(buffer, 12), "HTTP/1.1 400");
  };
  // One opened before 40 idle ones and one after them: both served.
  const SOCKET before = Connect(port);
  std::vector<SOCKET> idle;
  for (int i = 0; i < 40; ++i) idle.push_back(Connect(port));
  const SOCKET after = Connect(port);
  ask(before, "GET /?error=x HTTP/1.1\r\n\r\n", 5);
  ask(after, "GET /?code=c HTTP/1.1\r\n\r\n", 5);
  // More idle ones than are kept: the newest is taken once the oldest have
  // had their 2 seconds.
  for (int i = 0; i < 2 * static_cast<int>(kMaxPendingRequests); ++i) idle.push_back(Connect(port));
  const SOCKET late = Connect(port);
  ask(late, "GET /?code=d HTTP/1.1\r\n\r\n", 8);
  for (SOCKET s : idle) closesocket(s);
  closesocket(before);
  closesocket(after);
  closesocket(late);
}

}  // namespace
}  // namespace tolvex::win
