// The Linux sign-in platform: the loopback port on real sockets:
// connections the browser never uses, or any local process opens and
// leaves idle, do not hold up or push out the one that brings the redirect.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "platform/posix/browser_sign_in.hpp"

namespace tolvex::posix {
namespace {

int Connect(int port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<std::uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  EXPECT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  return fd;
}

std::string ReadAll(int fd) {
  std::string got;
  char buffer[512];
  ssize_t n;
  while ((n = ::recv(fd, buffer, sizeof buffer, 0)) > 0) got.append(buffer, n);
  return got;
}

TEST(PosixBrowserSignIn, LoopbackTakesTheRequestThatComesWhole) {
  PosixBrowserSignIn p;
  std::string error;
  const int port = p.Listen(error);
  ASSERT_GT(port, 0) << error;
  const int idle = Connect(port);  // a connection opened ahead of need
  const int used = Connect(port);
  const std::string head = "GET /?code=c&state=s HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
  ASSERT_EQ(::send(used, head.data(), 10, 0), 10);
  ASSERT_EQ(::send(used, head.data() + 10, head.size() - 10, 0),
            static_cast<ssize_t>(head.size() - 10));
  std::optional<Secret> got = p.NextRequest(10);
  ASSERT_TRUE(got);
  EXPECT_EQ(got->View(), head);
  p.Answer(200, "<p>ok</p>");
  EXPECT_EQ(ReadAll(used),
            "HTTP/1.1 200 OK\r\nContent-Type: text/html; charset=utf-8\r\nContent-Length: 9\r\n"
            "Cache-Control: no-store\r\nConnection: close\r\n\r\n<p>ok</p>");
  // Nothing more comes: the wait ends at its time.
  EXPECT_FALSE(p.NextRequest(1));
  ::close(idle);
  ::close(used);
}

TEST(PosixBrowserSignIn, IdleConnectionsNeitherPushOutNorKeepOutTheBrowsers) {
  PosixBrowserSignIn p;
  std::string error;
  const int port = p.Listen(error);
  ASSERT_GT(port, 0) << error;
  const auto ask = [&](int fd, const std::string& head, std::int64_t within) {
    ASSERT_EQ(::send(fd, head.data(), head.size(), 0), static_cast<ssize_t>(head.size()));
    std::optional<Secret> got = p.NextRequest(within);
    ASSERT_TRUE(got);
    EXPECT_EQ(got->View(), head);
    p.Answer(400, "x");
    EXPECT_EQ(ReadAll(fd).substr(0, 12), "HTTP/1.1 400");
  };
  // One opened before 40 idle ones and one after them: both served.
  const int before = Connect(port);
  std::vector<int> idle;
  for (int i = 0; i < 40; ++i) idle.push_back(Connect(port));
  const int after = Connect(port);
  ask(before, "GET /?error=x HTTP/1.1\r\n\r\n", 5);
  ask(after, "GET /?code=c HTTP/1.1\r\n\r\n", 5);
  // More idle ones than are kept: the newest is taken once the oldest have
  // had their 2 seconds.
  for (int i = 0; i < 2 * static_cast<int>(kMaxPendingRequests); ++i) idle.push_back(Connect(port));
  const int late = Connect(port);
  ask(late, "GET /?code=d HTTP/1.1\r\n\r\n", 8);
  for (int fd : idle) ::close(fd);
  ::close(before);
  ::close(after);
  ::close(late);
}

}  // namespace
}  // namespace tolvex::posix
