// Where a stored sign-in (an OAuth refresh token made by `tolvex --login`)
// is kept between runs, keyed by token endpoint, client id and user: a 0600
// file on Linux, the Credential Manager on Windows. Implemented by each
// platform; the tests use a map.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "base/secret.hpp"

namespace tolvex {

// A store file (Linux) or credential (Windows) larger than this is refused
// unread: no refresh token is that long.
inline constexpr std::size_t kMaxStoredSignIn = 64 * 1024;

// What Load found under a key.
struct StoredSignIn {
  Secret token;  // the refresh token; empty when none is kept or it is refused
  // Why what is kept under the key may not be used ("" when it may, or when
  // nothing is kept): the store is open to other users, too large or
  // corrupt. One line that names the file and says what is wrong.
  std::string refused;
};

class SignInStore {
 public:
  virtual ~SignInStore() = default;
  // The refresh token kept under `key`, if any, or why it is refused.
  virtual StoredSignIn Load(const std::string& key) = 0;
  // Replaces the token kept under `key` in one step: a reader sees the old
  // token or the new one, never a part. "" when done, else why not.
  virtual std::string Save(const std::string& key, const Secret& refreshToken) = 0;
};

// "<token endpoint> <client id> <user>": neither a URL nor a client id
// holds a space, and the user comes last.
inline std::string SignInKey(std::string_view tokenUrl, std::string_view clientId,
                             std::string_view user) {
  std::string key(tokenUrl);
  key += ' ';
  key += clientId;
  key += ' ';
  key += user;
  return key;
}

}  // namespace tolvex
