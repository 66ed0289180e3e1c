// Where a stored sign-in (an OAuth refresh token made by `tolvex --login`)
// is kept between runs, keyed by token endpoint, client id and user: a 0600
// file on Linux, the Credential Manager on Windows. Implemented by each
// platform; the tests use a map.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "base/secret.hpp"

namespace tolvex {

class SignInStore {
 public:
  virtual ~SignInStore() = default;
  // The refresh token kept under `key`, if any.
  virtual std::optional<Secret> Load(const std::string& key) = 0;
  // Replaces the token kept under `key` in one step: a reader sees the old
  // token or the new one, never a part. "" when done, else why not.
  virtual std::string Save(const std::string& key, const Secret& refreshToken) = 0;
  // After a Load that gave nothing: why, when something is kept under the
  // key that cannot be used ("the sign-in store file … is corrupt"); ""
  // when nothing is kept there.
  virtual std::string LoadProblem() const { return {}; }
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
