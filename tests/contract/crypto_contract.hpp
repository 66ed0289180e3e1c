// What every platform's Crypto must do for PKCE: RFC 7636's example digest,
// and random bytes that differ from one call to the next.
#pragma once

#include <gtest/gtest.h>

#include "base/crypto.hpp"
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

}  // namespace tolvex::test
