// What the sign-in in a browser (`tolvex --login` by the authorization
// code grant with a loopback redirect) needs of the platform besides its
// cryptography (base/crypto.hpp): a listening socket on 127.0.0.1 that
// takes the browser's requests one at a time, and a way to open the
// browser. Implemented by each platform; the tests use a script.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "base/secret.hpp"

namespace tolvex {

class BrowserSignIn {
 public:
  virtual ~BrowserSignIn() = default;

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

}  // namespace tolvex
