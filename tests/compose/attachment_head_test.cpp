// Attachment names in the part header: ASCII names unchanged, Japanese
// names as ISO-2022-JP encoded words and as RFC 2231 UTF-8, and the exact
// code page 932 to UTF-8 conversion behind the latter.
#include "compose/attachment_head.hpp"

#include <gtest/gtest.h>

#include <string>

#include "base/text_convert.hpp"
#include "compose/header_words.hpp"

namespace tolvex {
namespace {

TEST(AttachmentHead, AsciiNameIsWrittenAsBefore) {
  EXPECT_EQ(AttachmentTypeLines("data.csv"),
            "Content-Type: application/octet-stream; name=\"data.csv\"\r\n");
  const std::string longName(120, 'x');
  EXPECT_EQ(AttachmentTypeLines(longName),
            "Content-Type: application/octet-stream; name=\"" + longName + "\"\r\n");
}

TEST(AttachmentHead, QuoteOrBackslashCannotEndTheParameter) {
  EXPECT_EQ(AttachmentTypeLines("a\"; filename=\"evil.exe"),
            "Content-Type: application/octet-stream; name=\"a\\\"; filename=\\\"evil.exe\"\r\n"
            "Content-Disposition: attachment;\r\n"
            " filename*=UTF-8''a%22%3B%20filename%3D%22evil.exe\r\n");
  EXPECT_EQ(AttachmentTypeLines("x\\"),
            "Content-Type: application/octet-stream; name=\"x\\\\\"\r\n"
            "Content-Disposition: attachment; filename*=UTF-8''x%5C\r\n");
}

TEST(AttachmentHead, NameWithBackslashTrailBytes) {
  // 表ソ.txt: the second bytes of 表 and ソ are 0x5C.
  EXPECT_EQ(AttachmentTypeLines("\x95\x5C\x83\x5C.txt"),
            "Content-Type: application/octet-stream;\r\n"
            " name=\"=?ISO-2022-JP?B?GyRCST0lPRsoSi50eHQ=?=\"\r\n"
            "Content-Disposition: attachment; filename*=UTF-8''%E8%A1%A8%E3%82%BD.txt\r\n");
}

TEST(AttachmentHead, LongNameFoldsBothParameters) {
  // ソフト開発部の表計算データ二〇二六年度第三四半期最終版.xlsx
  const std::string name =
      "\x83\x5C\x83\x74\x83\x67\x8A\x4A\x94\xAD\x95\x94\x82\xCC\x95\x5C\x8C\x76\x8E\x5A\x83\x66"
      "\x81\x5B\x83\x5E\x93\xF1\x81\x5A\x93\xF1\x98\x5A\x94\x4E\x93\x78\x91\xE6\x8E\x4F\x8E\x6C"
      "\x94\xBC\x8A\xFA\x8D\xC5\x8F\x49\x94\xC5.xlsx";
  EXPECT_EQ(AttachmentTypeLines(name),
            "Content-Type: application/octet-stream;\r\n"
            " name=\"=?ISO-2022-JP?B?GyRCJT0lVSVIMytIL0l0JE5JPTdXOzslRyE8JT9GcyE7GyhK?=\r\n"
            " =?ISO-2022-JP?B?GyRCRnNPO0cvRVlCaDswO01IPjR8Okc9KkhHGyhKLnhsc3g=?=\"\r\n"
            "Content-Disposition: attachment;\r\n"
            " filename*0*=UTF-8''%E3%82%BD%E3%83%95%E3%83%88%E9%96%8B%E7%99%BA%E9%83%A8;\r\n"
            " filename*1*=%E3%81%AE%E8%A1%A8%E8%A8%88%E7%AE%97%E3%83%87%E3%83%BC;\r\n"
            " filename*2*=%E3%82%BF%E4%BA%8C%E3%80%87%E4%BA%8C%E5%85%AD%E5%B9%B4;\r\n"
            " filename*3*=%E5%BA%A6%E7%AC%AC%E4%B8%89%E5%9B%9B%E5%8D%8A%E6%9C%9F;\r\n"
            " filename*4*=%E6%9C%80%E7%B5%82%E7%89%88.xlsx\r\n");
  const std::string lines = AttachmentTypeLines(name);
  for (std::size_t s = 0, e; (e = lines.find("\r\n", s)) != std::string::npos; s = e + 2) {
    EXPECT_LE(e - s, kFoldColumn) << lines.substr(s, e - s);
  }
}

TEST(AttachmentHead, PercentEncodingKeepsOnlyAttributeCharacters) {
  // 資料 (a b)%'*.txt: the blank, parentheses, percent sign, quote and star
  // are encoded, the dot is not.
  const std::string lines = AttachmentTypeLines("\x8E\x91 (a)%'*.txt");
  EXPECT_EQ(
      lines.substr(lines.find("Content-Disposition")),
      "Content-Disposition: attachment;\r\n filename*=UTF-8''%E8%B3%87%20%28a%29%25%27%2A.txt\r\n");
}

TEST(AttachmentHead, NameThatDoesNotConvertGetsOnlyTheEncodedWords) {
  // A lead byte without its second byte: no exact UTF-8 spelling.
  const std::string lines = AttachmentTypeLines("\x95\x5C\x95");
  EXPECT_EQ(lines.find("Content-Disposition"), std::string::npos) << lines;
  EXPECT_NE(lines.find("name=\"=?ISO-2022-JP?B?"), std::string::npos) << lines;
}

TEST(Cp932ToUtf8Exact, VendorAndFullWidthCharactersConvertExactly) {
  // 髙 (IBM FBFC and NEC-selected EEE0), ① 8740, ㈱ (NEC 878A, IBM FA58),
  // ～ 8160 U+FF5E, － 817C U+FF0D, ＼ 815F U+FF3C, 表 955C, half-width ｱ.
  EXPECT_EQ(Cp932ToUtf8Exact("\xFB\xFC\xEE\xE0\x87\x40\x87\x8A\xFA\x58"),
            "\xE9\xAB\x99\xE9\xAB\x99\xE2\x91\xA0\xE3\x88\xB1\xE3\x88\xB1");
  EXPECT_EQ(Cp932ToUtf8Exact("\x81\x60\x81\x7C\x81\x5F\x95\x5C\xB1\\~"),
            "\xEF\xBD\x9E\xEF\xBC\x8D\xEF\xBC\xBC\xE8\xA1\xA8\xEF\xBD\xB1\\~");
  EXPECT_EQ(Cp932ToUtf8Exact(""), "");
}

TEST(Cp932ToUtf8Exact, ReportsBytesThatAreNoCharacter) {
  EXPECT_EQ(Cp932ToUtf8Exact("ab\x82"), std::nullopt);        // lead byte at the end
  EXPECT_EQ(Cp932ToUtf8Exact("\x85\x40"), std::nullopt);      // unassigned code
  EXPECT_EQ(Cp932ToUtf8Exact("\x82\x0D\x0A"), std::nullopt);  // lead byte before CR
}

}  // namespace
}  // namespace tolvex
