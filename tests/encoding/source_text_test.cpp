// The detection rule and the conversions between UTF-8, UTF-16 and code
// page 932.
#include "encoding/source_text.hpp"

#include <gtest/gtest.h>

#include <string>

namespace tolvex {
namespace {

TEST(DecodeSource, DetectionRule) {
  struct Case {
    std::string bytes;
    TextEncoding encoding;
    std::string text;
  };
  const Case cases[] = {
      {"#TO=a\r\n", TextEncoding::ShiftJis, "#TO=a\r\n"},                // ASCII: Shift_JIS as ever
      {"\x95\x5C\x83\x5C", TextEncoding::ShiftJis, "\x95\x5C\x83\x5C"},  // 表ソ
      {"\xE8\xA1\xA8", TextEncoding::Utf8, "\xE8\xA1\xA8"},              // 表
      {"\xEF\xBB\xBF#HOS=h", TextEncoding::Utf8Bom, "#HOS=h"},
      {"\xEF\xBB\xBF", TextEncoding::Utf8Bom, ""},
      {"\xEF\xBB\xBF"
       "a\xFF",
       TextEncoding::Utf8Bom, "a\xEF\xBF\xBD"},
      {std::string("\xFF\xFE#\0\x68\x88", 6), TextEncoding::Utf16Le, "#\xE8\xA1\xA8"},
      {std::string("\xFE\xFF\0#\x88\x68", 6), TextEncoding::Utf16Be, "#\xE8\xA1\xA8"},
      // 𠮷 as a surrogate pair; a lone surrogate and an odd last byte
      {std::string("\xFF\xFE\x42\xD8\xB7\xDF\x00\xDC\x41", 9), TextEncoding::Utf16Le,
       "\xF0\xA0\xAE\xB7\xEF\xBF\xBD"},
      // Not UTF-8: an overlong, a surrogate, a cut sequence, a stray byte
      {"\xC0\xAF", TextEncoding::ShiftJis, "\xC0\xAF"},
      {"\xED\xA0\x80", TextEncoding::ShiftJis, "\xED\xA0\x80"},
      {"\xE8\xA1", TextEncoding::ShiftJis, "\xE8\xA1"},
      {"\xE8\xA1\xA8\x82\xA0", TextEncoding::ShiftJis, "\xE8\xA1\xA8\x82\xA0"},
      // The one ambiguity: ﾃｩ in Shift_JIS is the UTF-8 of é.
      {"\xC3\xA9", TextEncoding::Utf8, "\xC3\xA9"},
  };
  for (const Case& c : cases) {
    const SourceText s = DecodeSource(c.bytes);
    EXPECT_EQ(s.encoding, c.encoding) << c.bytes;
    EXPECT_EQ(s.text, c.text) << c.bytes;
  }
}

TEST(Utf8ToCp932, ExactLossyAndTheLowerTwin) {
  EXPECT_EQ(Utf8ToCp932Exact("\xE8\xA1\xA8\xE3\x82\xBD"), "\x95\x5C\x83\x5C");  // 表ソ
  EXPECT_EQ(Utf8ToCp932Exact("\xEF\xBD\xB6"), "\xB6");                          // ｶ
  EXPECT_EQ(Utf8ToCp932Exact("\xE2\x88\xB5"), "\x81\xE6");        // ∵: JIS X 0208, not NEC row 13
  EXPECT_EQ(Utf8ToCp932Exact("\xE2\x91\xA0"), "\x87\x40");        // ①
  EXPECT_EQ(Utf8ToCp932Exact("\xF0\x9F\x98\x80"), std::nullopt);  // 😀
  std::size_t lost = 0;
  EXPECT_EQ(Utf8ToCp932("a\xF0\x9F\x98\x80\xF0\xA0\xAE\xB7", lost), "a\x81\xAC\x81\xAC");
  EXPECT_EQ(lost, 2u);
}

TEST(FirstNonJis0208, OnlyAsciiAndJisX0208Pass) {
  EXPECT_EQ(FirstNonJis0208("abc\x95\x5C\x81\xE6\xEA\xA4"), std::string_view::npos);
  EXPECT_EQ(FirstNonJis0208("a\xB6"), 1u);             // half-width kana
  EXPECT_EQ(FirstNonJis0208("\x95\x5C\x87\x40"), 2u);  // NEC row 13
  EXPECT_EQ(FirstNonJis0208("\xFB\xFC"), 0u);          // IBM extension 髙
  EXPECT_EQ(FirstNonJis0208("\xED\x40"), 0u);          // NEC-selected IBM extension
  EXPECT_EQ(FirstNonJis0208("\xF0\x40"), 0u);          // user-defined
}

}  // namespace
}  // namespace tolvex
