// The HTTPS client the OAuth token requests and the mail APIs go through,
// implemented by each platform (libcurl on Linux, WinHTTP on Windows). One
// request at a time, blocking, bounded in time. Trust as for SMTP: the system's CAs plus the
// extra ones given, host name checked, TLS 1.2 at least, https:// only.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "base/platform.hpp"
#include "base/proxy.hpp"
#include "base/secret.hpp"

namespace tolvex {

struct HttpsRequest {
  std::string url;               // must begin with "https://"
  const Secret* form = nullptr;  // application/x-www-form-urlencoded body
  std::string caPem;             // extra trusted CA certificates (#CAF)
  int connectSeconds = 10;
  int totalSeconds = 30;  // the whole exchange, connection included
  // #PRX; null or ProxyKind::System: the system's proxy settings.
  const ProxySettings* proxy = nullptr;
};

struct HttpsReply {
  bool done = false;  // an HTTP reply came; false: `error` says why not
  long status = 0;    // its status code
  Secret body;        // its body (may hold tokens)
  std::string error;  // transport failure: refused URL, TLS, time-out …
  // With `error`: a failure that trying again will not mend (the URL, the
  // server's certificate); else it may pass (no connection, a time-out).
  bool lasting = false;
  // With `error`: the request was given up because the run is ending (a
  // signal, the window closed).
  bool cancelled = false;
  std::string retryAfter;  // the reply's Retry-After header, when it had one
};

// A request of any method to an API: the target, trust and time-outs of
// `target` (its `form` unused), header lines, a bearer token sent only in
// the Authorization header, and a body streamed from `body`, which yields
// exactly `bodyLength` bytes (none without a source).
struct HttpsCall {
  HttpsRequest target;
  std::string method = "POST";
  std::vector<std::string> headers;  // "Name: value"
  const Secret* bearer = nullptr;
  ByteSource* body = nullptr;
  std::uint64_t bodyLength = 0;
};

class Https {
 public:
  virtual ~Https() = default;
  virtual HttpsReply PostForm(const HttpsRequest& request) = 0;
  // The reply's body is kept up to 1 MiB like PostForm's.
  virtual HttpsReply Send(const HttpsCall& call) = 0;
};

// True when `url` is an https:// URL with a host: nothing else is ever
// asked for.
inline bool IsHttpsUrl(const std::string& url) {
  constexpr char kScheme[] = "https://";
  if (url.size() <= sizeof kScheme - 1) return false;
  for (std::size_t i = 0; i + 1 < sizeof kScheme; ++i) {
    char c = url[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != kScheme[i]) return false;
  }
  const char first = url[sizeof kScheme - 1];
  return first != '/' && first != ':' && first != '?' && first != '#';
}

}  // namespace tolvex
