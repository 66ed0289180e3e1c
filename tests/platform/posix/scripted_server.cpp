#include "scripted_server.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <stdexcept>

namespace tolvex::posix::test {

Peer::~Peer() { Close(); }

void Peer::Close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

bool Peer::Send(std::string_view bytes) {
  while (!bytes.empty() && fd_ >= 0) {
    const ssize_t n = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (n <= 0) return false;
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return bytes.empty();
}

bool Peer::Fill(std::chrono::steady_clock::time_point until) {
  if (fd_ < 0 || eof_) return false;
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
      until - std::chrono::steady_clock::now());
  if (left.count() <= 0) return false;
  pollfd p{fd_, POLLIN, 0};
  if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) return false;
  char buf[256 * 1024];
  const ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
  if (n <= 0) {
    eof_ = true;
    return false;
  }
  pending_.append(buf, static_cast<std::size_t>(n));
  return true;
}

std::optional<std::string> Peer::ReadUntil(std::string_view terminator,
                                           std::chrono::milliseconds timeout) {
  const auto until = std::chrono::steady_clock::now() + timeout;
  std::size_t searched = 0;
  for (;;) {
    const std::size_t at = pending_.find(terminator, searched);
    if (at != std::string::npos) {
      std::string out = pending_.substr(0, at + terminator.size());
      pending_.erase(0, at + terminator.size());
      return out;
    }
    if (pending_.size() >= terminator.size()) searched = pending_.size() - terminator.size() + 1;
    if (!Fill(until)) return std::nullopt;
  }
}

bool Peer::WaitForEof(std::chrono::milliseconds timeout) {
  const auto until = std::chrono::steady_clock::now() + timeout;
  while (!eof_) {
    if (!Fill(until) && !eof_) return false;
  }
  return true;
}

ScriptedServer::ScriptedServer(const std::string& address, int port) {
  sockaddr_storage ss{};
  socklen_t len = 0;
  int family = AF_INET;
  if (address.find(':') != std::string::npos) {
    family = AF_INET6;
    auto* a = reinterpret_cast<sockaddr_in6*>(&ss);
    a->sin6_family = AF_INET6;
    a->sin6_port = htons(static_cast<std::uint16_t>(port));
    if (::inet_pton(AF_INET6, address.c_str(), &a->sin6_addr) != 1)
      throw std::runtime_error("bad address");
    len = sizeof *a;
  } else {
    auto* a = reinterpret_cast<sockaddr_in*>(&ss);
    a->sin_family = AF_INET;
    a->sin_port = htons(static_cast<std::uint16_t>(port));
    if (::inet_pton(AF_INET, address.c_str(), &a->sin_addr) != 1)
      throw std::runtime_error("bad address");
    len = sizeof *a;
  }
  listenFd_ = ::socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const int one = 1;
  ::setsockopt(listenFd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  if (::bind(listenFd_, reinterpret_cast<sockaddr*>(&ss), len) != 0 ||
      ::listen(listenFd_, 8) != 0) {
    const std::string why = std::strerror(errno);
    ::close(listenFd_);
    throw std::runtime_error("cannot listen on " + address + ": " + why);
  }
  sockaddr_storage bound{};
  socklen_t blen = sizeof bound;
  ::getsockname(listenFd_, reinterpret_cast<sockaddr*>(&bound), &blen);
  port_ = family == AF_INET6 ? ntohs(reinterpret_cast<sockaddr_in6*>(&bound)->sin6_port)
                             : ntohs(reinterpret_cast<sockaddr_in*>(&bound)->sin_port);
}

ScriptedServer::~ScriptedServer() {
  if (listenFd_ >= 0) ::shutdown(listenFd_, SHUT_RDWR);
  Join();
  if (listenFd_ >= 0) ::close(listenFd_);
}

void ScriptedServer::Serve(std::function<void(Peer&)> script, int connections) {
  thread_ = std::thread([this, script = std::move(script), connections] {
    for (int i = 0; i < connections; ++i) {
      pollfd p{listenFd_, POLLIN, 0};
      if (::poll(&p, 1, 10000) <= 0) return;  // nobody came
      const int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd < 0) return;
      Peer peer(fd);
      script(peer);
    }
  });
}

void ScriptedServer::Join() {
  if (thread_.joinable()) thread_.join();
}

bool RunUntil(asio::io_context& io, const std::function<bool()>& done,
              std::chrono::milliseconds limit) {
  const auto until = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() >= until) return false;
    if (io.stopped()) io.restart();
    io.run_one_for(5ms);
  }
  return true;
}

void RunFor(asio::io_context& io, std::chrono::milliseconds span) {
  if (io.stopped()) io.restart();
  io.run_for(span);
}

std::string ReferenceStuffing(std::string_view data) {
  static constexpr std::string_view kEnd = "\r\n.\r\n";
  std::size_t terminator = std::string_view::npos;
  if (data == ".\r\n") {
    terminator = 0;
  } else if (data.size() >= kEnd.size() && data.substr(data.size() - kEnd.size()) == kEnd) {
    terminator = data.size() - 3;
  }
  std::string out;
  for (std::size_t i = 0; i < data.size(); ++i) {
    const bool lineStart = i == 0 || (i >= 2 && data[i - 2] == '\r' && data[i - 1] == '\n');
    if (lineStart && data[i] == '.' && i != terminator) out += '.';
    out += data[i];
  }
  return out;
}

}  // namespace tolvex::posix::test
