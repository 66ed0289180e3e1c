// Random bytes, SHA-256 and RS256 signatures on Linux: OpenSSL.
#pragma once

#include "base/crypto.hpp"

namespace tolvex::posix {

class PosixCrypto final : public Crypto {
 public:
  bool RandomBytes(std::size_t n, Secret& out) override;
  std::string Sha256(std::string_view data) override;
  bool SignRs256(const Secret& pkcs8Pem, std::string_view data, std::string& signature) override;
};

}  // namespace tolvex::posix
