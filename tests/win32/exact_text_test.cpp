// The exact code page 932 to UTF-8 conversion with Windows' own table, as
// the composer uses it for attachment names.
#include <gtest/gtest.h>

#include "base/text_convert.hpp"

namespace tolvex {
namespace {

TEST(Cp932ToUtf8ExactTest, VendorAndFullWidthCharactersConvertExactly) {
  // 髙 (IBM FBFC and NEC-selected EEE0), ① 8740, ㈱ (NEC 878A, IBM FA58).
  EXPECT_EQ(Cp932ToUtf8Exact("\xFB\xFC\xEE\xE0\x87\x40\x87\x8A\xFA\x58"),
            "\xE9\xAB\x99\xE9\xAB\x99\xE2\x91\xA0\xE3\x88\xB1\xE3\x88\xB1");
  // ～ U+FF5E, － U+FF0D, ＼ U+FF3C, 表 (trail byte 5C), half-width ｱ.
  EXPECT_EQ(Cp932ToUtf8Exact("\x81\x60\x81\x7C\x81\x5F\x95\x5C\xB1\\~"),
            "\xEF\xBD\x9E\xEF\xBC\x8D\xEF\xBC\xBC\xE8\xA1\xA8\xEF\xBD\xB1\\~");
  EXPECT_EQ(Cp932ToUtf8Exact(""), "");
}

TEST(Cp932ToUtf8ExactTest, ReportsBytesThatAreNoCharacter) {
  EXPECT_EQ(Cp932ToUtf8Exact("ab\x82"), std::nullopt);        // lead byte at the end
  EXPECT_EQ(Cp932ToUtf8Exact("\x85\x40"), std::nullopt);      // unassigned code
  EXPECT_EQ(Cp932ToUtf8Exact("\x82\x0D\x0A"), std::nullopt);  // lead byte before CR
}

}  // namespace
}  // namespace tolvex
