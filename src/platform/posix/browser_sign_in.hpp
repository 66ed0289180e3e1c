// The sign-in in a browser on Linux: a listening socket on 127.0.0.1
// (POSIX sockets and poll), and xdg-open when there is a graphical session
// (DISPLAY or WAYLAND_DISPLAY).
#pragma once

#include <sys/types.h>

#include <string>

#include "base/browser_sign_in.hpp"

namespace tolvex::posix {

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
  int listener_ = -1;
  WaitingRequests<int> waiting_;
  int answering_ = -1;  // the connection NextRequest returned the head of
  pid_t opener_ = -1;
};

}  // namespace tolvex::posix
