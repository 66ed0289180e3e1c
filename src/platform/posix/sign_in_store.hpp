// Stored sign-ins on Linux: one file per key, mode 0600, in
// $XDG_CONFIG_HOME/tolvex/ (else ~/.config/tolvex/). The file holds the key
// on its first line and the refresh token on its second; its name is a
// hash of the key. A new token is written to a fresh 0600 file that is then
// renamed over the old one. A file, or the folder, that another user owns
// or that group or others may write is refused (neither used nor mended),
// as is a file over kMaxStoredSignIn bytes, unread.
#pragma once

#include <sys/types.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "base/sign_in_store.hpp"

namespace tolvex::posix {

class FileSignInStore final : public SignInStore {
 public:
  // The folder from the environment; empty when neither variable is set.
  static std::filesystem::path DefaultFolder();
  // `owner`: the user the folder and files must belong to.
  explicit FileSignInStore(std::filesystem::path folder, uid_t owner = ::geteuid())
      : folder_(std::move(folder)), owner_(owner) {}

  StoredSignIn Load(const std::string& key) override;
  std::string Save(const std::string& key, const Secret& refreshToken) override;

  // The file a key is kept in.
  std::filesystem::path FileOf(const std::string& key) const;

 private:
  // "" when the file or folder opened as `fd` belongs to the owner, is not
  // writable by group or others and (a file) is a regular one of at most
  // kMaxStoredSignIn bytes; else why it is refused.
  std::string Refusal(int fd, const std::filesystem::path& path, bool folder) const;

  std::filesystem::path folder_;
  uid_t owner_;
};

}  // namespace tolvex::posix
