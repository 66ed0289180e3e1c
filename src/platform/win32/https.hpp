// The HTTPS client on Windows: WinHTTP (a system DLL). https:// only, no
// redirects followed, TLS 1.2 at least, bounded time-outs; the server's
// certificate is checked by the same code as the SMTP connection's (the
// system store plus the request's CA certificates, the host name or IP
// address) before the request body is written.
#pragma once

#include <functional>
#include <utility>

#include "base/https.hpp"

namespace tolvex::win {

class WinHttps final : public Https {
 public:
  // `stop`, when given, is asked every 50 ms while a request runs on a
  // thread of its own: true gives the request up at once (the reply is
  // `cancelled`). Without it the request runs on the caller's thread.
  explicit WinHttps(std::function<bool()> stop = nullptr) : stop_(std::move(stop)) {}

  HttpsReply PostForm(const HttpsRequest& request) override;
  HttpsReply Send(const HttpsCall& call) override;

 private:
  std::function<bool()> stop_;
};

}  // namespace tolvex::win
