// The HTTPS client on Linux: libcurl over OpenSSL. https:// only, no
// redirects followed, the system's CAs plus the extra ones of the request,
// the host name checked, TLS 1.2 at least, bounded time-outs.
#pragma once

#include "base/https.hpp"

namespace tolvex::posix {

class CurlHttps final : public Https {
 public:
  HttpsReply PostForm(const HttpsRequest& request) override;
  std::int64_t NowSeconds() override;
};

}  // namespace tolvex::posix
