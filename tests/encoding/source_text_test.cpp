// The detection rule and the conversions between UTF-8, UTF-16 and code
// page 932.
#include "encoding/source_text.hpp"

#include <gtest/gtest.h>

#include <string>

namespace tolvex {
namespace {

// "line N: what" of a fault, "" for none.
std::string Described(const std::optional<SourceFault>& f) {
  return f ? "line " + std::to_string(f->line) + ": " + f->what : "";
}

TEST(DecodeSource, DetectionRule) {
  struct Case {
    std::string bytes;
    TextEncoding encoding;
    std::string text;
    std::string invalid;  // the file is refused
  };
  const Case cases[] = {
      {"#TO=a\r\n", TextEncoding::ShiftJis, "#TO=a\r\n", ""},  // ASCII: Shift_JIS as ever
      {"\x95\x5C\x83\x5C", TextEncoding::ShiftJis, "\x95\x5C\x83\x5C", ""},  // 表ソ
      {"\xE8\xA1\xA8", TextEncoding::Utf8, "\xE8\xA1\xA8", ""},              // 表
      {"\xEF\xBB\xBF#HOS=h", TextEncoding::Utf8Bom, "#HOS=h", ""},
      {"\xEF\xBB\xBF", TextEncoding::Utf8Bom, "", ""},
      {"\xEF\xBB\xBF"
       "a\xFF",
       TextEncoding::Utf8Bom, "a\xEF\xBF\xBD",
       "line 1: invalid UTF-8 after the UTF-8 BOM: byte 0xFF"},
      // lines end at CR LF, CR and LF; the first bad sequence is named
      {"\xEF\xBB\xBF"
       "a\r\nb\rc\nd\xC0\xAF"
       "e\xFF",
       TextEncoding::Utf8Bom,
       "a\r\nb\rc\nd\xEF\xBF\xBD\xEF\xBF\xBD"
       "e\xEF\xBF\xBD",
       "line 4: invalid UTF-8 after the UTF-8 BOM: byte 0xC0"},
      {std::string("\xFF\xFE#\0\x68\x88", 6), TextEncoding::Utf16Le, "#\xE8\xA1\xA8", ""},
      {std::string("\xFE\xFF\0#\x88\x68", 6), TextEncoding::Utf16Be, "#\xE8\xA1\xA8", ""},
      // 𠮷 as a surrogate pair; a lone surrogate and an odd last byte
      {std::string("\xFF\xFE\x42\xD8\xB7\xDF\x00\xDC\x41", 9), TextEncoding::Utf16Le,
       "\xF0\xA0\xAE\xB7\xEF\xBF\xBD", "line 1: a lone UTF-16 surrogate 0xDC00"},
      {std::string("\xFE\xFF\0\n\0\n\xD8\x00\0x", 10), TextEncoding::Utf16Be, "\n\n\xEF\xBF\xBDx",
       "line 3: a lone UTF-16 surrogate 0xD800"},
      {std::string("\xFF\xFE"
                   "a\0\r\0\n\0\x41",
                   9),
       TextEncoding::Utf16Le, "a\r\n",
       "line 2: an odd number of bytes: the last one, 0x41, is half a UTF-16 code unit"},
      // Not UTF-8: an overlong, a surrogate, a cut sequence, a stray byte
      {"\xC0\xAF", TextEncoding::ShiftJis, "\xC0\xAF", ""},
      {"\xED\xA0\x80", TextEncoding::ShiftJis, "\xED\xA0\x80", ""},
      {"\xE8\xA1", TextEncoding::ShiftJis, "\xE8\xA1", ""},
      {"\xE8\xA1\xA8\x82\xA0", TextEncoding::ShiftJis, "\xE8\xA1\xA8\x82\xA0", ""},
      // The one ambiguity: ﾃｩ in Shift_JIS is the UTF-8 of é.
      {"\xC3\xA9", TextEncoding::Utf8, "\xC3\xA9", ""},
  };
  for (const Case& c : cases) {
    const SourceText s = DecodeSource(c.bytes);
    EXPECT_EQ(s.encoding, c.encoding) << c.bytes;
    EXPECT_EQ(s.text, c.text) << c.bytes;
    EXPECT_EQ(Described(s.invalid), c.invalid) << c.bytes;
    EXPECT_EQ(s.damagedUtf8, std::nullopt) << c.bytes;
  }
}

// The damaged-UTF-8 rule: at least 8 well-formed multi-byte sequences and
// at least 4 for each byte that is no UTF-8. Only files without BOM that are
// not valid UTF-8 are looked at.
TEST(DecodeSource, DamagedUtf8IsToldFromShiftJis) {
  const std::string eight =
      "\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E\xE3\x81\xAE"
      "\xE6\x9C\xAC\xE6\x96\x87\xE3\x81\xA7\xE3\x81\x99";  // 日本語の本文です
  struct Case {
    const char* label;
    std::string bytes;
    std::string damaged;
  };
  const Case cases[] = {
      {"one stray byte", "a\r\n" + eight + "\xFF", "line 2: byte 0xFF is no UTF-8"},
      {"a cut sequence counts its bytes", eight + "\n\xE6\x97\n" + eight,
       "line 2: byte 0xE6 is no UTF-8"},
      {"two invalid bytes need 8 sequences", eight + "\xFF\xFF", "line 1: byte 0xFF is no UTF-8"},
      {"three need 12", eight + "\xFF\xFF\xFF", ""},
      {"seven sequences are too few", eight.substr(3) + "\xFF", ""},
      // 日本語の文章です。表ソ能 ｶﾀｶﾅ in code page 932
      {"Shift_JIS",
       "\x93\xFA\x96\x7B\x8C\xEA\x82\xCC\x95\xB6\x8F\xCD\x82\xC5\x82\xB7\x81\x42"
       "\x95\x5C\x83\x5C\x94\x5C \xB6\xC0\xB6\xC5",
       ""},
  };
  for (const Case& c : cases) {
    const SourceText s = DecodeSource(c.bytes);
    EXPECT_EQ(s.encoding, TextEncoding::ShiftJis) << c.label;
    EXPECT_EQ(s.text, c.bytes) << c.label;
    EXPECT_EQ(Described(s.damagedUtf8), c.damaged) << c.label;
    EXPECT_EQ(LooksLikeDamagedUtf8(c.bytes), !c.damaged.empty()) << c.label;
  }
  // With a BOM the same bytes are refused instead.
  const SourceText bom = DecodeSource("\xEF\xBB\xBF" + eight + "\xFF");
  EXPECT_EQ(Described(bom.invalid), "line 1: invalid UTF-8 after the UTF-8 BOM: byte 0xFF");
  EXPECT_EQ(bom.damagedUtf8, std::nullopt);
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
