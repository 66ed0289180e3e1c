// Stored sign-ins on Windows: the Credential Manager's generic credential
// "Tolvex:signin:<token endpoint> <client id> <user>", its blob the refresh
// token. CredWrite replaces a credential whole. A blob over
// kMaxStoredSignIn bytes is refused uncopied (the Credential Manager has
// no owner or permissions to check).
#pragma once

#include "base/sign_in_store.hpp"

namespace tolvex::win {

class CredentialSignInStore final : public SignInStore {
 public:
  StoredSignIn Load(const std::string& key) override;
  std::string Save(const std::string& key, const Secret& refreshToken) override;
};

}  // namespace tolvex::win
