// Tests of the attachment patterns: the matcher over code page 932 and UTF-8
// names, and the expansion of a file list over the memory folder.
#include "compose/wildcard.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/memory_folder.hpp"

namespace tolvex {
namespace {

// 報告 書 表 ソ 能 Ａ 亜 in code page 932; 表 ソ 能 end in 0x5C.
const std::string kHou = "\x95\xf1\x8d\x90";  // 報告
const std::string kSho = "\x8f\x91";          // 書
const std::string kHyo = "\x95\x5c";          // 表
const std::string kSo = "\x83\x5c";           // ソ
const std::string kNo = "\x94\x5c";           // 能
const std::string kWideA = "\x82\x60";        // Ａ (U+FF21)
const std::string kA = "\x88\x9f";            // 亜 (U+4E9C)

TEST(WildcardMatch, MatchesCharactersNotBytes) {
  struct Case {
    std::string pattern, name;
    bool unicode, ignoreCase, match;
  };
  const std::vector<Case> cases = {
      {"*.csv", "a.csv", false, false, true},
      {"*.csv", "a.csv.txt", false, false, false},
      {"?.csv", "a.csv", false, false, true},
      {"?.csv", "ab.csv", false, false, false},
      {"a*b*c", "aXXbYbZc", false, false, true},
      {"a*b*c", "aXbY", false, false, false},
      {"**x", "x", false, false, true},
      {"*", "", false, false, true},
      // "?" is one double-byte character, never one of its bytes.
      {kHou + "?.pdf", kHou + kSho + ".pdf", false, false, true},
      {kHou + "?.pdf", kHou + "12.pdf", false, false, false},
      {"??.txt", kHyo + ".txt", false, false, false},
      {"?.txt", kHyo + ".txt", false, false, true},
      {"?\\.txt", kHyo + ".txt", false, false, false},
      // A trail byte 0x5C in the pattern is part of its character.
      {kHyo + "*", kHyo + "1.txt", false, false, true},
      {kHyo + "*", "\x95X1.txt", false, false, false},
      {"*" + kSo, "a" + kSo, false, false, true},
      {"*" + kSo, "a\x83X", false, false, false},
      {"*" + kNo + "?", kNo + kNo + "z", false, false, true},
      // Hidden files only for a pattern that starts with ".".
      {"*", ".profile", false, false, false},
      {"?profile", ".profile", false, false, false},
      {".*", ".profile", false, false, true},
      {"*.txt", "a.b.txt", false, false, true},
      // Case: ASCII letters only, and only when the file system ignores it.
      {"*.CSV", "a.csv", false, false, false},
      {"*.CSV", "a.csv", false, true, true},
      {"\x82\x60*", "\x82\x81.txt", false, true, false},  // Ａ and ａ stay apart
      // UTF-8 names: 報告?.pdf, Ä against ä.
      {"\xe5\xa0\xb1\xe5\x91\x8a?.pdf", "\xe5\xa0\xb1\xe5\x91\x8a\xe6\x9b\xb8.pdf", true, false,
       true},
      {"\xe5\xa0\xb1\xe5\x91\x8a?.pdf",
       "\xe5\xa0\xb1\xe5\x91\x8a"
       "12.pdf",
       true, false, false},
      {"?.txt", "\xc3\x84.txt", true, true, true},
      {"\xc3\x84*", "\xc3\xa4.txt", true, true, false},
      {"?.txt", "\xff.txt", true, false, true},  // a stray byte is one character
  };
  for (const Case& c : cases) {
    EXPECT_EQ(WildcardMatch(c.pattern, c.name, c.unicode, c.ignoreCase), c.match)
        << c.pattern << " / " << c.name;
  }
}

TEST(WildcardMatch, OnlyTheLastComponentIsAPattern) {
  EXPECT_TRUE(IsFilePattern("logs/*.csv", false));
  EXPECT_TRUE(IsFilePattern("logs\\day?.csv", false));
  EXPECT_TRUE(IsFilePattern(kHyo + "*", false));
  EXPECT_FALSE(IsFilePattern("lo?s/a.csv", false));
  EXPECT_FALSE(IsFilePattern("d*\\" + kHyo + ".txt", false));
  EXPECT_FALSE(IsFilePattern("a.csv", false));
  EXPECT_TRUE(HoldsFilePattern("a.csv, b/*.txt", false));
  EXPECT_FALSE(HoldsFilePattern("a.csv,b.txt,", false));
  // 竹 (0x92 0x7C) then "*": the bar is no separator either.
  EXPECT_TRUE(IsFilePattern("\x92\x7c*", false));
}

class ExpandFileListTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const std::string& name : std::vector<std::string>{
             "logs/b.csv", "logs/a.csv", "logs/" + kWideA + ".csv", "logs/" + kA + ".csv",
             "logs/.hidden.csv", "logs/sub/c.csv", "logs/B.txt", "top.csv", kHyo + "1.txt",
             kHyo + "2.txt", "\x95X3.txt"}) {
      folder.files[name] = "x";
    }
  }
  Status Expand(std::string_view list) {
    out = ExpandedFiles{};
    return ExpandFileList(list, folder, out);
  }
  test::MemoryFolder folder;
  ExpandedFiles out;
};

