// What the sign-in in a browser (`tolvex --login` by the authorization
// code grant with a loopback redirect) needs of the platform: random bytes
// and SHA-256 for PKCE, a listening socket on 127.0.0.1 that takes the
// browser's requests one at a time, and a way to open the browser.
// Implemented by each platform; the tests use a script.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "base/secret.hpp"

namespace tolvex {

class BrowserSignIn {
 public:
  virtual ~BrowserSignIn() = default;

  // `n` bytes from the system's cryptographic random source; false when
  // there are none.
  virtual bool RandomBytes(std::size_t n, Secret& out) = 0;
  // The 32 bytes of the SHA-256 digest of `data`.
  virtual std::string Sha256(std::string_view data) = 0;

  // Listens on 127.0.0.1 at a port the system picks. Returns the port, or
  // 0 with `error` saying why not.
  virtual int Listen(std::string& error) = 0;
  // The head of the next request made to that port (its request line and
  // header lines), waiting at most `seconds`; nullopt when none came in
  // time. The head may hold the authorization code.
  virtual std::optional<Secret> NextRequest(std::int64_t seconds) = 0;
  // Answers the request last returned with `status` and a UTF-8 HTML page,
  // then closes its connection.
  virtual void Answer(int status, std::string_view html) = 0;

  // Opens `url` in the user's browser where there is one; false when there
  // is none or it could not be started.
  virtual bool OpenBrowser(const std::string& url) = 0;
};

// For the platforms' loopback listeners alike: a request head larger than
// this is not a browser's redirect; this many connections wait for their
// request at once.
inline constexpr std::size_t kMaxRequestHead = 16 * 1024;
inline constexpr std::size_t kMaxPendingRequests = 16;

// The head has come whole (it ends with an empty line).
inline bool RequestHeadComplete(std::string_view head) {
  return head.find("\r\n\r\n") != std::string_view::npos;
}

// The HTTP response with `status` (200, 400 or 404) and the page.
inline std::string LoopbackResponse(int status, std::string_view html) {
  const char* reason = status == 200 ? "OK" : status == 400 ? "Bad Request" : "Not Found";
  std::string reply = "HTTP/1.1 " + std::to_string(status) + " " + reason +
                      "\r\nContent-Type: text/html; charset=utf-8\r\nContent-Length: " +
                      std::to_string(html.size()) +
                      "\r\nCache-Control: no-store\r\nConnection: close\r\n\r\n";
  reply += html;
  return reply;
}

}  // namespace tolvex
