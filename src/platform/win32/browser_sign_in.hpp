// The sign-in in a browser on Windows: a listening Winsock socket on
// 127.0.0.1 (WSAPoll), and the user's browser opened by ShellExecuteW.
// Winsock is started by the caller.
#pragma once

#include <winsock2.h>

#include <string>

#include "base/browser_sign_in.hpp"

namespace tolvex::win {

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
  SOCKET listener_ = INVALID_SOCKET;
  WaitingRequests<SOCKET> waiting_;
  SOCKET answering_ = INVALID_SOCKET;  // the connection NextRequest returned the head of
};

}  // namespace tolvex::win
