// The sign-in in a browser on Linux: a listening socket on 127.0.0.1
// (POSIX sockets and poll), and xdg-open when there is a graphical session
// (DISPLAY or WAYLAND_DISPLAY).
#pragma once

#include <sys/types.h>

#include <string>

#include "base/browser_sign_in.hpp"
#include "base/loopback_requests.hpp"

namespace tolvex::posix {

// The listening socket and its connections as the requests are read
// (LoopbackRequests); a handle is a file descriptor.
class PosixLoopbackSockets final : public LoopbackSockets {
 public:
  PosixLoopbackSockets() = default;
  PosixLoopbackSockets(const PosixLoopbackSockets&) = delete;
  PosixLoopbackSockets& operator=(const PosixLoopbackSockets&) = delete;
  ~PosixLoopbackSockets() override;

  std::optional<Handle> Accept() override;
  bool Wait(bool withListener, const std::vector<Handle>& connections, std::int64_t ms,
            Readiness& ready) override;
  std::int64_t Read(Handle connection, char* buffer, std::size_t size) override;
  void Close(Handle connection) override;

  int listener = -1;
};

class PosixBrowserSignIn final : public BrowserSignIn {
 public:
  PosixBrowserSignIn() = default;
  PosixBrowserSignIn(const PosixBrowserSignIn&) = delete;
  PosixBrowserSignIn& operator=(const PosixBrowserSignIn&) = delete;
  ~PosixBrowserSignIn() override;

  int Listen(std::string& error) override;
  std::optional<Secret> NextRequest(std::int64_t seconds) override;
  void Answer(int status, std::string_view html) override;
  bool OpenBrowser(const std::string& url) override;

 private:
  PosixLoopbackSockets sockets_;
  LoopbackRequests requests_{sockets_};
  int answering_ = -1;  // the connection NextRequest returned the head of
  pid_t opener_ = -1;
};

}  // namespace tolvex::posix
