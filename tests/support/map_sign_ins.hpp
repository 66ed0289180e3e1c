// A sign-in store in memory for the OAuth and --login tests.
#pragma once

#include <map>
#include <string>

#include "base/sign_in_store.hpp"

namespace tolvex::test {

// Sign-ins kept in memory; every Load says `refusal` when it is set, and
// every Save fails with `saveError` when that is.
class MapSignIns final : public SignInStore {
 public:
  StoredSignIn Load(const std::string& key) override {
    StoredSignIn found;
    found.refused = refusal;
    const auto it = tokens.find(key);
    if (it != tokens.end() && refusal.empty()) found.token.Assign(it->second);
    return found;
  }
  std::string Save(const std::string& key, const Secret& token) override {
    if (!saveError.empty()) return saveError;
    tokens[key] = std::string(token.View());
    return {};
  }
  std::map<std::string, std::string> tokens;
  std::string saveError;
  std::string refusal;
};

}  // namespace tolvex::test