TEST_F(ExpandFileListTest, PatternsBecomeTheirFilesSortedByCodePoint) {
  ASSERT_FALSE(Expand("logs/*.csv, top.csv ,*.csv"));
  // 亜 (U+4E9C) sorts before Ａ (U+FF21) though its code page 932 bytes do
  // not; the hidden file and the one in a subfolder stay out.
  const std::vector<std::string> names = {"logs/a.csv",          "logs/b.csv",
                                          "logs/" + kA + ".csv", "logs/" + kWideA + ".csv",
                                          " top.csv ",           "top.csv"};
  EXPECT_EQ(out.names, names);
  ASSERT_EQ(out.shown.size(), 2u);
  EXPECT_EQ(out.shown[0],
            "\"logs/*.csv\" -> logs/a.csv, logs/b.csv, logs/\xe4\xba\x9c.csv, "
            "logs/\xef\xbc\xa1.csv");
  EXPECT_EQ(out.shown[1], "\"*.csv\" -> top.csv");
  EXPECT_TRUE(out.notes.empty());

  // A trail byte 0x5C is no separator: 表? is listed in the work folder.
  ASSERT_FALSE(Expand(kHyo + "?.txt"));
  EXPECT_EQ(out.names, (std::vector<std::string>{kHyo + "1.txt", kHyo + "2.txt"}));

  folder.ignoreCase = true;
  ASSERT_FALSE(Expand("logs/?.TXT"));
  EXPECT_EQ(out.names, std::vector<std::string>{"logs/B.txt"});
  folder.unnamed = 3;
  ASSERT_FALSE(Expand("logs/*.txt"));
  ASSERT_EQ(out.notes.size(), 1u);
  EXPECT_EQ(out.notes[0],
            "\"logs/*.txt\": 3 file name(s) in its folder have no code page 932 form and were "
            "not matched");
}

TEST_F(ExpandFileListTest, AnUnmatchedPatternOrFolderStopsNamingIt) {
  const struct {
    std::string list, message;
  } cases[] = {
      {"top.csv,logs/*.pdf", "no file matches \"logs/*.pdf\""},
      {"logs/*.CSV", "no file matches \"logs/*.CSV\""},
      {kHyo + "??.txt", "no file matches \"" + kHyo + "??.txt\""},
      {"none/*.csv", "cannot list the folder of \"none/*.csv\": no such folder"},
  };
  for (const auto& c : cases) {
    const Status status = Expand(c.list);
    ASSERT_TRUE(status.has_value()) << c.list;
    EXPECT_EQ(status->kind, FailureKind::InputMissing);
    EXPECT_EQ(status->message, c.message);
  }
}

}  // namespace
}  // namespace tolvex
