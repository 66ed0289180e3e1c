// The HTTPS client on Windows: WinHTTP (a system DLL). https:// only, no
// redirects followed, TLS 1.2 at least, bounded time-outs; the server's
// certificate is checked by the same code as the SMTP connection's (the
// system store plus the request's CA certificates, the host name or IP
// address) before the request body is written.
#pragma once

#include "base/https.hpp"

namespace tolvex::win {

class WinHttps final : public Https {
 public:
  HttpsReply PostForm(const HttpsRequest& request) override;
  std::int64_t NowSeconds() override;
};

}  // namespace tolvex::win
