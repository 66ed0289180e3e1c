// PKCE's cryptography on BCrypt, held to what every platform's Crypto must do.
#include <gtest/gtest.h>

#include "contract/crypto_contract.hpp"
#include "platform/win32/crypto.hpp"

namespace tolvex::win {
namespace {

TEST(WinCrypto, PkceDigestAndRandomBytes) {
  WinCrypto crypto;
  test::ExpectPkceCrypto(crypto);
}

}  // namespace
}  // namespace tolvex::win
