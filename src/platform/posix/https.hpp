// The HTTPS client on Linux: libcurl over OpenSSL. https:// only, no
// redirects followed, the system's CAs plus the extra ones of the request,
// the host name checked, TLS 1.2 at least, bounded time-outs; given up at
// once when the stop flag is set.
#pragma once

#include <csignal>
#include <string>

#include "base/https.hpp"

namespace tolvex::posix {

// The HTTPS library, named without loading it (loading it would map every
// library it pulls in): its file and the version the program was built
// against.
std::string HttpsLibraryVersion();

class CurlHttps final : public Https {
 public:
  // `stop`, when given, is looked at while a request runs: non-zero gives
  // it up (the reply is `cancelled`). A signal handler may set it.
  explicit CurlHttps(const volatile std::sig_atomic_t* stop = nullptr) : stop_(stop) {}

  HttpsReply PostForm(const HttpsRequest& request) override;
  HttpsReply Send(const HttpsCall& call) override;

 private:
  const volatile std::sig_atomic_t* stop_;
};

}  // namespace tolvex::posix
