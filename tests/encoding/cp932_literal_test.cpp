// The compile-time code page 932 of the program's own texts: every
// character it can write must have the code the system's code page 932
// table gives it (Utf8ToCp932Exact), and one it cannot write is refused.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <string_view>

#include "encoding/cp932_literal.hpp"
#include "encoding/source_text.hpp"
#include "hex.hpp"

namespace tolvex {
namespace {

using test::ToHex;

// ASCII as it is, a table character with the trail byte 0x5C (表), the
// katakana on either side of the row's gap at 0x7F (ミ, ム).
static_assert(std::string_view(u8"a=表ミム"_cp932) == "a=\x95\x5C\x83\x7E\x83\x80");
static_assert(cp932_literal::Covers(u8"サインインできませんでした。"));
static_assert(!cp932_literal::Covers(u8"漢"));
static_assert(!cp932_literal::Covers(u8"ゔ"));  // past ん
static_assert(!cp932_literal::Covers(u8"ヷ"));  // past ヶ

std::string Encoded(char32_t cp) {
  std::string utf8;
  utf8::Append(utf8, cp);
  return utf8;
}

void ExpectSystemCode(const cp932_literal::Code& c) {
  const std::optional<std::string> system = Utf8ToCp932Exact(Encoded(c.cp));
  ASSERT_TRUE(system.has_value()) << CodePointName(c.cp);
  EXPECT_EQ(ToHex(std::string{static_cast<char>(c.lead), static_cast<char>(c.trail)}),
            ToHex(*system))
      << CodePointName(c.cp);
}

TEST(Cp932Literal, EveryCharacterItWritesHasTheSystemsCode) {
  for (const cp932_literal::Code& c : cp932_literal::kTable) ExpectSystemCode(c);
  for (const auto& [first, last] :
       {std::pair{cp932_literal::kFirstHiragana, cp932_literal::kLastHiragana},
        std::pair{cp932_literal::kFirstKatakana, cp932_literal::kLastKatakana}}) {
    for (char32_t cp = first; cp <= last; ++cp) ExpectSystemCode(cp932_literal::Find(cp));
  }
}

TEST(Cp932Literal, TheTableHoldsEachCharacterOnceAndNoKana) {
  for (std::size_t i = 0; i < std::size(cp932_literal::kTable); ++i) {
    const char32_t cp = cp932_literal::kTable[i].cp;
    const auto within = [cp](char32_t first, char32_t last) { return cp >= first && cp <= last; };
    EXPECT_FALSE(within(cp932_literal::kFirstHiragana, cp932_literal::kLastHiragana) ||
                 within(cp932_literal::kFirstKatakana, cp932_literal::kLastKatakana))
        << CodePointName(cp) << " is counted, not looked up";
    for (std::size_t k = i + 1; k < std::size(cp932_literal::kTable); ++k) {
      EXPECT_NE(cp, cp932_literal::kTable[k].cp) << CodePointName(cp);
    }
  }
}

}  // namespace
}  // namespace tolvex
