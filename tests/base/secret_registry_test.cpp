// The run's secrets and their forms, masked in texts from outside.
#include "base/secret_registry.hpp"

#include <gtest/gtest.h>

#include <string>

namespace tolvex {
namespace {

constexpr char kToken[] = "at-Qz8~k3+/9x";

// What a peer sends back, and the text once masked. The Base64 lines are
// "user=y" ^A "auth=Bearer " token ^A ^A after 0, 1 and 2 more bytes: the
// token at each of the three alignments, only its boundary characters left.
TEST(SecretRegistry, EveryFormOfASecretIsMasked) {
  SecretRegistry known;
  known.Add(kToken, SecretRegistry::Span::Recent);
  known.Add("\x95\x5C\x83\x5C-pass");  // 表ソ-pass: trail bytes 0x5C
  known.Add("pw");                     // too short for a Base64 fragment
  known.AddSent("cHc=");               // but its LOGIN line was sent
  const struct {
    const char* text;
    const char* masked;
  } cases[] = {
      {"535 5.7.8 not accepted: at-Qz8~k3+/9x", "535 5.7.8 not accepted: ***"},
      {"535 echo of the form: client_secret=at-Qz8~k3%2B%2F9x&x=1",
       "535 echo of the form: client_secret=***&x=1"},
      {"535 5.7.8 dXNlcj15AWF1dGg9QmVhcmVyIGF0LVF6OH5rMysvOXgBAQ==",
       "535 5.7.8 dXNlcj15AWF1dGg9QmVhcmVyIG***gBAQ=="},
      {"535 5.7.8 cHVzZXI9eQFhdXRoPUJlYXJlciBhdC1Rejh+azMrLzl4AQE=",
       "535 5.7.8 cHVzZXI9eQFhdXRoPUJlYXJlciB***AQE="},
      {"535 5.7.8 cHB1c2VyPXkBYXV0aD1CZWFyZXIgYXQtUXo4fmszKy85eAEB",
       "535 5.7.8 cHB1c2VyPXkBYXV0aD1CZWFyZXIg***AEB"},
      {"twice at-Qz8~k3+/9xat-Qz8~k3+/9x", "twice ******"},
      {"x\x95\x5C\x83\x5C-pass\x95\x5C", "x***\x95\x5C"},
      // Ordinary words survive a short password; the password itself and
      // the line that was sent do not.
      {"535 pw wrong: cHc= cHcy", "535 *** wrong: *** cHcy"},
      {"250 nothing secret here", "250 nothing secret here"},
  };
  for (const auto& c : cases) {
    std::string text = c.text;
    known.Mask(text);
    EXPECT_EQ(text, c.masked) << c.text;
    EXPECT_EQ(known.Masked(c.text), c.masked);
  }
}

// A whole line that went out becomes one "***" (the longest form first),
// not the line with a hole where the token was.
TEST(SecretRegistry, SentTextMaskedWholeBeforeTheSecretInIt) {
  SecretRegistry known;
  EXPECT_TRUE(known.Empty());
  known.Add("");
  known.AddSent("");
  EXPECT_TRUE(known.Empty());
  known.Add(kToken);
  known.AddSent("dXNlcj15AWF1dGg9QmVhcmVyIGF0LVF6OH5rMysvOXgBAQ==");
  EXPECT_FALSE(known.Empty());
  EXPECT_EQ(known.Masked("535 no: dXNlcj15AWF1dGg9QmVhcmVyIGF0LVF6OH5rMysvOXgBAQ== end"),
            "535 no: *** end");
}

// Tokens are masked while they are among the last kRecent; the password
// and the client secret for the whole run.
TEST(SecretRegistry, RecentSecretsAreBoundedAndRunSecretsStay) {
  SecretRegistry known;
  known.Add("run-secret-0");
  const auto token = [](std::size_t i) { return "token-number-" + std::to_string(i); };
  for (std::size_t i = 0; i <= SecretRegistry::kRecent; ++i) {
    known.Add(token(i), SecretRegistry::Span::Recent);
  }
  EXPECT_EQ(known.Masked(token(0)), token(0));
  EXPECT_EQ(known.Masked(token(1)), "***");
  EXPECT_EQ(known.Masked(token(SecretRegistry::kRecent)), "***");
  EXPECT_EQ(known.Masked("run-secret-0"), "***");
  // A recent secret registered again for the run is kept from then on.
  known.Add(token(1), SecretRegistry::Span::Run);
  for (std::size_t i = 100; i < 100 + SecretRegistry::kRecent; ++i) {
    known.Add(token(i), SecretRegistry::Span::Recent);
  }
  EXPECT_EQ(known.Masked(token(1)), "***");
  EXPECT_EQ(known.Masked(token(2)), token(2));
}

}  // namespace
}  // namespace tolvex
