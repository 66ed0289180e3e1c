// The sign-in in a browser on Linux: OpenSSL's random bytes and SHA-256, a
// listening socket on 127.0.0.1 (POSIX sockets and poll), and xdg-open
// when there is a graphical session (DISPLAY or WAYLAND_DISPLAY).
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "base/browser_sign_in.hpp"

namespace tolvex::posix {

class PosixBrowserSignIn final : public BrowserSignIn {
 public:
  PosixBrowserSignIn() = default;
  PosixBrowserSignIn(const PosixBrowserSignIn&) = delete;
  PosixBrowserSignIn& operator=(const PosixBrowserSignIn&) = delete;
  ~PosixBrowserSignIn() override;

  bool RandomBytes(std::size_t n, Secret& out) override;
  std::string Sha256(std::string_view data) override;
  int Listen(std::string& error) override;
  std::optional<Secret> NextRequest(std::int64_t seconds) override;
  void Answer(int status, std::string_view html) override;
  bool OpenBrowser(const std::string& url) override;

 private:
  // A connection whose request head has not all come yet: browsers open
  // some ahead of need and may never use them.
  struct Pending {
    int fd;
    Secret head;
  };
  void Drop(std::size_t i);

  int listener_ = -1;
  std::vector<Pending> pending_;
  int answering_ = -1;  // the connection NextRequest returned the head of
  pid_t opener_ = -1;
};

}  // namespace tolvex::posix
