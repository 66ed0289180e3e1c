// Stored sign-ins on Linux: one file per key, mode 0600, in
// $XDG_CONFIG_HOME/tolvex/ (else ~/.config/tolvex/). The file holds the key
// on its first line and the refresh token on its second; its name is a
// hash of the key. A new token is written to a fresh 0600 file that is then
// renamed over the old one.
#pragma once

#include <filesystem>
#include <optional>
#include <string>

#include "base/sign_in_store.hpp"

namespace tolvex::posix {

class FileSignInStore final : public SignInStore {
 public:
  // The folder from the environment; empty when neither variable is set.
  static std::filesystem::path DefaultFolder();
  explicit FileSignInStore(std::filesystem::path folder) : folder_(std::move(folder)) {}

  std::optional<Secret> Load(const std::string& key) override;
  std::string Save(const std::string& key, const Secret& refreshToken) override;
  std::string LoadProblem() const override { return problem_; }

  // The file a key is kept in.
  std::filesystem::path FileOf(const std::string& key) const;

 private:
  std::filesystem::path folder_;
  std::string problem_;  // of the last Load
};

}  // namespace tolvex::posix
