// The cryptography the sign-in in a browser needs of the platform: random
// bytes and SHA-256, for PKCE's verifier, challenge and state.
// Implemented by each platform; the tests use fixed bytes.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "base/secret.hpp"

namespace tolvex {

class Crypto {
 public:
  virtual ~Crypto() = default;

  // `n` bytes from the system's cryptographic random source; false when
  // there are none.
  virtual bool RandomBytes(std::size_t n, Secret& out) = 0;
  // The 32 bytes of the SHA-256 digest of `data`.
  virtual std::string Sha256(std::string_view data) = 0;
};

}  // namespace tolvex
