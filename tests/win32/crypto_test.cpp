// PKCE's cryptography on BCrypt: RFC 7636's example digest, and random
// bytes that differ from one call to the next.
#include <gtest/gtest.h>

#include "oauth/code_flow.hpp"
#include "platform/win32/crypto.hpp"

namespace tolvex::win {
namespace {

TEST(WinCrypto, PkceDigestAndRandomBytes) {
  WinCrypto p;
  EXPECT_EQ(oauth::Base64Url(p.Sha256("dBjftJeZ4CVP-mB92K27uhbUJU1p1r_wW1gFWFOEjXk")),
            "E9Melhoa2OwvFrEMTJguCHaoeK1t8URWbuGJSstw-cM");
  Secret a, b;
  ASSERT_TRUE(p.RandomBytes(32, a));
  ASSERT_TRUE(p.RandomBytes(32, b));
  EXPECT_EQ(a.Size(), 32u);
  EXPECT_NE(a.View(), b.View());
}

}  // namespace
}  // namespace tolvex::win
