// Address fields with Japanese display names: exact bytes for the usual
// shapes, and the folding rules checked by decoding what comes out.
#include "compose/header_words.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "compose/utf8_message.hpp"
#include "encoding/jis_convert.hpp"
#include "test_util.hpp"

namespace tolvex {
namespace {

using testing::DecodeBase64;

// Code page 932 spellings of the names used below.
const std::string kSender = "\x91\x97\x90\x4D\x8C\x57";               // 送信係
const std::string kYamadaTaro = "\x8E\x52\x93\x63 \x91\xBE\x98\x59";  // 山田 太郎
const std::string kSuzuki = "\x97\xE9\x96\xD8";                       // 鈴木
const std::string kHyoSo = "\x95\x5C \x83\x5C";                       // 表 ソ

TEST(AddressField, AsciiValuesAreWrittenAsTheyAre) {
  EXPECT_EQ(EncodeAddressField("From:", "DummySender"), "From: DummySender");
  EXPECT_EQ(EncodeAddressField("To:", "a@example.jp,  Bob <b@example.jp>,"),
            "To: a@example.jp,  Bob <b@example.jp>,");
  EXPECT_EQ(EncodeAddressField("Reply-To:", ""), "Reply-To: ");
  // Long ASCII lists are not folded either.
  const std::string list(200, 'a');
  EXPECT_EQ(EncodeAddressField("To:", list), "To: " + list);
}

TEST(AddressField, JapaneseNameWithAddress) {
  EXPECT_EQ(EncodeAddressField("From:", kSender + " <sender@example.jp>"),
            "From: =?ISO-2022-JP?B?GyRCQXc/Ljc4GyhK?= <sender@example.jp>");
  // No blank before "<": one is put there so the encoded word ends.
  EXPECT_EQ(EncodeAddressField("From:", kSender + "<sender@example.jp>"),
            "From: =?ISO-2022-JP?B?GyRCQXc/Ljc4GyhK?= <sender@example.jp>");
  // A quoted name is encoded without its quotes; ASCII words stay.
  EXPECT_EQ(EncodeAddressField("Reply-To:", "\"" + kHyoSo + "\" Sales <so@example.jp>"),
            "Reply-To: =?ISO-2022-JP?B?GyRCST0bKEogGyRCJT0bKEo=?= Sales <so@example.jp>");
}

TEST(AddressField, JapaneseNameWithoutAddressIsEncodedWhole) {
  EXPECT_EQ(EncodeAddressField("To:", kSuzuki), "To: =?ISO-2022-JP?B?GyRCTmtMWhsoSg==?=");
  // A bare address is never encoded, whatever it holds.
  EXPECT_EQ(EncodeAddressField("To:", kSuzuki + "@example.jp"), "To: " + kSuzuki + "@example.jp");
}

TEST(AddressField, MixedListKeepsCommasSpacingAndTrailingComma) {
  // The blank between 山田 and 太郎 is inside the encoded text; the entries
  // keep their separators; the line is folded before the second name.
  EXPECT_EQ(EncodeAddressField(
                "To:", kYamadaTaro + " <yamada@example.jp>, " + kSuzuki + ",bob@example.jp,"),
            "To: =?ISO-2022-JP?B?GyRCOzNFRBsoSiAbJEJCQE86GyhK?= <yamada@example.jp>,\r\n"
            " =?ISO-2022-JP?B?GyRCTmtMWhsoSg==?=,bob@example.jp,");
  // No blank is put after a comma while the word fits the line.
  EXPECT_EQ(EncodeAddressField("To:", "a@example.jp," + kSuzuki),
            "To: a@example.jp,=?ISO-2022-JP?B?GyRCTmtMWhsoSg==?=");
  EXPECT_EQ(EncodeAddressField("To:", std::string(60, 'a') + "@example.jp," + kSuzuki),
            "To: " + std::string(60, 'a') + "@example.jp,\r\n =?ISO-2022-JP?B?GyRCTmtMWhsoSg==?=");
  // Commas inside a quoted name do not separate entries.
  EXPECT_EQ(EncodeAddressField("To:", "\"" + kSuzuki + ", " + kSender + "\" <s@example.jp>"),
            "To: =?ISO-2022-JP?B?GyRCTmtMWhsoSiwgGyRCQXc/Ljc4GyhK?= <s@example.jp>");
}

// Entries and addresses are found as the envelope finds them
// (AddressListEntries, FindOutsideQuotes): a "<" or "," inside a closed
// quoted name is name text; an unclosed quote is a character, so the
// addresses after it stay addresses. Readers then show the mailbox the
// envelope carries.
TEST(AddressField, QuotedNamesAreReadAsTheEnvelopeReadsThem) {
  const std::string hyoUtf8 = "\xE8\xA1\xA8";  // 表
  const struct {
    bool utf8;
    std::string value;
    std::string field;
  } cases[] = {
      {false, "\"" + kSuzuki + " <boss@corp>\" <t@x.jp>",
       "To: =?ISO-2022-JP?B?GyRCTmtMWhsoSiA8Ym9zc0Bjb3JwPg==?= <t@x.jp>"},
      {false, "O\"Brien \x95\x5C <o@x>, b@y",
       "To: O =?ISO-2022-JP?B?QnJpZW4gGyRCST0bKEo=?= <o@x>, b@y"},
      // 表 ends in 0x5C, which escapes no quote.
      {false, "\"\x95\x5C\", \"x, " + kSuzuki + "\" <y@x>",
       "To: =?ISO-2022-JP?B?GyRCST0bKEo=?=, =?ISO-2022-JP?B?eCwgGyRCTmtMWhsoSg==?=\r\n <y@x>"},
      {true, "\"\xE2\x80\x9C\\\" <boss@corp>\" <t@x.jp>",
       "To: =?UTF-8?B?4oCcIiA8Ym9zc0Bjb3JwPg==?= <t@x.jp>"},
      {true, "O\"Brien " + hyoUtf8 + " <o@x>, b@y", "To: =?UTF-8?B?TyJCcmllbiDooag=?= <o@x>, b@y"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.utf8 ? Utf8AddressField("To:", c.value) : EncodeAddressField("To:", c.value),
              c.field)
        << c.value;
  }
}

// 60 kanji and kana (ポ has the trail byte 0x7C): 120 JIS bytes, four
// words on four lines.
const std::string kLongName =
    "\x8E\xF5\x8C\xC0\x96\xB3\x8E\xF5\x8C\xC0\x96\xB3\x8C\xDC\x8D\x85\x82\xCC\x8E\x43\x82\xE8"
    "\x90\xD8\x82\xEA\x8A\x43\x8D\xBB\x97\x98\x90\x85\x8B\x9B\x82\xCC\x90\x85\x8D\x73\x96\x96"
    "\x89\x5F\x97\x88\x96\x96\x95\x97\x97\x88\x96\x96\x90\x48\x82\xA4\x90\x51\x82\xE9\x8F\x88"
    "\x82\xC9\x8F\x5A\x82\xDE\x8F\x88\xE5\x4D\x82\xE7\x8A\xB9\x8E\x71\x82\xCC\xE5\x4D\x8A\xB9"
    "\x8E\x71\x83\x70\x83\x43\x83\x7C\x83\x70\x83\x43\x83\x7C\x83\x70\x83\x43\x83\x7C\x82\xCC"
    "\x83\x56\x83\x85\x81\x5B\x83\x8A\x83\x93";

TEST(AddressField, LongNameIsFoldedIntoSeveralWords) {
  EXPECT_EQ(EncodeAddressField("To:", kLongName + " <jugemu@example.jp>"),
            "To: =?ISO-2022-JP?B?GyRCPHc4Qkw1PHc4Qkw1OF45ZSROOyQkakBaJGwzJDo9TXgbKEo=?=\r\n"
            " =?ISO-2022-JP?B?GyRCP2U1eyROP2U5VEt2MUBNaEt2SXdNaEt2PykkJj8yJGs9aCRLGyhK?=\r\n"
            " =?ISO-2022-JP?B?GyRCPTskYD1oaS4kaTQ7O1IkTmkuNDs7UiVRJSQlXSVRJSQlXSVRGyhK?=\r\n"
            " =?ISO-2022-JP?B?GyRCJSQlXSROJTclZSE8JWolcxsoSg==?= <jugemu@example.jp>");
}

std::string Remove(std::string s, std::string_view what) {
  for (std::size_t at; (at = s.find(what)) != std::string::npos;) s.erase(at, what.size());
  return s;
}

std::size_t LongestLine(std::string_view s) {
  std::size_t longest = 0;
  for (std::size_t start = 0;;) {
    const std::size_t end = s.find("\r\n", start);
    longest = std::max(longest, (end == s.npos ? s.size() : end) - start);
    if (end == s.npos) return longest;
    start = end + 2;
  }
}

// A field whose lines pass 998 octets is folded before a blank (CR LF
// inserted), else after a comma outside quotes (CR LF and a blank
// inserted); one that fits, or offers neither, is left alone.
TEST(FoldLongLines, KeepsEveryLineWithinTheLimitWhereItCan) {
  std::string spaced = "To:", packed = "To: ", quotedHead = "To: \"";
  for (int i = 0; i < 100; ++i) {
    spaced += (i ? ", r" : " r") + std::to_string(i) + "@example.jp";
    packed += (i ? ",r" : "r") + std::to_string(i) + "@example.jp";
  }
  quotedHead +=
      std::string(600, 'n') + ",n\\\",\" <q@example.jp>";  // a comma inside, an escaped quote
  for (int i = 0; i < 60; ++i) quotedHead += ",c" + std::to_string(i) + "@example.jp";
  const struct {
    std::string field;
    std::string_view inserted;  // taken out again, gives the field back
    std::size_t shortest;       // the longest line after folding is in
    std::size_t longest;        // shortest..longest
  } cases[] = {
      {"To: a@example.jp, b@example.jp", "\r\n", 30, 30},
      {spaced, "\r\n", 980, 998},  // before the blank of the entry that passes
      {packed, "\r\n ", 980, 998},
      {quotedHead, "\r\n ", 980, 998},
      {"To: \"" + std::string(1000, 'x') + ",y\" <z@example.jp>", "", 1023, 1023},  // nowhere
      {"To: " + std::string(1200, 'x') + "   ", "", 1207, 1207},
  };
  for (const auto& c : cases) {
    const std::string folded = FoldLongLines(c.field);
    EXPECT_GE(LongestLine(folded), c.shortest) << c.field.substr(0, 40);
    EXPECT_LE(LongestLine(folded), c.longest) << c.field.substr(0, 40);
    EXPECT_EQ(c.inserted.empty() ? folded : Remove(folded, c.inserted), c.field)
        << c.field.substr(0, 40);
  }
  // Not at the blank after "To:", nor inside the quoted string.
  const std::string folded = FoldLongLines(quotedHead);
  EXPECT_GT(folded.find("\r\n"), folded.find("<q@example.jp>,"));
  // A list of 100 recipients as the To: line, either charset of names.
  EXPECT_EQ(EncodeAddressField("To:", packed.substr(4)), FoldLongLines(packed));
  EXPECT_LE(LongestLine(FoldLongLines(packed)), 998u);
  EXPECT_LE(LongestLine(EncodeAddressField("To:", kSuzuki + " <s@x.jp>," + packed.substr(4))),
            998u);
  EXPECT_LE(LongestLine(Utf8AddressField("To:", "\xE9\x88\xB4 <s@x.jp>," + packed.substr(4))),
            998u);
  EXPECT_EQ(Utf8AddressField("To:", packed.substr(4)), FoldLongLines(packed));
}

// The characters of an ISO-2022-JP text as (two-byte?, bytes), and whether
// it ends in the one-byte state. After ESC ( J the bytes 5C and 7E are
// JIS X 0201's yen sign and overline, given as their UTF-8.
struct JisText {
  std::vector<std::pair<bool, std::string>> chars;
  bool endsInOneByte = true;
};

JisText ReadJis(const std::string& jis) {
  JisText t;
  bool two = false;
  bool roman = false;
  for (std::size_t i = 0; i < jis.size();) {
    if (jis.compare(i, 3, "\x1B$B") == 0 || jis.compare(i, 3, "\x1B(J") == 0 ||
        jis.compare(i, 3, "\x1B(B") == 0) {
      two = jis[i + 1] == '$';
      roman = jis[i + 2] == 'J';
      i += 3;
      continue;
    }
    const std::size_t n = two ? 2 : 1;
    std::string c = jis.substr(i, n);
    if (!two && roman && c == "\\") c = "\xC2\xA5";
    if (!two && roman && c == "~") c = "\xE2\x80\xBE";
    t.chars.emplace_back(two, c);
    i += n;
  }
  t.endsInOneByte = !two;
  return t;
}

// Checks the folding rules on a field and returns its encoded words decoded
// and joined, for comparison with the original text.
std::vector<std::pair<bool, std::string>> CheckFolded(const std::string& field) {
  std::vector<std::pair<bool, std::string>> all;
  std::size_t start = 0;
  while (start <= field.size()) {
    std::size_t end = field.find("\r\n", start);
    if (end == std::string::npos) end = field.size();
    const std::string line = field.substr(start, end - start);
    EXPECT_LE(line.size(), kFoldColumn) << line;
    if (start > 0) {
      EXPECT_EQ(line[0], ' ') << "a continuation line starts with a blank";
    }
    for (std::size_t w = line.find("=?"); w != std::string::npos; w = line.find("=?", w + 2)) {
      const std::size_t close = line.find("?=", w + 16);
      EXPECT_NE(close, std::string::npos);
      EXPECT_LE(close + 2 - w, kMaxWordChars);
      EXPECT_EQ(line.compare(w, 16, "=?ISO-2022-JP?B?"), 0);
      const JisText t = ReadJis(DecodeBase64(line.substr(w + 16, close - w - 16)));
      EXPECT_TRUE(t.endsInOneByte) << "word does not decode on its own: " << line;
      all.insert(all.end(), t.chars.begin(), t.chars.end());
      w = close;
    }
    start = end + 2;
  }
  return all;
}

TEST(AddressField, EveryWordFitsAndDecodesOnItsOwnAtEveryLength) {
  // Names of 1..80 characters mixing kanji, ASCII and blanks, after field
  // names of different lengths: lines within 76, words within 75, and the
  // words together hold exactly the converted name.
  const std::string pieces[] = {"\x95\x5C", "a", "\x83\x5C", " ", "\x94\x5C", "\x8E\x52"};
  for (const char* name : {"To:", "Reply-To:"}) {
    std::string text;
    for (int n = 1; n <= 80; ++n) {
      text += pieces[(n - 1) % 6];
      if (text.back() == ' ') continue;
      const std::string field = EncodeAddressField(name, "\"" + text + "\" <x@example.jp>");
      EXPECT_EQ(field.rfind(std::string(name) + " =?", 0), 0u) << field;
      EXPECT_TRUE(field.ends_with(" <x@example.jp>")) << field;
      EXPECT_EQ(CheckFolded(field), ReadJis(SjisToJis(text)).chars) << field;
    }
  }
}

TEST(AddressField, BlanksAndCommaAfterANameWithoutAddressStayWithinTheLine) {
  // "name , next": the blank and the comma follow the last encoded word on
  // its line, at every length of the name.
  const std::string pieces[] = {"\x95\x5C", "\x83\x5C", "\x94\x5C", "\x8E\x52"};
  std::string text;
  for (int n = 1; n <= 80; ++n) {
    text += pieces[(n - 1) % 4];
    for (const char* after : {" , b@example.jp", "  , b@example.jp", ","}) {
      const std::string field = EncodeAddressField("To:", text + after);
      for (std::size_t start = 0;;) {
        const std::size_t end = field.find("\r\n", start);
        const std::size_t length = (end == std::string::npos ? field.size() : end) - start;
        EXPECT_LE(length, kFoldColumn) << n << " characters: " << field;
        if (end == std::string::npos) break;
        start = end + 2;
      }
    }
  }
}

TEST(SplitJisWords, PiecesKeepToTheirLimitsAndNeverSplitACharacter) {
  const std::string jis = SjisToJis(kLongName + "abc" + kSuzuki);
  for (std::size_t limit = 8; limit <= 60; ++limit) {
    const std::vector<std::string> pieces = SplitJisWords(jis, limit, limit);
    std::vector<std::pair<bool, std::string>> joined;
    for (const std::string& p : pieces) {
      EXPECT_LE(p.size(), limit);
      const JisText t = ReadJis(p);
      EXPECT_TRUE(t.endsInOneByte);
      joined.insert(joined.end(), t.chars.begin(), t.chars.end());
    }
    EXPECT_EQ(joined, ReadJis(jis).chars) << "limit " << limit;
  }
  // A backslash and a tilde after kanji stay themselves in every piece.
  const std::string path = SjisToJis(kLongName + "C:\\share\\" + kSuzuki + " ~u");
  const JisText whole = ReadJis(path);
  EXPECT_EQ(std::count(whole.chars.begin(), whole.chars.end(), std::pair{false, std::string("\\")}),
            2);
  EXPECT_EQ(std::count(whole.chars.begin(), whole.chars.end(), std::pair{false, std::string("~")}),
            1);
  for (std::size_t limit = 8; limit <= 60; ++limit) {
    std::vector<std::pair<bool, std::string>> joined;
    for (const std::string& p : SplitJisWords(path, limit, limit)) {
      const JisText t = ReadJis(p);
      joined.insert(joined.end(), t.chars.begin(), t.chars.end());
    }
    EXPECT_EQ(joined, whole.chars) << "limit " << limit;
  }
  // Too small a limit still gives one character per piece.
  EXPECT_EQ(SplitJisWords(SjisToJis(kSuzuki), 1, 1),
            (std::vector<std::string>{"\x1B$BNk\x1B(J", "\x1B$BLZ\x1B(J"}));
}

}  // namespace
}  // namespace tolvex
