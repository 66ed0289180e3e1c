// The IBM extension characters of code page 932 in ISO-2022-JP: each one
// must come back as the same character when its JIS code is read the way
// code page 932 readers do (inverse arithmetic, then iconv's CP932).
#include <gtest/gtest.h>
#include <iconv.h>

#include <optional>
#include <string>

#include "encoding/cp932_vendor.hpp"
#include "encoding/jis_convert.hpp"
#include "hex.hpp"

namespace tolvex {
namespace {

using test::Hex;
using test::ToHex;

// UTF-8 of code page 932 bytes by iconv, nothing if they do not convert.
std::optional<std::string> Utf8(const std::string& cp932) {
  iconv_t cd = iconv_open("UTF-8", "CP932");
  if (cd == reinterpret_cast<iconv_t>(-1)) return std::nullopt;
  std::string out(cp932.size() * 4 + 4, '\0');
  char* in = const_cast<char*>(cp932.data());
  std::size_t inLeft = cp932.size();
  char* o = out.data();
  std::size_t oLeft = out.size();
  const std::size_t r = iconv(cd, &in, &inLeft, &o, &oLeft);
  iconv_close(cd);
  if (r == static_cast<std::size_t>(-1)) return std::nullopt;
  out.resize(out.size() - oLeft);
  return out;
}

// The Shift_JIS code of a JIS code, by the inverse of the arithmetic.
std::string JisToSjis(unsigned j1, unsigned j2) {
  unsigned s1 = (j1 + 1) / 2 + (j1 <= 0x5E ? 0x70 : 0xB0);
  unsigned s2 = j1 % 2 ? j2 + (j2 <= 0x5F ? 0x1F : 0x20) : j2 + 0x7E;
  return {static_cast<char>(s1), static_cast<char>(s2)};
}

TEST(IbmExtensions, EveryCharacterComesBackFromItsJisCode) {
  int checked = 0;
  for (unsigned s1 = 0xFA; s1 <= 0xFC; ++s1) {
    for (unsigned s2 = 0x40; s2 <= 0xFC; ++s2) {
      if (s2 == 0x7F || (s1 == 0xFC && s2 > 0x4B)) continue;
      const std::string sjis{static_cast<char>(s1), static_cast<char>(s2)};
      const std::string jis = SjisToJis(sjis);
      ASSERT_EQ(jis.size(), 5u) << ToHex(sjis);
      ASSERT_EQ(jis.substr(0, 3), "\x1B$B");
      const auto j1 = static_cast<unsigned char>(jis[3]);
      const auto j2 = static_cast<unsigned char>(jis[4]);
      ASSERT_TRUE(j1 >= 0x21 && j1 <= 0x7E && j2 >= 0x21 && j2 <= 0x7E) << ToHex(jis);
      EXPECT_NE(ToHex(jis), "1B 24 42 22 2E") << ToHex(sjis) << " became the geta mark";
      // Not back into the IBM rows (JIS 115-119 do not exist in 94 x 94).
      const std::string back = JisToSjis(j1, j2);
      EXPECT_LT(static_cast<unsigned char>(back[0]), 0xF0) << ToHex(sjis);
      const std::optional<std::string> want = Utf8(sjis);
      ASSERT_TRUE(want) << ToHex(sjis);
      EXPECT_EQ(Utf8(back), want) << ToHex(sjis) << " -> " << ToHex(jis) << " -> " << ToHex(back);
      ++checked;
    }
  }
  EXPECT_EQ(checked, 388);
}

TEST(IbmExtensions, TwinsPreferJisX0208ThenNecRow13) {
  // 髙 FBFC is the NEC-selected EEE0: JIS row 92.
  EXPECT_EQ(ToHex(SjisToJis(Hex("FB FC"))), ToHex(SjisToJis(Hex("EE E0"))));
  EXPECT_EQ(ToHex(SjisToJis(Hex("FB FC"))), "1B 24 42 7C 62");
  // ¬ FA54 and ∵ FA5B are JIS X 0208 (81CA, 81E6).
  EXPECT_EQ(ToHex(SjisToJis(Hex("FA 54 FA 5B"))), "1B 24 42 22 4C 22 68");
  // ㈱ FA58, № FA59, ℡ FA5A and Ⅰ FA4A are NEC row 13.
  EXPECT_EQ(ToHex(SjisToJis(Hex("FA 58 FA 59 FA 5A FA 4A"))), "1B 24 42 2D 6A 2D 62 2D 64 2D 35");
  // ⅰ FA40 exists only among the NEC-selected extensions (EEEF).
  EXPECT_EQ(ToHex(SjisToJis(Hex("FA 40"))), ToHex(SjisToJis(Hex("EE EF"))));
  EXPECT_EQ(cp932::IbmTwin(0xFA, 0x40), 0xEEEF);
  EXPECT_EQ(cp932::IbmTwin(0xFC, 0x4B), 0xEEEC);
  EXPECT_EQ(cp932::IbmTwin(0xFC, 0x4C), 0);
  EXPECT_EQ(cp932::IbmTwin(0xFA, 0x7F), 0);
}

TEST(IbmExtensions, NecRow13AndTheOtherAreasKeepTheirCodes) {
  // ① 8740 and ㈱ 878A: JIS row 13 as before.
  EXPECT_EQ(ToHex(SjisToJis(Hex("87 40 87 8A"))), "1B 24 42 2D 21 2D 6A");
  // The user-defined area and the codes after FC4B: the geta mark.
  EXPECT_EQ(ToHex(SjisToJis(Hex("F0 40 F9 FC FC 4C FC FC"))), "1B 24 42 22 2E 22 2E 22 2E 22 2E");
  // 髙橋 between one-byte text: the shift state is kept as before.
  EXPECT_EQ(ToHex(SjisToJis(Hex("41 FB FC 8B B4 42"))), "41 1B 24 42 7C 62 36 36 1B 28 4A 42");
  // An IBM lead byte without a trail byte is still a stray lead byte.
  EXPECT_EQ(ToHex(SjisToJis(Hex("FA 0D 0A"))), "1B 24 42 22 2E 1B 28 4A 0D 0A");
}

}  // namespace
}  // namespace tolvex
