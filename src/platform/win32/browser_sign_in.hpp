// The sign-in in a browser on Windows: a listening Winsock socket on
// 127.0.0.1 (WSAPoll), and the user's browser opened by ShellExecuteW.
// Winsock is started by the caller.
#pragma once

#include <winsock2.h>

#include <string>

#include "base/browser_sign_in.hpp"
#include "base/loopback_requests.hpp"

namespace tolvex::win {

// The listening socket and its connections as the requests are read
// (LoopbackRequests); a handle is a SOCKET.
class WinLoopbackSockets final : public LoopbackSockets {
 public:
  WinLoopbackSockets() = default;
  WinLoopbackSockets(const WinLoopbackSockets&) = delete;
  WinLoopbackSockets& operator=(const WinLoopbackSockets&) = delete;
  ~WinLoopbackSockets() override;

  std::optional<Handle> Accept() override;
  bool Wait(bool withListener, const std::vector<Handle>& connections, std::int64_t ms,
            Readiness& ready) override;
  std::int64_t Read(Handle connection, char* buffer, std::size_t size) override;
  void Close(Handle connection) override;

  SOCKET listener = INVALID_SOCKET;
};

class WinBrowserSignIn final : public BrowserSignIn {
 public:
  WinBrowserSignIn() = default;
  WinBrowserSignIn(const WinBrowserSignIn&) = delete;
  WinBrowserSignIn& operator=(const WinBrowserSignIn&) = delete;
  ~WinBrowserSignIn() override;

  int Listen(std::string& error) override;
  std::optional<Secret> NextRequest(std::int64_t seconds) override;
  void Answer(int status, std::string_view html) override;
  bool OpenBrowser(const std::string& url) override;

 private:
  WinLoopbackSockets sockets_;
  LoopbackRequests requests_{sockets_};
  SOCKET answering_ = INVALID_SOCKET;  // the connection NextRequest returned the head of
};

}  // namespace tolvex::win
