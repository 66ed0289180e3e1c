#include <gtest/gtest.h>

#include <string>

#include "base/sjis_text.hpp"

namespace tolvex::sjis {
namespace {

// 表 ソ 能 十 竹: second bytes 5C ('\\') and 7C ('|').
const std::string kHyo = "\x95\x5C";
const std::string kSo = "\x83\x5C";
const std::string kNo = "\x94\x5C";
const std::string kJu = "\x8F\x5C";
const std::string kTake = "\x92\x7C";

TEST(SjisText, ClassifiesLeadAndTrailBytes) {
  EXPECT_FALSE(IsLeadByte(0x80));
  EXPECT_TRUE(IsLeadByte(0x81));
  EXPECT_TRUE(IsLeadByte(0x9F));
  EXPECT_FALSE(IsLeadByte(0xA0));
  EXPECT_FALSE(IsLeadByte(0xDF));
  EXPECT_TRUE(IsLeadByte(0xE0));
  EXPECT_TRUE(IsLeadByte(0xFC));
  EXPECT_FALSE(IsLeadByte(0xFD));
  EXPECT_FALSE(IsTrailByte(0x3F));
  EXPECT_TRUE(IsTrailByte(0x40));
  EXPECT_TRUE(IsTrailByte(0x7E));
  EXPECT_FALSE(IsTrailByte(0x7F));
  EXPECT_TRUE(IsTrailByte(0x80));
  EXPECT_TRUE(IsTrailByte(0xFC));
  EXPECT_FALSE(IsTrailByte(0xFD));
}

TEST(SjisText, CharLenTakesTrailBytesButNotLineBreaks) {
  const std::string s = kHyo + "a" + kTake;
  EXPECT_EQ(CharLen(s, 0), 2u);
  EXPECT_EQ(CharLen(s, 2), 1u);
  EXPECT_EQ(CharLen(s, 3), 2u);
  // Lead byte at the very end, and one before CR: characters of their own.
  EXPECT_EQ(CharLen("a\x95", 1), 1u);
  EXPECT_EQ(CharLen("\x95\r\n", 0), 1u);
  // Half-width katakana are one byte.
  EXPECT_EQ(CharLen("\xB1\xB2", 0), 1u);
}

TEST(SjisText, CountsAndOffsetsWholeCharacters) {
  const std::string s = kHyo + "x" + kSo + kNo + "\xB1" + "\x95";
  EXPECT_EQ(CharCount(s), 6u);
  EXPECT_EQ(CharCount(""), 0u);
  EXPECT_EQ(ByteOffsetOfChar(s, 0), 0u);
  EXPECT_EQ(ByteOffsetOfChar(s, 1), 2u);
  EXPECT_EQ(ByteOffsetOfChar(s, 2), 3u);
  EXPECT_EQ(ByteOffsetOfChar(s, 4), 7u);
  EXPECT_EQ(ByteOffsetOfChar(s, 6), s.size());
  EXPECT_EQ(ByteOffsetOfChar(s, 99), s.size());
  EXPECT_EQ(LeftChars(s, 3), kHyo + "x" + kSo);
  EXPECT_EQ(DropChars(s, 3), kNo + "\xB1\x95");
  EXPECT_EQ(LeftChars(s, 0), "");
  EXPECT_EQ(DropChars(s, 100), "");
}

TEST(SjisText, FindCharSkipsSecondBytes) {
  const std::string s = kHyo + kSo + "\\" + kTake + "|";
  EXPECT_EQ(FindChar(s, '\\'), 4u);
  EXPECT_EQ(FindChar(s, '|'), 7u);
  EXPECT_EQ(FindChar(s, '\\', 5), npos);
  EXPECT_EQ(FindChar(kNo + kJu, '\\'), npos);
  EXPECT_EQ(FindChar("", 'a'), npos);
  EXPECT_EQ(FindChar("abc", 'c', 2), 2u);
  EXPECT_EQ(FindChar("abc", 'c', 3), npos);
  // A lone lead byte followed by a comma: the comma is found.
  EXPECT_EQ(FindChar("\x8A,", ','), 1u);
}

TEST(SjisText, FindMatchesOnlyOnCharacterBoundaries) {
  // "\\x" appears from the second byte of 表, which must not match.
  const std::string s = kHyo + "x\\x";
  EXPECT_EQ(Find(s, "\\x"), 3u);
  // "\x5C\x95" spans two characters' halves in 表表.
  EXPECT_EQ(Find(kHyo + kHyo, "\x5C\x95"), npos);
  EXPECT_EQ(Find(kHyo + kHyo, kHyo), 0u);
  EXPECT_EQ(Find(kHyo + kHyo, kHyo, 2), 2u);
  EXPECT_EQ(Find(kHyo + kHyo, kHyo, 3), npos);
  EXPECT_EQ(Find("abc", ""), 0u);
  EXPECT_EQ(Find("abc", "", 3), 3u);
  EXPECT_EQ(Find("abc", "", 4), npos);
  EXPECT_EQ(Find("ab", "abc"), npos);
  // A needle that ends in a lone lead byte does not match half of 表.
  EXPECT_EQ(Find("a" + kHyo, "a\x95"), npos);
  EXPECT_EQ(Find("a\x95", "a\x95"), 0u);
}

TEST(SjisText, TrimRemovesOnlySpaces) {
  EXPECT_EQ(Trim("  a b  "), "a b");
  EXPECT_EQ(Trim("   "), "");
  EXPECT_EQ(Trim(""), "");
  EXPECT_EQ(Trim("\ta\r\n"), "\ta\r\n");
  EXPECT_EQ(Trim(" " + kHyo + " "), kHyo);
  // The space after a stray lead byte is a character of its own.
  EXPECT_EQ(Trim("\x95 "), "\x95");
}

}  // namespace
}  // namespace tolvex::sjis
