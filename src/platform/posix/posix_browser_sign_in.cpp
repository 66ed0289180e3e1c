#include "platform/posix/posix_browser_sign_in.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <openssl/rand.h>
#include <openssl/sha.h>
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
  while (!pending_.empty()) Drop(pending_.size() - 1);
  if (answering_ >= 0) ::close(answering_);
  if (listener_ >= 0) ::close(listener_);
  // xdg-open hands the URL on and ends; one still running is left to init.
  if (opener_ > 0) ::waitpid(opener_, nullptr, WNOHANG);
}

bool PosixBrowserSignIn::RandomBytes(std::size_t n, Secret& out) {
  std::string bytes(n, '\0');
  const bool ok = RAND_bytes(reinterpret_cast<unsigned char*>(bytes.data()),
                             static_cast<int>(bytes.size())) == 1;
  if (ok) out.Assign(bytes);
  WipeString(bytes);
  return ok;
}

std::string PosixBrowserSignIn::Sha256(std::string_view data) {
  unsigned char digest[SHA256_DIGEST_LENGTH];
  SHA256(reinterpret_cast<const unsigned char*>(data.data()), data.size(), digest);
  return std::string(reinterpret_cast<const char*>(digest), sizeof digest);
}

int PosixBrowserSignIn::Listen(std::string& error) {
  listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
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
      ::listen(listener_, 16) != 0 ||
      ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
    error = std::strerror(errno);
    ::close(listener_);
    listener_ = -1;
    return 0;
  }
  return ntohs(address.sin_port);
}

void PosixBrowserSignIn::Drop(std::size_t i) {
  ::close(pending_[i].fd);
  pending_.erase(pending_.begin() + static_cast<std::ptrdiff_t>(i));
}

std::optional<Secret> PosixBrowserSignIn::NextRequest(std::int64_t seconds) {
  if (answering_ >= 0) {
    ::close(answering_);
    answering_ = -1;
  }
  if (listener_ < 0) return std::nullopt;
  using Clock = std::chrono::steady_clock;
  const Clock::time_point deadline = Clock::now() + std::chrono::seconds(seconds);
  for (;;) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) return std::nullopt;
    std::vector<pollfd> fds;
    fds.push_back({listener_, POLLIN, 0});
    for (const Pending& c : pending_) fds.push_back({c.fd, POLLIN, 0});
    const int ready = ::poll(fds.data(), fds.size(), static_cast<int>(left));
    if (ready < 0 && errno != EINTR) return std::nullopt;
    if (ready <= 0) continue;
    // Read what has come first, then take new connections.
    for (std::size_t i = fds.size() - 1; i >= 1; --i) {
      if (fds[i].revents == 0) continue;
      Pending& c = pending_[i - 1];
      char buffer[2048];
      const ssize_t got = ::recv(c.fd, buffer, sizeof buffer, 0);
      if (got <= 0 || c.head.Size() + static_cast<std::size_t>(got) > kMaxRequestHead) {
        WipeBytes(buffer, sizeof buffer);
        Drop(i - 1);
        continue;
      }
      c.head.Append(std::string_view(buffer, static_cast<std::size_t>(got)));
      WipeBytes(buffer, sizeof buffer);
      if (RequestHeadComplete(c.head.View())) {
        answering_ = c.fd;
        Secret head = c.head;
        pending_.erase(pending_.begin() + static_cast<std::ptrdiff_t>(i - 1));
        return head;
      }
    }
    if (fds[0].revents & POLLIN) {
      const int fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd >= 0) {
        if (pending_.size() == kMaxPendingRequests) Drop(0);
        pending_.push_back(Pending{fd, Secret()});
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
