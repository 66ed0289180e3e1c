// PKCE's cryptography on OpenSSL, held to what every platform's Crypto must do.
#include <gtest/gtest.h>

#include "contract/crypto_contract.hpp"
#include "platform/posix/crypto.hpp"

namespace tolvex::posix {
namespace {

TEST(PosixCrypto, PkceDigestAndRandomBytes) {
  PosixCrypto crypto;
  test::ExpectPkceCrypto(crypto);
}

}  // namespace
}  // namespace tolvex::posix
