#include "platform/posix/browser_sign_in.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>

extern char** environ;

namespace tolvex::posix {
PosixBrowserSignIn::~PosixBrowserSignIn() {
  for (const auto& c : waiting_.Entries()) ::close(c.handle);
  if (answering_ >= 0) ::close(answering_);
  if (listener_ >= 0) ::close(listener_);
  // xdg-open hands the URL on and ends; one still running is left to init.
  if (opener_ > 0) ::waitpid(opener_, nullptr, WNOHANG);
}

int PosixBrowserSignIn::Listen(std::string& error) {
  // Not blocking: a connection reset before it is taken leaves accept
  // nothing to return.
  listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (listener_ < 0) {
    error = std::strerror(errno);
    return 0;
  }
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = 0;
  socklen_t size = sizeof address;
  if (::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(listener_, SOMAXCONN) != 0 ||
      ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
    error = std::strerror(errno);
    ::close(listener_);
    listener_ = -1;
    return 0;
  }
  return ntohs(address.sin_port);
}

std::optional<Secret> PosixBrowserSignIn::NextRequest(std::int64_t seconds) {
  if (answering_ >= 0) {
    ::close(answering_);
    answering_ = -1;
  }
  if (listener_ < 0) return std::nullopt;
  using Clock = std::chrono::steady_clock;
  const auto millis = [] {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now().time_since_epoch())
        .count();
  };
  const std::int64_t deadline = millis() + seconds * 1000;
  auto& entries = waiting_.Entries();
  for (;;) {
    const std::int64_t now = millis();
    for (int fd : waiting_.TakeExpired(now)) ::close(fd);
    const std::int64_t left = deadline - now;
    if (left <= 0) return std::nullopt;
    // The listener is asked only while a new connection may be taken.
    const bool taking = waiting_.MayTake(now);
    std::vector<pollfd> fds;
    if (taking) fds.push_back({listener_, POLLIN, 0});
    for (const auto& c : entries) fds.push_back({c.handle, POLLIN, 0});
    const std::size_t first = taking ? 1 : 0;
    const int ready = ::poll(fds.data(), fds.size(), static_cast<int>(waiting_.NextDue(now, left)));
    if (ready < 0 && errno != EINTR) return std::nullopt;
    if (ready <= 0) continue;
    // Read what has come first, then take a new connection.
    for (std::size_t i = fds.size(); i-- > first;) {
      if (fds[i].revents == 0) continue;
      auto& c = entries[i - first];
      char buffer[2048];
      const ssize_t got = ::recv(c.handle, buffer, sizeof buffer, 0);
      if (got <= 0 || c.head.Size() + static_cast<std::size_t>(got) > kMaxRequestHead) {
        WipeBytes(buffer, sizeof buffer);
        ::close(waiting_.Take(i - first).handle);
        continue;
      }
      c.head.Append(std::string_view(buffer, static_cast<std::size_t>(got)));
      WipeBytes(buffer, sizeof buffer);
      if (RequestHeadComplete(c.head.View())) {
        auto done = waiting_.Take(i - first);
        answering_ = done.handle;
        return done.head;
      }
    }
    if (taking && (fds[0].revents & POLLIN)) {
      const int fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd >= 0) {
        if (std::optional<int> oldest = waiting_.MakeRoom()) ::close(*oldest);
        waiting_.Add(fd, millis());
      }
    }
  }
}

void PosixBrowserSignIn::Answer(int status, std::string_view html) {
  if (answering_ < 0) return;
  const std::string reply = LoopbackResponse(status, html);
  std::string_view rest = reply;
  while (!rest.empty()) {
    const ssize_t sent = ::send(answering_, rest.data(), rest.size(), MSG_NOSIGNAL);
    if (sent < 0 && errno == EINTR) continue;
    if (sent <= 0) break;
    rest.remove_prefix(static_cast<std::size_t>(sent));
  }
  ::shutdown(answering_, SHUT_WR);
  ::close(answering_);
  answering_ = -1;
}

bool PosixBrowserSignIn::OpenBrowser(const std::string& url) {
  const char* x11 = std::getenv("DISPLAY");
  const char* wayland = std::getenv("WAYLAND_DISPLAY");
  if ((!x11 || !*x11) && (!wayland || !*wayland)) return false;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  // xdg-open's own chatter stays off the terminal the URL is printed on.
  for (int fd : {0, 1, 2}) {
    posix_spawn_file_actions_addopen(&actions, fd, "/dev/null", fd == 0 ? O_RDONLY : O_WRONLY, 0);
  }
  std::string program = "xdg-open";
  std::string argument = url;
  char* argv[] = {program.data(), argument.data(), nullptr};
  const int failed = posix_spawnp(&opener_, "xdg-open", &actions, nullptr, argv, environ);
  posix_spawn_file_actions_destroy(&actions);
  if (failed != 0) opener_ = -1;
  return failed == 0;
}

}  // namespace tolvex::posix
