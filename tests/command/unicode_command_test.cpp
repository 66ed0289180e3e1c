// Command files written as Shift_JIS, UTF-8 and UTF-16: the same text gives
// the same ISO-2022-JP message byte for byte while it fits, and the UTF-8
// form, every byte below 0x80, when it does not.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "command/command_file.hpp"
#include "compose/message.hpp"
#include "compose/test_util.hpp"
#include "encoding/jis_convert.hpp"
#include "encoding/jis_decode.hpp"

namespace tolvex {
namespace {

// The UTF-16 of UTF-8 text, with its BOM.
std::string Utf16(std::string_view utf8, bool bigEndian) {
  std::string out = bigEndian ? "\xFE\xFF" : "\xFF\xFE";
  auto unit = [&](unsigned u) {
    const char hi = static_cast<char>(u >> 8), lo = static_cast<char>(u & 0xFF);
    out += bigEndian ? std::string{hi, lo} : std::string{lo, hi};
  };
  for (std::size_t i = 0; i < utf8.size();) {
    const auto c = static_cast<unsigned char>(utf8[i]);
    const std::size_t n = c < 0x80 ? 1 : c < 0xE0 ? 2 : c < 0xF0 ? 3 : 4;
    unsigned cp = n == 1 ? c : c & (0x7F >> n);
    for (std::size_t k = 1; k < n; ++k) cp = cp << 6 | (utf8[i + k] & 0x3F);
    if (cp >= 0x10000) {
      unit(0xD800 + ((cp - 0x10000) >> 10));
      unit(0xDC00 + ((cp - 0x10000) & 0x3FF));
    } else {
      unit(cp);
    }
    i += n;
  }
  return out;
}

std::string Lf(std::string crlf) {
  for (std::size_t at; (at = crlf.find("\r\n")) != std::string::npos;) crlf.erase(at, 1);
  return crlf;
}

class UnicodeCommandTest : public ::testing::Test {
 protected:
  // The message the command file describes; `files` are written first.
  std::string Message(const std::string& command,
                      std::initializer_list<std::pair<std::string, std::string>> files = {}) {
    testing::TempDir dir;
    for (const auto& [name, bytes] : files) testing::WriteBytes(dir.path() / name, bytes);
    testing::WriteBytes(dir.path() / kCommandFileName, command);
    EffectRecorder effects;
    st = RunState{};
    st.FromAddr = "DummySender";
    failedAs.reset();
    if (Status s = ReadCommandFile(st, effects, dir.folder())) {
      failedAs = s->kind;
      return "failed: " + s->message;
    }
    std::string mail;
    StringWriter out(mail);
    if (Status s = ComposeMessage(st, dir.folder(), out)) return "failed: " + s->message;
    return mail;
  }
  RunState st;
  std::optional<FailureKind> failedAs;  // the kind of the last reading's failure
};

// Lines in UTF-8 and the same lines in Shift_JIS. 表, ソ and 能 end in 0x5C.
const std::string kUtf8 =
    "#HOS=h\r\n#FRO=山田 太郎 <y@example.jp>\r\n#TO=鈴木 <s@example.jp>\r\n#CC=鈴木 "
    "<c@example.jp>\r\n"
    "#SUB=表ソ能の件\r\n#ATT=表.txt\r\n\r\n本文 表ソ能\r\n";
const std::string kSjis =
    "#HOS=h\r\n#FRO=\x8E\x52\x93\x63\x20\x91\xBE\x98\x59 <y@example.jp>\r\n"
    "#TO=\x97\xE9\x96\xD8 <s@example.jp>\r\n#CC=\x97\xE9\x96\xD8 "
    "<c@example.jp>\r\n#SUB=\x95\x5C\x83\x5C\x94\x5C\x82\xCC\x8C\x8F\r\n"
    "#ATT=\x95\x5C.txt\r\n\r\n\x96\x7B\x95\xB6\x20\x95\x5C\x83\x5C\x94\x5C\r\n";

TEST_F(UnicodeCommandTest, EveryEncodingOfTheSameTextGivesTheSameMessage) {
  const std::pair<std::string, std::string> attachment{"表.txt", "data"};
  const std::string golden = Message(kSjis, {attachment});
  ASSERT_NE(golden.find("charset=iso-2022-jp"), std::string::npos) << golden;
  ASSERT_NE(golden.find("name=\"=?ISO-2022-JP?B?"), std::string::npos) << golden;
  ASSERT_NE(golden.find("\r\nCc: =?ISO-2022-JP?B?GyRCTmtMWhsoSg==?= <c@example.jp>\r\n"),
            std::string::npos)
      << golden;
  const std::pair<const char*, std::string> inputs[] = {
      {"Shift_JIS LF", Lf(kSjis)},
      {"UTF-8", kUtf8},
      {"UTF-8 LF", Lf(kUtf8)},
      {"UTF-8 BOM", "\xEF\xBB\xBF" + kUtf8},
      {"UTF-16 LE", Utf16(kUtf8, false)},
      {"UTF-16 BE", Utf16(Lf(kUtf8), true)},
  };
  for (const auto& [label, bytes] : inputs) {
    EXPECT_EQ(Message(bytes, {attachment}), golden) << label;
    EXPECT_EQ(st.Charset, MessageCharset::Iso2022Jp) << label;
  }
}

// The misspelled-directive stop, quoted names and "/" in attachment paths
// read the same whatever the command file's encoding.
TEST_F(UnicodeCommandTest, AddressesPathsAndMisspellingsInEveryEncoding) {
  const std::string misspelled = "#SVR=h\r\n#USR=u\r\n#PAS=Zq9\r\n";
  const std::string refused = Message(misspelled);
  EXPECT_EQ(refused.rfind("failed: command.txt line 1: \"#SVR\" is no directive", 0), 0u)
      << refused;
  const std::string utf8 =
      "#TO=\"鈴木, 一郎\" <s@example.jp>\r\n#ATT=資料/表ソ.txt\r\n\r\n本文\r\n";
  const std::string sjis =
      "#TO=\"\x97\xE9\x96\xD8, \x88\xEA\x98\x59\" <s@example.jp>\r\n"
      "#ATT=\x8E\x91\x97\xBF/\x95\x5C\x83\x5C.txt\r\n\r\n\x96\x7B\x95\xB6\r\n";
  const std::pair<std::string, std::string> file{"資料/表ソ.txt", "data"};
  const std::string golden = Message(sjis, {file});
  EXPECT_EQ(st.ToCount, 1);
  // name= carries 表ソ.txt alone: ESC $ B "I=%=" ESC ( J ".txt".
  EXPECT_NE(golden.find("name=\"=?ISO-2022-JP?B?" + EncodeBase64("\x1B$BI=%=\x1B(J.txt") + "?=\""),
            std::string::npos)
      << golden;
  for (bool bigEndian : {false, true}) {
    EXPECT_EQ(Message("\xEF\xBB\xBF" + misspelled), refused);
    EXPECT_EQ(Message(Utf16(misspelled, bigEndian)), refused);
    EXPECT_EQ(Message(Utf16(utf8, bigEndian), {file}), golden);
    EXPECT_EQ(Message(utf8, {file}), golden);
  }
}

TEST_F(UnicodeCommandTest, TextFileTextIsConvertedWhateverItsEncoding) {
  const std::string command = "#TEX=r.txt\r\n\r\nbody\r\n";
  // 報告 表ソ能 ﾃｽﾄ: the half-width kana keep a Shift_JIS file Shift_JIS.
  const std::string sjis = "\x95\xF1\x8D\x90\x20\x95\x5C\x83\x5C\x94\x5C\x20\xC3\xBD\xC4";
  const std::string fromSjis = Message(command, {{"r.txt", "  " + sjis + "\r\n"}});
  EXPECT_NE(fromSjis.find("\r\nbody\r\n\x1B$BJs9p\x1B(J \x1B$BI=%=G=\x1B(J \xC3\xBD\xC4\r\n.\r\n"),
            std::string::npos)
      << fromSjis;
  // The same text in UTF-8 (no kana): the same ISO-2022-JP bytes, trailing
  // blanks and empty lines gone.
  const std::string fromUtf8 = Message(command, {{"r.txt", "報告 表ソ能\n二行目 \t\n\n"}});
  EXPECT_NE(fromUtf8.find("\r\nbody\r\n\x1B$BJs9p\x1B(J \x1B$BI=%=G=\x1B(J\r\n"
                          "\x1B$BFs9TL\\\x1B(J\r\n.\r\n"),
            std::string::npos)
      << fromUtf8;
  // A UTF-8 text file with an emoji makes a UTF-8 command file's message UTF-8.
  Message("#TEX=r.txt\r\n\r\n本文\r\n", {{"r.txt", "ok 😀"}});
  EXPECT_EQ(st.Charset, MessageCharset::Utf8);
  EXPECT_EQ(st.CharsetReason, "UTF-8: 😀 U+1F600 in the text file has no ISO-2022-JP form");
}

// A text file that ends in a one-byte run holding a backslash returns to
// ASCII there and needs no closing escape of its own.
TEST_F(UnicodeCommandTest, TextFileEndingInABackslashRunIsClosedOnce) {
  const std::string mail = Message("#TEX=r.txt\r\n\r\nbody\r\n", {{"r.txt", "\x8C\x8E\\\r\n"}});
  EXPECT_NE(mail.find("\r\nbody\r\n\x1B$B7n\x1B(B\\\r\n.\r\n"), std::string::npos) << mail;
}

// A file whose BOM says UTF-8 or UTF-16 but that holds no such text stops
// the reading (65), naming the file and the first bad line; a file without
// BOM that looks like UTF-8 with a stray byte is read as Shift_JIS with a
// notice.
TEST_F(UnicodeCommandTest, FilesBelyingTheirEncoding) {
  const std::string utf8 = "#TO=a@x\r\n\r\n日本語の本文です。\r\n";  // 9 characters of 3 bytes
  struct Case {
    const char* label;
    std::string command;
    std::string textFile;  // r.txt, when the command file names it
    std::string failure;   // empty: read, with `notice` (or none)
    std::string notice;
  };
  const Case cases[] = {
      {"BOM, then a stray byte", "\xEF\xBB\xBF" + utf8 + "\xFF\r\n", "",
       "command.txt line 4: invalid UTF-8 after the UTF-8 BOM: byte 0xFF", ""},
      {"UTF-16 LE, a lone high surrogate",
       Utf16("#TO=a@x\n\nab", false) + std::string("\x00\xD8", 2), "",
       "command.txt line 3: a lone UTF-16 surrogate 0xD800", ""},
      {"UTF-16 BE, a lone low surrogate first", Utf16("", true) + std::string("\xDC\x00\x00a", 4),
       "", "command.txt line 1: a lone UTF-16 surrogate 0xDC00", ""},
      {"UTF-16 LE, an odd byte count", Utf16("#TO=a@x\r\n\r\nb", false) + "c", "",
       "command.txt line 3: an odd number of bytes: the last one, 0x63, is half a UTF-16 code unit",
       ""},
      {"text file, BOM then a cut sequence", "#TEX=r.txt\r\n\r\nx\r\n",
       "\xEF\xBB\xBFok\r\n\r\n\xE6\x97",
       "text file \"r.txt\" line 3: invalid UTF-8 after the "
       "UTF-8 BOM: byte 0xE6",
       ""},
      {"text file, UTF-16 odd", "#TEX=r.txt\r\n\r\nx\r\n", Utf16("a", false) + "b",
       "text file \"r.txt\" line 1: an odd number of bytes: the last one, 0x62, is half a UTF-16 "
       "code unit",
       ""},
      {"no BOM, UTF-8 with a stray byte", utf8 + "\x81x\r\n", "", "",
       "command.txt is probably damaged UTF-8 (line 4: byte 0x81 is no UTF-8); it is read as "
       "Shift_JIS"},
      {"no BOM, text file UTF-8 with a stray byte", "#TEX=r.txt\r\n\r\nx\r\n",
       "一\n二\n三\n四\n五\n\xC0六七八\n", "",
       "text file \"r.txt\" is probably damaged UTF-8 (line 6: byte 0xC0 is no UTF-8); it is read "
       "as Shift_JIS"},
      {"Shift_JIS", kSjis, "", "", ""},
      {"too few characters to tell", "#TO=a@x\r\n\r\n日本\xFF\r\n", "", "", ""},
  };
  for (const Case& c : cases) {
    const std::string mail =
        c.textFile.empty() ? Message(c.command) : Message(c.command, {{"r.txt", c.textFile}});
    if (c.failure.empty()) {
      EXPECT_EQ(failedAs, std::nullopt) << c.label << ": " << mail;
      EXPECT_EQ(st.TextNotices,
                c.notice.empty() ? std::vector<std::string>{} : std::vector<std::string>{c.notice})
          << c.label;
    } else {
      EXPECT_EQ(mail, "failed: " + c.failure) << c.label;
      EXPECT_EQ(failedAs, FailureKind::CommandFileBad) << c.label;
    }
  }
}

TEST_F(UnicodeCommandTest, CharsetRule) {
  struct Case {
    std::string command;
    MessageCharset charset;
    std::string reason;
    std::size_t lost;
  };
  const Case cases[] = {
      {kSjis, MessageCharset::Iso2022Jp, "ISO-2022-JP: the command file is Shift_JIS", 0},
      {"#CHR=utf-8\r\n" + kSjis, MessageCharset::Utf8, "UTF-8: #CHR=utf-8", 0},
      {"#CHR=AUTO\r\n#SUB=\xB6\r\n", MessageCharset::Utf8,
       "UTF-8: ｶ U+FF76 in the subject has no ISO-2022-JP form", 0},
      {kUtf8, MessageCharset::Iso2022Jp, "ISO-2022-JP: every character is ASCII or JIS X 0208", 0},
      // Mac and Linux forms of JIS X 0208 characters: 〜 − ‖ ¢ £ ¬ —.
      {"#SUB=\xE3\x80\x9C\xE2\x88\x92\xE2\x80\x96\xC2\xA2\xC2\xA3\xC2\xAC\xE2\x80\x94\r\n",
       MessageCharset::Iso2022Jp, "ISO-2022-JP: every character is ASCII or JIS X 0208", 0},
      {"#SUB=😀\r\n", MessageCharset::Utf8,
       "UTF-8: 😀 U+1F600 in the subject has no ISO-2022-JP form", 0},
      {"#TO=髙橋 <t@x>\r\n", MessageCharset::Utf8,
       "UTF-8: 髙 U+9AD9 in the recipients has no ISO-2022-JP form", 0},
      {"#CC=①課 <c@x>\r\n", MessageCharset::Utf8,
       "UTF-8: ① U+2460 in the copy recipients has no ISO-2022-JP form", 0},
      {"\r\n①\r\n", MessageCharset::Utf8, "UTF-8: ① U+2460 in the body has no ISO-2022-JP form", 0},
      {"#CHR=iso-2022-jp\r\n#SUB=😀𠮷 表\r\n", MessageCharset::Iso2022Jp,
       "ISO-2022-JP: #CHR=iso-2022-jp", 2},
  };
  for (const Case& c : cases) {
    const std::string mail = Message(c.command);
    EXPECT_EQ(st.Charset, c.charset) << c.command;
    EXPECT_EQ(st.CharsetReason, c.reason) << c.command;
    EXPECT_EQ(st.CharsetLost, c.lost) << c.command;
  }
  // Forced ISO-2022-JP: the geta mark for each character without a form
  // (a one-word subject has no closing escape, as ever).
  EXPECT_EQ(st.SubjectLine, "Subject: =?ISO-2022-JP?B?GyRCIi4iLhsoSiAbJEJJPQ==?=\r\n");
  // Those forms give the bytes the Shift_JIS characters give.
  EXPECT_EQ(Message("#SUB=\xE3\x80\x9C\xE2\x88\x92\xE2\x80\x94\r\n"),
            Message("#SUB=\x81\x60\x81\x7C\x81\x5C\r\n"));
  EXPECT_EQ(Message("#CHR=latin1\r\n"),
            "failed: command.txt line 1: \"#CHR\" value \"latin1\" is "
            "not iso-2022-jp, utf-8 or auto");
}

TEST_F(UnicodeCommandTest, Utf8MessageIsSevenBitAndDecodes) {
  const std::string command =
      "#FRO=\"山田 😀\" <y@example.jp>\r\n#TO=𠮷野 <k@example.jp>, b@example.jp\r\n"
      "#CC=𠮷野 <c@example.jp>\r\n"
      "#SUB=絵文字 😀 と 𠮷 と ｶﾀｶﾅ の件名、折り返されるほど長い件名がここに続きます。\r\n"
      "#ATT=ファイル😀.txt,a\"b.txt\r\n\r\n本文 😀 𠮷\r\n";
  const std::string mail =
      Message(command, {{"ファイル😀.txt", "data"}, {"a\"b.txt", std::string("\x80\xFF", 2)}});
  ASSERT_EQ(mail.rfind("failed", 0), std::string::npos) << mail;
  EXPECT_EQ(st.Charset, MessageCharset::Utf8);
  std::size_t line = 0;
  for (std::size_t at = 0; at < mail.size(); ++at) {
    ASSERT_LT(static_cast<unsigned char>(mail[at]), 0x80) << at;
    if (mail[at] == '\n') {
      EXPECT_LE(at - line, 78u) << mail.substr(line, at - line);  // 76 and CR LF
      line = at + 1;
    }
  }
  for (const char* piece : {
           "From: =?UTF-8?B?5bGx55SwIPCfmIA=?= <y@example.jp>\r\n",
           "To: =?UTF-8?B?8KCut+mHjg==?= <k@example.jp>, b@example.jp\r\n"
           "Cc: =?UTF-8?B?8KCut+mHjg==?= <c@example.jp>\r\n",
           "\r\n--BoUnDaRy_StRiNg_Ich_Liebe_Dich\r\nContent-Type: text/plain; charset=UTF-8\r\n"
           "Content-Transfer-Encoding: base64\r\n\r\n",
           "Content-Type: application/octet-stream; name=\"a\\\"b.txt\"\r\n"
           "Content-Disposition: attachment; filename*=UTF-8''a%22b.txt\r\n",
           " filename*=UTF-8''%E3%83%95%E3%82%A1%E3%82%A4%E3%83%AB%F0%9F%98%80.txt\r\n",
       }) {
    EXPECT_NE(mail.find(piece), std::string::npos) << piece << "\n" << mail;
  }
  // The text part decodes to the body as written.
  const std::size_t start = mail.find("base64\r\n\r\n") + 10;
  const std::optional<std::string> body =
      DecodeBase64(mail.substr(start, mail.find("\r\n\r\n", start) - start));
  ASSERT_TRUE(body);
  EXPECT_EQ(*body, "ファイル😀.txt,a\"b.txt\r\n-----\r\n\r\n本文 😀 𠮷\r\n");
}

}  // namespace
}  // namespace tolvex
