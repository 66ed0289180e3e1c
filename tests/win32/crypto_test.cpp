// PKCE's and a service account's cryptography on BCrypt, held to what every platform's Crypto must
// do.
#include <gtest/gtest.h>

#include "contract/crypto_contract.hpp"
#include "platform/win32/crypto.hpp"

namespace tolvex::win {
namespace {

TEST(WinCrypto, PkceDigestAndRandomBytes) {
  WinCrypto crypto;
  test::ExpectPkceCrypto(crypto);
}

TEST(WinCrypto, Rs256SignatureOfTheTestKey) {
  WinCrypto crypto;
  test::ExpectRs256Crypto(crypto);
}

}  // namespace
}  // namespace tolvex::win
