// Random bytes and SHA-256 on Windows: BCrypt.
#pragma once

#include "base/crypto.hpp"

namespace tolvex::win {

class WinCrypto final : public Crypto {
 public:
  bool RandomBytes(std::size_t n, Secret& out) override;
  std::string Sha256(std::string_view data) override;
};

}  // namespace tolvex::win
