#include "compose/text_functions.hpp"

#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "compose/address_list.hpp"
#include "compose/utf8_message.hpp"
#include "test_util.hpp"

namespace tolvex {
namespace {

// Code page 932 characters whose second byte is a backslash or a bar.
constexpr char kHyo[] = "\x95\x5C";   // 表
constexpr char kSo[] = "\x83\x5C";    // ソ
constexpr char kNo[] = "\x94\x5C";    // 能
constexpr char kJu[] = "\x8F\x5C";    // 十
constexpr char kTake[] = "\x92\x7C";  // 竹

FileListArray Filled(const std::string& marker) {
  FileListArray list;
  list.fill(marker);
  return list;
}

TEST(SplitList, BasicListsAndEmptyEntries) {
  struct Case {
    std::string text;
    std::vector<std::string> entries;
  };
  const std::vector<Case> cases = {
      {"a,b,c", {"a", "b", "c"}},
      {"a, b", {"a", " b"}},  // not trimmed
      {"", {""}},
      {",", {""}},
      {"a,,b", {"a", "", "b"}},
      {"a,b,", {"a", "b"}},
      {",a", {"", "a"}},
      {" a ", {" a "}},
  };
  for (const Case& c : cases) {
    FileListArray list = Filled("old");
    std::int16_t n = SplitList(list, c.text, ',');
    ASSERT_EQ(n, static_cast<std::int16_t>(c.entries.size())) << "text: " << c.text;
    for (std::size_t k = 0; k < c.entries.size(); ++k)
      EXPECT_EQ(list[k + 1], c.entries[k]) << c.text;
    EXPECT_EQ(list[0], "old") << "slot 0 is never written";
    for (std::size_t k = c.entries.size() + 1; k < list.size(); ++k) EXPECT_EQ(list[k], "old");
  }
}

TEST(SplitList, CapsAtTenEntries) {
  FileListArray list = Filled("");
  EXPECT_EQ(SplitList(list, "1,2,3,4,5,6,7,8,9,10,11,12", ','), 10);
  EXPECT_EQ(list[1], "1");
  EXPECT_EQ(list[10], "10");

  list = Filled("");
  EXPECT_EQ(SplitList(list, "1,2,3,4,5,6,7,8,9,10", ','), 10);
  EXPECT_EQ(list[10], "10");
  list = Filled("");
  EXPECT_EQ(SplitList(list, "1,2,3,4,5,6,7,8,9,10,", ','), 10);
  EXPECT_EQ(list[10], "10");
  // Ten delimiters after ten empty entries: the eleventh is ignored.
  list = Filled("x");
  EXPECT_EQ(SplitList(list, ",,,,,,,,,,z", ','), 10);
  EXPECT_EQ(list[10], "");
}

TEST(SplitList, DelimiterNeverMatchesSecondByte) {
  FileListArray list = Filled("");
  const std::string text = std::string(kTake) + "|a" + kTake + "|";
  EXPECT_EQ(SplitList(list, text, '|'), 2);
  EXPECT_EQ(list[1], kTake);
  EXPECT_EQ(list[2], std::string("a") + kTake);

  const std::string paths = std::string(kHyo) + "\\x," + kSo + kNo;
  EXPECT_EQ(SplitList(list, paths, '\\'), 2);
  EXPECT_EQ(list[1], kHyo);
  EXPECT_EQ(list[2], std::string("x,") + kSo + kNo);
}

TEST(SplitList, LongTextHasNoLengthLimit) {
  FileListArray list = Filled("");
  const std::string big(40000, 'a');
  EXPECT_EQ(SplitList(list, big + "," + big + ",b", ','), 3);
  EXPECT_EQ(list[2].size(), big.size());
  EXPECT_EQ(list[3], "b");
}

TEST(ValueAfter, TakesTrimmedTextAfterFirstKey) {
  EXPECT_EQ(ValueAfter("#FROM=", '='), "");
  EXPECT_EQ(ValueAfter("  no key here  ", '='), "no key here");
  EXPECT_EQ(ValueAfter("#HOST   =   mail.example.jp   ", '='), "mail.example.jp");
  EXPECT_EQ(ValueAfter("#SUB=a=b", '='), "a=b");
  EXPECT_EQ(ValueAfter("#X=\tv\t", '='), "\tv\t");  // tabs stay
  EXPECT_EQ(ValueAfter(std::string("#X= ") + kHyo + kSo + " ", '='), std::string(kHyo) + kSo);
}

TEST(ValueAfter, KeyNeverMatchesSecondByte) {
  const std::string text = std::string(kHyo) + kJu + "\\ v ";
  EXPECT_EQ(ValueAfter(text, '\\'), "v");
  EXPECT_EQ(ValueAfter(std::string(kTake) + "x|y", '|'), "y");
  // No real key at all: the whole text, trimmed, second bytes untouched.
  EXPECT_EQ(ValueAfter(std::string(" ") + kNo + " ", '\\'), kNo);
}

TEST(AngleAddress, CasesFromTheRules) {
  EXPECT_EQ(AngleAddress("Taro Yamada <taro@example.jp>"), "taro@example.jp");
  EXPECT_EQ(AngleAddress(" taro@example.jp "), " taro@example.jp ");  // unchanged, untrimmed
  EXPECT_EQ(AngleAddress("<>"), "");
  EXPECT_EQ(AngleAddress("x <a@b> tail"), "a@b> tai");  // the last character goes
  EXPECT_EQ(AngleAddress("x <a@b"), "a@");
  EXPECT_EQ(AngleAddress("name <"), "");
  EXPECT_EQ(AngleAddress("<"), "");
  EXPECT_EQ(AngleAddress("<a<b>"), "a<b");  // the first "<" counts
  EXPECT_EQ(AngleAddress(""), "");
}

TEST(AngleAddress, LastCharacterIsWholeDoubleByteCharacter) {
  // The dropped last character is two bytes: both go, nothing is split.
  EXPECT_EQ(AngleAddress(std::string("<ab") + kHyo), "ab");
  EXPECT_EQ(AngleAddress(std::string(kHyo) + kSo + " <" + kNo + "@x>"), std::string(kNo) + "@x");
  EXPECT_EQ(AngleAddress(std::string("<") + kHyo), "");
}

TEST(FileNameFromPath, LastComponentAfterBackslashOrSlash) {
  EXPECT_EQ(FileNameFromPath("C:\\data\\report.pdf"), "report.pdf");
  EXPECT_EQ(FileNameFromPath("report.pdf"), "report.pdf");
  EXPECT_EQ(FileNameFromPath("C:\\data\\"), "");
  EXPECT_EQ(FileNameFromPath(""), "");
  EXPECT_EQ(FileNameFromPath("C:a.txt"), "C:a.txt");
}

// "/" separates on both platforms; 表, ソ and 能 end in 0x5C, no separator.
TEST(FileNameFromPath, SlashSeparatesTooInBothForms) {
  const struct {
    std::string path;
    std::string name;
  } cases[] = {
      {"dir/sub/a.txt", "a.txt"},
      {"/path/to/" + std::string(kHyo) + kSo + ".pdf", std::string(kHyo) + kSo + ".pdf"},
      {"C:/data\\x/" + std::string(kNo), kNo},
      {std::string(kHyo) + "/" + kSo, kSo},
      {"C:\\" + std::string(kHyo) + "\\sub/" + kNo + kTake + ".txt",
       std::string(kNo) + kTake + ".txt"},
      {"/tmp/", ""},
      {"a/b\\c", "c"},
      // Past the ten backslashes looked at, a "/" still separates.
      {"1\\2\\3\\4\\5\\6\\7\\8\\9\\10\\11\\x/y.pdf", "y.pdf"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(FileNameFromPath(c.path), c.name) << c.path;
    // The UTF-8 form: the same path with 表, ソ, 能 and 竹 in UTF-8.
    std::string utf8 = c.path, want = c.name;
    for (auto [cp932, u] : {std::pair{kHyo, "\xE8\xA1\xA8"}, std::pair{kSo, "\xE3\x82\xBD"},
                            std::pair{kNo, "\xE8\x83\xBD"}, std::pair{kTake, "\xE7\xAB\xB9"}}) {
      for (std::string* t : {&utf8, &want}) {
        for (std::size_t at; (at = t->find(cp932)) != std::string::npos;) t->replace(at, 2, u);
      }
    }
    EXPECT_EQ(Utf8FileNameFromPath(utf8), want) << utf8;
  }
}

TEST(FileNameFromPath, StopsAfterTenBackslashes) {
  EXPECT_EQ(FileNameFromPath("a\\b\\c\\d\\e\\f\\g\\h\\i\\j\\k"), "k");        // ten
  EXPECT_EQ(FileNameFromPath("a\\b\\c\\d\\e\\f\\g\\h\\i\\j\\k\\l"), "k\\l");  // eleven
  EXPECT_EQ(FileNameFromPath("\\\\\\\\\\\\\\\\\\\\\\\\x"), "\\\\x");          // twelve
}

TEST(FileNameFromPath, JapaneseNamesKeepTheirSecondBytes) {
  EXPECT_EQ(FileNameFromPath(kHyo), kHyo);
  EXPECT_EQ(FileNameFromPath(std::string("C:\\") + kHyo + "\\" + kSo + kNo + ".txt"),
            std::string(kSo) + kNo + ".txt");
  EXPECT_EQ(FileNameFromPath(std::string(kJu) + kHyo + "\\" + kTake), kTake);
  // Ten double-byte characters ending in 0x5C do not use up the ten-separator limit.
  std::string path;
  for (int i = 0; i < 10; ++i) path += kHyo;
  path += "\\name";
  EXPECT_EQ(FileNameFromPath(path), "name");
}

// --- Address lists as RFC 5322 reads them -----------------------------------

// An address text in both charsets: code page 932 bytes and UTF-8. Where the
// two readings differ, `utf8` is what UTF-8 text of the same bytes gives.
struct AddressCase {
  std::string text;
  std::string address;
  std::optional<std::string> utf8 = std::nullopt;
};

TEST(AngleAddress, QuotedDisplayNamesAreReadAsMailReadersReadThem) {
  const AddressCase cases[] = {
      {"\"Evil <boss@corp.example>\" <t@x.jp>", "t@x.jp"},
      {"\"Suzuki, Ichiro\" <s@x.jp>", "s@x.jp"},
      {"\"john doe\"@x.jp", "\"john doe\"@x.jp"},  // no "<" outside: unchanged
      {"\"A\" <a@b> tail", "a@b"},
      {"\"A\" <a@b", "a@b"},
      {"\"A\" <>", ""},
      // Two angle-addrs: the first, as readers show it, not a later one.
      {"\"Boss\" <boss@corp> <t@x.jp>", "boss@corp"},
      {"\"q\\\"<x@y>\" <t@x>", "t@x"},  // a quoted-pair quote stays inside
      {"<\"a>b\"@x> \"n\"", "\"a>b\"@x"},
      // 表 ends in 0x5C: no quoted-pair in code page 932, one in UTF-8.
      {"\"" + std::string(kHyo) + "\" <boss@corp>\" <t@x>", "boss@corp", "t@x"},
      // “ (E2 80 9C) and a quoted-pair: code page 932 takes 9C 5C as one
      // character and the quote as the end; UTF-8 reads it right.
      {"\"\xE2\x80\x9C\\\" <boss@corp>\" <t@x>", "boss@corp", "t@x"},
      // An unclosed quote is a character: the plain rule holds.
      {"O\"Brien <o@x> z", "o@x> "},
      {"\"x <a@b>", "a@b"},
  };
  for (const AddressCase& c : cases) {
    EXPECT_EQ(AngleAddress(c.text), c.address) << c.text;
    EXPECT_EQ(AngleAddress(c.text, MessageCharset::Utf8), c.utf8.value_or(c.address)) << c.text;
  }
}

TEST(AddressListEntries, CommasInsideClosedQuotedStringsDoNotSplit) {
  using Entries = std::vector<std::string_view>;
  const struct {
    std::string list;
    Entries entries;
    std::optional<Entries> utf8 = std::nullopt;
  } cases[] = {
      {"", {""}},
      {"a@x, b@y ,", {"a@x", " b@y ", ""}},
      {",,", {"", "", ""}},
      {"\"Suzuki, Ichiro\" <s@x.jp>, b@y", {"\"Suzuki, Ichiro\" <s@x.jp>", " b@y"}},
      {"\"a\\\", b\" <c@x>, d", {"\"a\\\", b\" <c@x>", " d"}},
      {"x\"y, z\"w, v", {"x\"y, z\"w", " v"}},
      // Unclosed: every comma splits, as in a list without quotes.
      {"O\"Brien <o@x>, b@y, c", {"O\"Brien <o@x>", " b@y", " c"}},
      {"\"a\", \"b, c", {"\"a\"", " \"b", " c"}},
      {std::string(kHyo) + "," + kSo + "," + kTake, {kHyo, kSo, kTake}},
      // 表 ends in 0x5C: no quoted-pair in code page 932, one in UTF-8.
      {"\"" + std::string(kHyo) + "\", \"x, y\"",
       {"\"\x95\x5C\"", " \"x, y\""},
       Entries{"\"\x95\x5C\", \"x", " y\""}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(AddressListEntries(c.list, MessageCharset::Iso2022Jp), c.entries) << c.list;
    EXPECT_EQ(AddressListEntries(c.list, MessageCharset::Utf8), c.utf8.value_or(c.entries))
        << c.list;
  }
  // Quotes that never close cost one walk, not one per quote.
  std::string many;
  for (int i = 0; i < 200000; ++i) many += "\\\",";
  EXPECT_EQ(AddressListEntries("\"" + many, MessageCharset::Iso2022Jp).size(), 200001u);
}

// --- Subject encoding -------------------------------------------------------

constexpr std::string_view kWordOpen = "=?ISO-2022-JP?B?";

// The encoded words of a folded Subject line, checked for their form.
std::vector<std::string> WordsOf(const std::string& header) {
  EXPECT_EQ(header.rfind("Subject: ", 0), 0u);
  std::vector<std::string> words;
  std::size_t start = 9;
  for (;;) {
    std::size_t end = header.find("\r\n", start);
    std::string line =
        header.substr(start, end == std::string::npos ? std::string::npos : end - start);
    std::size_t lineLen = line.size() + (words.empty() ? 9 : 1);
    EXPECT_LE(lineLen, 76u) << "header line too long: " << line;
    EXPECT_LE(line.size(), 75u) << "encoded word too long: " << line;
    EXPECT_EQ(line.rfind(kWordOpen, 0), 0u) << line;
    EXPECT_TRUE(line.ends_with("?=")) << line;
    words.push_back(line.substr(kWordOpen.size(), line.size() - kWordOpen.size() - 2));
    if (end == std::string::npos) break;
    EXPECT_EQ(header[end + 2], ' ') << "continuation line must start with a blank";
    start = end + 3;
  }
  return words;
}

// Each word starts in the one-byte state and returns to it at its end.
void ExpectSelfContained(const std::string& jis) {
  bool kanji = false;
  for (std::size_t i = 0; i < jis.size();) {
    if (jis[i] == '\x1B') {
      ASSERT_LT(i + 2, jis.size());
      kanji = jis.compare(i, 3, "\x1B$B") == 0;
      if (!kanji) {
        EXPECT_EQ(jis.substr(i, 3), "\x1B(J");
      }
      i += 3;
    } else {
      i += kanji ? 2 : 1;
    }
  }
  EXPECT_FALSE(kanji) << "word ends in the two-byte state";
}

// Parses the header with Python's email package and returns the subject as
// UTF-8, or "<python failed>".
std::string SubjectSeenByPython(const std::string& header) {
  testing::TempDir dir;
  const auto headerFile = dir.path() / "header.txt";
  const auto script = dir.path() / "parse.py";
  testing::WriteBytes(headerFile, header + "\r\n\r\nbody\r\n");
  testing::WriteBytes(script,
                      "import sys, email, email.policy\n"
                      "data = open(sys.argv[1], 'rb').read()\n"
                      "msg = email.message_from_bytes(data, policy=email.policy.default)\n"
                      "sys.stdout.buffer.write(str(msg['subject']).encode('utf-8'))\n");
  const std::string cmd = "python3 '" + script.string() + "' '" + headerFile.string() + "' 2>&1";
  FILE* p = ::popen(cmd.c_str(), "r");
  if (p == nullptr) return "<python failed>";
  std::string out;
  char buf[4096];
  std::size_t got;
  while ((got = std::fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, got);
  if (::pclose(p) != 0) return "<python failed>" + out;
  return out;
}

TEST(EncodeSubjectLine, ShortSubjectIsOneEncodedWord) {
  EXPECT_EQ(EncodeSubjectLine("Subject: "),
            "Subject: =?ISO-2022-JP?B?"
            "?=");
  EXPECT_EQ(EncodeSubjectLine("Subject: abc"), "Subject: =?ISO-2022-JP?B?YWJj?=");
  // 日本語: ESC $ B + three JIS characters, no closing escape.
  EXPECT_EQ(EncodeSubjectLine("Subject: \x93\xFA\x96\x7B\x8C\xEA"),
            "Subject: =?ISO-2022-JP?B?GyRCRnxLXDhs?=");
  // The subject is converted untrimmed, and the converter trims the spaces.
  EXPECT_EQ(EncodeSubjectLine("Subject:   abc  "), "Subject: =?ISO-2022-JP?B?YWJj?=");
}

TEST(EncodeSubjectLine, FiftyFourBytesStayOneWordOnOneLine) {
  const std::string subject(54, 'x');
  const std::string line = EncodeSubjectLine("Subject: " + subject);
  EXPECT_EQ(line.find("\r\n"), std::string::npos);
  ASSERT_EQ(line.size(), 9 + kWordOpen.size() + 72 + 2);
  EXPECT_EQ(testing::DecodeBase64(line.substr(9 + kWordOpen.size(), 72)), subject);
}

TEST(EncodeSubjectLine, FiftyFiveBytesAreFolded) {
  const std::string subject(55, 'y');
  const std::string line = EncodeSubjectLine("Subject: " + subject);
  std::vector<std::string> words = WordsOf(line);
  ASSERT_EQ(words.size(), 2u);
  std::string joined;
  for (const std::string& w : words) joined += testing::DecodeBase64(w);
  EXPECT_EQ(joined, subject);
  EXPECT_EQ(SubjectSeenByPython(line), subject);
}

TEST(EncodeSubjectLine, LongJapaneseSubjectFoldsIntoSelfContainedWords) {
  // 日本語 表ソ能 十竹 test, repeated: double-byte runs, blanks and ASCII mixed.
  std::string sjis;
  std::string utf8;
  for (int i = 0; i < 6; ++i) {
    sjis +=
        std::string("\x93\xFA\x96\x7B\x8C\xEA ") + kHyo + kSo + kNo + " " + kJu + kTake + " test ";
    utf8 += "日本語 表ソ能 十竹 test ";
  }
  sjis += "\x8F\x49\x82\xED\x82\xE8";  // 終わり
  utf8 += "終わり";
  const std::string line = EncodeSubjectLine("Subject: " + sjis);
  std::vector<std::string> words = WordsOf(line);
  EXPECT_GT(words.size(), 3u);
  for (const std::string& w : words) ExpectSelfContained(testing::DecodeBase64(w));
  EXPECT_EQ(SubjectSeenByPython(line), utf8);
}

TEST(EncodeSubjectLine, AllDoubleByteSubject) {
  std::string sjis;
  std::string utf8;
  for (int i = 0; i < 40; ++i) {
    sjis += kSo;
    utf8 += "ソ";
  }
  const std::string line = EncodeSubjectLine("Subject: " + sjis);
  std::vector<std::string> words = WordsOf(line);
  for (const std::string& w : words) {
    std::string jis = testing::DecodeBase64(w);
    ExpectSelfContained(jis);
    EXPECT_EQ(jis.rfind("\x1B$B", 0), 0u)
        << "a word starting with a double-byte character opens Kanji";
  }
  EXPECT_EQ(SubjectSeenByPython(line), utf8);
}

}  // namespace
}  // namespace tolvex
