// What every platform's Crypto must do: for PKCE, RFC 7636's example digest
// and random bytes that differ from one call to the next; for a service
// account, the RS256 signature of the test key, byte for byte, and a key
// that is no unencrypted PKCS#8 RSA key refused.
#pragma once

#include <gtest/gtest.h>

#include "base/crypto.hpp"
#include "contract/rs256_test_key.hpp"
#include "oauth/code_flow.hpp"

namespace tolvex::test {

inline void ExpectPkceCrypto(Crypto& crypto) {
  EXPECT_EQ(oauth::Base64Url(crypto.Sha256("dBjftJeZ4CVP-mB92K27uhbUJU1p1r_wW1gFWFOEjXk")),
            "E9Melhoa2OwvFrEMTJguCHaoeK1t8URWbuGJSstw-cM");
  Secret a, b;
  ASSERT_TRUE(crypto.RandomBytes(32, a));
  ASSERT_TRUE(crypto.RandomBytes(32, b));
  EXPECT_EQ(a.Size(), 32u);
  EXPECT_NE(a.View(), b.View());
}

inline void ExpectRs256Crypto(Crypto& crypto) {
  std::string signature;
  ASSERT_TRUE(crypto.SignRs256(Secret(kRs256TestKey), kRs256Input, signature));
  EXPECT_EQ(oauth::Base64Url(signature), kRs256Signature);
  // The public half, PKCS#1's "RSA PRIVATE KEY", a damaged body, nothing.
  std::string damaged = kRs256TestKey;
  damaged.replace(damaged.find("\n") + 1, 8, "AAAAAAAA");
  std::string pkcs1 = kRs256TestKey;
  pkcs1.replace(pkcs1.find("PRIVATE"), 7, "RSA PRIVATE");
  for (const std::string& key : {std::string(kRs256TestPublicKey), pkcs1, damaged, std::string()}) {
    signature = "left over";
    EXPECT_FALSE(crypto.SignRs256(Secret(key), kRs256Input, signature)) << key;
    EXPECT_EQ(signature, "");
  }
}

}  // namespace tolvex::test
