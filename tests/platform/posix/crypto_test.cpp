// PKCE's and a service account's cryptography on OpenSSL, held to what every platform's Crypto must
// do.
#include <gtest/gtest.h>

#include "contract/crypto_contract.hpp"
#include "platform/posix/crypto.hpp"

namespace tolvex::posix {
namespace {

TEST(PosixCrypto, PkceDigestAndRandomBytes) {
  PosixCrypto crypto;
  test::ExpectPkceCrypto(crypto);
}

TEST(PosixCrypto, Rs256SignatureOfTheTestKey) {
  PosixCrypto crypto;
  test::ExpectRs256Crypto(crypto);
}

}  // namespace
}  // namespace tolvex::posix
