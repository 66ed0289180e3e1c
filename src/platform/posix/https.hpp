// The HTTPS client on Linux: libcurl over OpenSSL. https:// only, no
// redirects followed, the system's CAs plus the extra ones of the request,
// the host name checked, TLS 1.2 at least, bounded time-outs; given up at
// once when the stop flag is set.
#pragma once

#include <csignal>

#include "base/https.hpp"

namespace tolvex::posix {

class CurlHttps final : public Https {
 public:
  // `stop`, when given, is looked at while a request runs: non-zero gives
  // it up (the reply is `cancelled`). A signal handler may set it.
  explicit CurlHttps(const volatile std::sig_atomic_t* stop = nullptr) : stop_(stop) {}

  HttpsReply PostForm(const HttpsRequest& request) override;

 private:
  const volatile std::sig_atomic_t* stop_;
};

}  // namespace tolvex::posix
