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
#include <cstdlib>
#include <cstring>

extern char** environ;

namespace tolvex::posix {
PosixLoopbackSockets::~PosixLoopbackSockets() {
  if (listener >= 0) ::close(listener);
}

std::optional<LoopbackSockets::Handle> PosixLoopbackSockets::Accept() {
  const int fd = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
  if (fd < 0) return std::nullopt;
  return static_cast<Handle>(fd);
}

bool PosixLoopbackSockets::Wait(bool withListener, const std::vector<Handle>& connections,
                                std::int64_t ms, Readiness& ready) {
  std::vector<pollfd> fds;
  if (withListener) fds.push_back({listener, POLLIN, 0});
  for (Handle c : connections) fds.push_back({static_cast<int>(c), POLLIN, 0});
  if (::poll(fds.data(), fds.size(), static_cast<int>(ms)) < 0) return errno == EINTR;
  const std::size_t first = withListener ? 1 : 0;
  ready.listener = withListener && (fds[0].revents & POLLIN);
  for (std::size_t i = first; i < fds.size(); ++i)
    ready.connections[i - first] = fds[i].revents != 0;
  return true;
}

std::int64_t PosixLoopbackSockets::Read(Handle connection, char* buffer, std::size_t size) {
  return ::recv(static_cast<int>(connection), buffer, size, 0);
}

void PosixLoopbackSockets::Close(Handle connection) { ::close(static_cast<int>(connection)); }

PosixBrowserSignIn::~PosixBrowserSignIn() {
  if (answering_ >= 0) ::close(answering_);
  // xdg-open hands the URL on and ends; one still running is left to init.
  if (opener_ > 0) ::waitpid(opener_, nullptr, WNOHANG);
}

int PosixBrowserSignIn::Listen(std::string& error) {
  // Not blocking: a connection reset before it is taken leaves accept
  // nothing to return.
  sockets_.listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (sockets_.listener < 0) {
    error = std::strerror(errno);
    return 0;
  }
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = 0;
  socklen_t size = sizeof address;
  if (::bind(sockets_.listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(sockets_.listener, SOMAXCONN) != 0 ||
      ::getsockname(sockets_.listener, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
    error = std::strerror(errno);
    ::close(sockets_.listener);
    sockets_.listener = -1;
    return 0;
  }
  return ntohs(address.sin_port);
}

std::optional<Secret> PosixBrowserSignIn::NextRequest(std::int64_t seconds) {
  if (answering_ >= 0) {
    ::close(answering_);
    answering_ = -1;
  }
  if (sockets_.listener < 0) return std::nullopt;
  std::optional<LoopbackRequests::Request> request = requests_.Next(seconds);
  if (!request) return std::nullopt;
  answering_ = static_cast<int>(request->connection);
  return std::move(request->head);
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
