#include "compose/message.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>

#include "encoding/jis_convert.hpp"
#include "platform/native_path.hpp"
#include "test_util.hpp"

namespace tolvex {
namespace {

using testing::ReadBytes;
using testing::TempDir;
using testing::WriteBytes;

constexpr char kHyo[] = "\x95\x5C";  // 表
constexpr char kSo[] = "\x83\x5C";   // ソ

class Compose : public ::testing::Test {
 protected:
  // Writes a file named in the command file's code page 932 spelling.
  void Put(const std::string& cp932Name, std::string_view bytes) {
    WriteBytes(NativePath(dir.path(), cp932Name), bytes);
  }
  std::string Spool() { return ReadBytes(dir.path() / "TEMP.TXT"); }

  TempDir dir;
  RunState st;
};

TEST_F(Compose, AddFieldWritesFromAndToUnchanged) {
  st.FromAddr = "DummySender";
  st.ToList = "a@example.jp,  b@example.jp";
  EXPECT_EQ(AddField(st), "From: DummySender\r\nTo: a@example.jp,  b@example.jp\r\n");
  st.ToList.clear();
  EXPECT_EQ(AddField(st), "From: DummySender\r\nTo: \r\n");
  // Cc right after To, its display names encoded like To's; Bcc nowhere.
  st.CcList = std::string(kHyo) + " <c@example.jp>, d@example.jp";
  st.CcCount = 2;
  st.BccList = "hidden@example.jp";
  st.BccCount = 1;
  EXPECT_EQ(AddField(st),
            "From: DummySender\r\nTo: \r\nCc: =?ISO-2022-JP?B?GyRCST0bKEo=?= <c@example.jp>, "
            "d@example.jp\r\n");
}

TEST_F(Compose, PlainMessageGolden) {
  st.SubjectLine = "Subject: =?ISO-2022-JP?B?YWJj?=\r\n";
  st.ReplyToLine = "Reply-To: back@example.jp\r\n";
  st.FromAddr = "Sender <s@example.jp>";
  st.ToList = "a@example.jp, b@example.jp";
  st.BodyText = "\r\n\x1B$BF|K\\8l\x1B(J\r\n.dot line\r\n";
  st.TextFileData = std::string("file ") + kHyo;  // no final line break

  ASSERT_FALSE(ReadCommandFileEx(st, dir.folder()));
  const std::string expected =
      "Subject: =?ISO-2022-JP?B?YWJj?=\r\n"
      "Reply-To: back@example.jp\r\n"
      "From: Sender <s@example.jp>\r\n"
      "To: a@example.jp, b@example.jp\r\n"
      "MIME-Version: 1.0\r\n"
      "Content-Type: text/plain; charset=iso-2022-jp\r\n"
      "Content-Transfer-Encoding: 7bit\r\n"
      "X-Mailer: Tolvex (by RAVONEK)\r\n"
      "\r\n"
      "\x1B$BF|K\\8l\x1B(J\r\n"
      ".dot line\r\n"
      "file \x95\x5C"
      "\r\n"
      ".\r\n";
  EXPECT_EQ(st.MailData.Bytes(), expected);
  EXPECT_EQ(Spool(), expected + "\r\n");
}

TEST_F(Compose, PlainMessageWithoutSubjectBodyOrFile) {
  st.FromAddr = "s@example.jp";
  st.ToList = "t@example.jp";
  ASSERT_FALSE(ReadCommandFileEx(st, dir.folder()));
  const std::string expected =
      "From: s@example.jp\r\n"
      "To: t@example.jp\r\n"
      "MIME-Version: 1.0\r\n"
      "Content-Type: text/plain; charset=iso-2022-jp\r\n"
      "Content-Transfer-Encoding: 7bit\r\n"
      "X-Mailer: Tolvex (by RAVONEK)\r\n"
      ".\r\n";
  EXPECT_EQ(st.MailData.Bytes(), expected);
  EXPECT_EQ(Spool(), expected + "\r\n");
}

TEST_F(Compose, PlainBodyFollowsHeadDirectlyAndGetsClosingBreak) {
  st.FromAddr = "s";
  st.ToList = "t";
  st.BodyText = "first line\r\nlast line";
  ASSERT_FALSE(ReadCommandFileEx(st, dir.folder()));
  EXPECT_TRUE(st.MailData.Bytes().ends_with(
      "X-Mailer: Tolvex (by RAVONEK)\r\nfirst line\r\nlast line\r\n.\r\n"));

  // A file text ending in CR LF gets no second one.
  st.BodyText = "body\r\n";
  st.TextFileData = "file\r\n";
  ASSERT_FALSE(ReadCommandFileEx(st, dir.folder()));
  EXPECT_TRUE(st.MailData.Bytes().ends_with("(by RAVONEK)\r\nbody\r\nfile\r\n.\r\n"))
      << st.MailData.Bytes();
}

TEST_F(Compose, AttachmentMessageGoldenTwoFiles) {
  Put("a.txt", "abc");
  Put(std::string("dir\\") + kHyo + ".bin", std::string(54, 'x'));  // one full Base64 line
  st.FromAddr = "s@example.jp";
  st.ToList = "t@example.jp";
  st.BodyText = "hello\r\n";
  st.AttachFlag = true;
  st.FileList[1] = " a.txt";
  st.FileList[2] = std::string(" dir\\") + kHyo + ".bin ";
  st.FileCount = 2;

  ASSERT_FALSE(ReadCommandFileEx(st, dir.folder()));
  const std::string expected =
      "From: s@example.jp\r\n"
      "To: t@example.jp\r\n"
      "MIME-Version: 1.0\r\n"
      "X-Mailer: Tolvex (by RAVONEK)\r\n"
      "Content-Type: multipart/mixed; boundary=BoUnDaRy_StRiNg_Ich_Liebe_Dich\r\n"
      "\r\n"
      "--BoUnDaRy_StRiNg_Ich_Liebe_Dich\r\n"
      "Content-Type: text/plain; charset=iso-2022-jp\r\n"
      "Content-Transfer-Encoding: 7bit\r\n"
      "\r\n"
      "hello\r\n"
      "\r\n"
      "--BoUnDaRy_StRiNg_Ich_Liebe_Dich\r\n"
      "Content-Type: application/octet-stream; name=\"a.txt\"\r\n"
      "Content-Transfer-Encoding: base64\r\n"
      "\r\n"
      "YWJj"
      "\r\n"
      "--BoUnDaRy_StRiNg_Ich_Liebe_Dich\r\n"
      // 表.bin: encoded words for name=, RFC 2231 UTF-8 for filename*.
      "Content-Type: application/octet-stream;\r\n"
      " name=\"=?ISO-2022-JP?B?GyRCST0bKEouYmlu?=\"\r\n"
      "Content-Disposition: attachment; filename*=UTF-8''%E8%A1%A8.bin\r\n"
      "Content-Transfer-Encoding: base64\r\n"
      "\r\n"
      "eHh4eHh4eHh4eHh4eHh4eHh4eHh4eHh4eHh4eHh4eHh4eHh4eHh4eHh4eHh4eHh4eHh4eHh4\r\n"
      "\r\n"
      "--BoUnDaRy_StRiNg_Ich_Liebe_Dich--\r\n"
      ".\r\n";
  EXPECT_EQ(st.MailData.Bytes(), expected);
  EXPECT_EQ(Spool(), expected + "\r\n");
  // The entries stay trimmed for later sends.
  EXPECT_EQ(st.FileList[1], "a.txt");
  EXPECT_EQ(st.FileList[2], std::string("dir\\") + kHyo + ".bin");
}

TEST_F(Compose, OneAttachmentFollowsBodyDirectly) {
  Put("a.bin", "ab");
  st.FromAddr = "s";
  st.ToList = "t";
  st.BodyText = "body";
  st.AttachFlag = true;
  st.MultiFlag = true;  // attachments win
  st.FileList[1] = "a.bin";
  st.FileCount = 1;
  ASSERT_FALSE(ReadCommandFileEx(st, dir.folder()));
  EXPECT_NE(st.MailData.Bytes().find("Content-Transfer-Encoding: 7bit\r\n\r\n"
                                     "body--BoUnDaRy_StRiNg_Ich_Liebe_Dich\r\n"
                                     "Content-Type: application/octet-stream; name=\"a.bin\"\r\n"),
            std::string::npos)
      << st.MailData.Bytes();
  EXPECT_TRUE(
      st.MailData.Bytes().ends_with("\r\n\r\nYWI=\r\n--BoUnDaRy_StRiNg_Ich_Liebe_Dich--\r\n.\r\n"));
}

TEST_F(Compose, PartsFromFilesGolden) {
  Put("p1.txt", "Content-Type: text/plain\r\n\r\nhello\r\n");
  // Leading blanks go; no final break and one double-byte character leave
  // room for the CR of the added CR LF only.
  Put(std::string(kSo) + ".txt", "  Content-Type: text/html\r\n\r\n<p>\x95\x5C</p>");
  st.FromAddr = "s@example.jp";
  st.ToList = "t@example.jp";
  st.ReplyToLine = "Reply-To: r@example.jp\r\n";
  st.BodyText = "NOT PART OF THIS KIND\r\n";
  st.MultiFlag = true;
  st.FileList[1] = " p1.txt";
  st.FileList[2] = std::string(kSo) + ".txt ";
  st.FileCount = 2;

  ASSERT_FALSE(ReadCommandFileEx(st, dir.folder()));
  const std::string expected =
      "Reply-To: r@example.jp\r\n"
      "From: s@example.jp\r\n"
      "To: t@example.jp\r\n"
      "MIME-Version: 1.0\r\n"
      "X-Mailer: Tolvex (by RAVONEK)\r\n"
      "Content-Type: multipart/mixed; boundary=BoUnDaRy_StRiNg_Ich_Liebe_Dich\r\n"
      "\r\n"
      "--BoUnDaRy_StRiNg_Ich_Liebe_Dich\r\n"
      "Content-Type: text/plain\r\n"
      "\r\n"
      "hello\r\n"
      "\r\n"
      "--BoUnDaRy_StRiNg_Ich_Liebe_Dich\r\n"
      "Content-Type: text/html\r\n"
      "\r\n"
      "<p>\x95\x5C</p>\r"
      "\r\n"
      "\r\n"
      "--BoUnDaRy_StRiNg_Ich_Liebe_Dich--\r\n"
      ".\r\n";
  EXPECT_EQ(st.MailData.Bytes(), expected);
  EXPECT_EQ(Spool(), expected + "\r\n");
  EXPECT_EQ(st.FileList[1], "p1.txt");
  EXPECT_EQ(st.FileList[2], std::string(kSo) + ".txt");
}

// The longest line of a message, CR LF not counted (CR and LF each end a
// line).
std::size_t LongestLine(std::string_view m) {
  std::size_t longest = 0, start = 0;
  for (std::size_t i = 0; i <= m.size(); ++i) {
    if (i == m.size() || m[i] == '\r' || m[i] == '\n') {
      longest = std::max(longest, i - start);
      start = i + 1;
    }
  }
  return longest;
}

// Lines over 998 octets are broken wherever a text goes out: the plain
// body and the text file, the attachment message's text part, part files.
// The break inside two-byte text returns to one-byte text and comes back.
TEST_F(Compose, NoLineOfAnyKindPassesTheLimit) {
  const std::string kanji = "\x1B$B" + std::string(1200, '!') + "\x1B(J";  // 600 pairs
  st.FromAddr = "s@example.jp";
  st.ToList = "t@example.jp";
  st.BodyText = "\r\n" + std::string(2500, 'x') + "\r\n" + kanji + "\r\n";
  st.TextFileData = kanji;
  ASSERT_FALSE(ReadCommandFileEx(st, dir.folder()));
  const std::string& plain = st.MailData.Bytes();
  EXPECT_EQ(LongestLine(plain), 998u);
  const std::string brokenKanji =
      "\x1B$B" + std::string(992, '!') + "\x1B(J\r\n\x1B$B" + std::string(208, '!') + "\x1B(J";
  EXPECT_NE(plain.find("RAVONEK)\r\n\r\n" + std::string(998, 'x') + "\r\n" + std::string(998, 'x') +
                       "\r\n" + std::string(504, 'x') + "\r\n" + brokenKanji + "\r\n" +
                       brokenKanji + "\r\n.\r\n"),
            std::string::npos);

  st.AttachFlag = true;
  Put("a.bin", std::string(3000, 'a'));
  st.FileList[1] = "a.bin";
  st.FileCount = 1;
  ASSERT_FALSE(ReadCommandFileEx(st, dir.folder()));
  EXPECT_EQ(LongestLine(st.MailData.Bytes()), 998u);
  EXPECT_NE(st.MailData.Bytes().find(brokenKanji), std::string::npos);

  st.AttachFlag = false;
  st.MultiFlag = true;
  // A Shift_JIS part: 表 (95 5C) is never split, its line ends one short.
  Put("p.txt", "Content-Type: text/plain; charset=shift_jis\r\n\r\n" + std::string(997, 'p') +
                   kHyo + "q\r\n");
  st.FileList[1] = "p.txt";
  ASSERT_FALSE(ReadCommandFileEx(st, dir.folder()));
  EXPECT_EQ(LongestLine(st.MailData.Bytes()), 997u);
  EXPECT_NE(st.MailData.Bytes().find(std::string(997, 'p') + "\r\n" + kHyo + "q\r\n"),
            std::string::npos);
}

// Each row: the text written (in pieces split at "|"), what goes out, with a
// limit of 16 octets.
TEST(LineLimiter, BreaksOnlyWhereALineWouldPassTheLimit) {
  const struct {
    const char* in;
    const char* out;
  } rows[] = {
      {"abc\r\ndef", "abc\r\ndef"},
      {"aaaaaaaaaaaaaaa\naaaaaaaaaaaaaaa\rb", "aaaaaaaaaaaaaaa\naaaaaaaaaaaaaaa\rb"},
      {"aaaaaaaaaaaaaaaaaaaa", "aaaaaaaaaaaaaaaa\r\naaaa"},
      // two-byte text: room kept for the return, which closes each line
      {"\x1B$B!!\"\"##$$%%&&''((\x1B(Jx", "\x1B$B!!\"\"##$$%%\x1B(J\r\n\x1B$B&&''((\x1B(Jx"},
      {"\x1B$B!!\"\"##$$%%&&''((\x1B(Bx\\", "\x1B$B!!\"\"##$$%%\x1B(J\r\n\x1B$B&&''((\x1B(Bx\\"},
      // the state goes on from one piece to the next
      {"\x1B$B!!\"\"##|$$%%&&\x1B(J", "\x1B$B!!\"\"##$$%%\x1B(J\r\n\x1B$B&&\x1B(J"},
      // an escape into two-byte text goes where a pair fits after it
      {"aaaaaaaaaa\x1B$B!!\x1B(J", "aaaaaaaaaa\r\n\x1B$B!!\x1B(J"},
      {"aaaaaaaa\x1B$B!!\x1B(J", "aaaaaaaa\x1B$B!!\x1B(J"},
      // a code page 932 character is not split; an escape is one unit
      {"aaaaaaaaaaaaaaa\x95\x5C", "aaaaaaaaaaaaaaa\r\n\x95\x5C"},
      {"aaaaaaaaaaaaaa\x1B(Jb", "aaaaaaaaaaaaaa\r\n\x1B(Jb"},
  };
  for (const auto& row : rows) {
    std::string out;
    StringWriter writer(out);
    LineLimiter limiter(writer, 16);
    std::string_view in = row.in;
    for (std::size_t bar; (bar = in.find('|')) != std::string_view::npos; in.remove_prefix(bar + 1))
      ASSERT_FALSE(limiter.Write(in.substr(0, bar)));
    ASSERT_FALSE(limiter.Write(in));
    EXPECT_EQ(out, row.out) << row.in;
  }
}

// Converted text of every shape, kanji runs and one-byte runs of random
// lengths on one long line: every line fits, and taking the breaks out
// gives the text back.
TEST(LineLimiter, BrokenTextIsTheTextWhateverItsShape) {
  std::mt19937 rng(7);
  for (int round = 0; round < 200; ++round) {
    std::string sjisText;
    while (sjisText.size() < 5000) {
      const std::size_t n = rng() % 600;
      for (std::size_t k = 0; k < n; ++k) sjisText += rng() % 2 ? std::string(kHyo) : "a\\";
    }
    const std::string jis = SjisToJis(sjisText);
    std::string out;
    StringWriter writer(out);
    ASSERT_FALSE(LineLimiter(writer).Write(jis));
    EXPECT_LE(LongestLine(out), 998u);
    std::string joined = out;
    for (std::size_t at; (at = joined.find("\x1B(J\r\n\x1B$B")) != std::string::npos;)
      joined.erase(at, 8);
    for (std::size_t at; (at = joined.find("\r\n")) != std::string::npos;) joined.erase(at, 2);
    EXPECT_EQ(joined, jis) << "round " << round;
  }
}

TEST_F(Compose, EveryCompositionRereadsFilesAndReplacesMailData) {
  Put("a.bin", "abc");
  st.AttachFlag = true;
  st.FileList[1] = "a.bin";
  st.FileCount = 1;
  ASSERT_FALSE(ReadCommandFileEx(st, dir.folder()));
  const std::string first = st.MailData.Bytes();
  Put("a.bin", "xyz");
  ASSERT_FALSE(ReadCommandFileEx(st, dir.folder()));
  EXPECT_EQ(st.MailData.Bytes().size(), first.size());
  EXPECT_NE(st.MailData.Bytes().find("eHl6\r\n"), std::string::npos);  // Base64 of "xyz"
  EXPECT_EQ(st.MailData.Bytes().find("YWJj"), std::string::npos);
  EXPECT_EQ(Spool(), st.MailData.Bytes() + "\r\n");
}

TEST_F(Compose, ZeroByteAttachmentHasEmptyBase64) {
  Put("empty.bin", "");
  st.AttachFlag = true;
  st.FileList[1] = "empty.bin";
  st.FileCount = 1;
  ASSERT_FALSE(ReadCommandFileEx(st, dir.folder()));
  EXPECT_TRUE(st.MailData.Bytes().ends_with(
      "name=\"empty.bin\"\r\nContent-Transfer-Encoding: base64\r\n\r\n"
      "\r\n--BoUnDaRy_StRiNg_Ich_Liebe_Dich--\r\n.\r\n"));
}

TEST_F(Compose, LargeAttachmentIsReservedOnceAndEncodedWhole) {
  std::string bytes(1 << 20, '\0');
  std::mt19937 rng(7);
  for (char& c : bytes) c = static_cast<char>(rng() & 0xFF);
  Put("big.bin", bytes);
  st.AttachFlag = true;
  st.FileList[1] = "big.bin";
  st.FileCount = 1;
  st.BodyText = "see attachment\r\n";
  ASSERT_FALSE(ReadCommandFileEx(st, dir.folder()));

  const std::string mail = st.MailData.Bytes();
  const std::string open = "Content-Transfer-Encoding: base64\r\n\r\n";
  const std::size_t from = mail.find(open) + open.size();
  const std::size_t to = mail.find("\r\n--BoUnDaRy_StRiNg_Ich_Liebe_Dich--");
  ASSERT_NE(to, std::string::npos);
  EXPECT_EQ(testing::DecodeBase64(std::string_view(mail).substr(from, to - from)), bytes);
}

// --- Failures ---------------------------------------------------------------

class ComposeFailure : public Compose {
 protected:
  void SetUp() override {
    WriteBytes(dir.path() / "TEMP.TXT", "previous send\r\n");
    st.FromAddr = "s";
    st.ToList = "t";
  }
  void ExpectNothingComposed() {
    EXPECT_TRUE(st.MailData.Empty());
    EXPECT_EQ(Spool(), "previous send\r\n");
  }
};

TEST_F(ComposeFailure, MissingAttachment) {
  Put("a.bin", "abc");
  st.AttachFlag = true;
  st.FileList[1] = "a.bin";
  st.FileList[2] = " gone.bin";
  st.FileCount = 2;
  Status s = ReadCommandFileEx(st, dir.folder());
  ASSERT_TRUE(s);
  EXPECT_EQ(s->kind, FailureKind::InputMissing);
  EXPECT_EQ(s->message.rfind("cannot read attachment \"gone.bin\": ", 0), 0u) << s->message;
  ExpectNothingComposed();
}

TEST_F(ComposeFailure, EmptyEntryAndFolderEntry) {
  Put("a.bin", "abc");
  std::filesystem::create_directories(dir.path() / "folder");
  st.AttachFlag = true;
  st.FileList[1] = "a.bin";
  st.FileList[2] = "  ";
  st.FileCount = 2;
  Status s = ReadCommandFileEx(st, dir.folder());
  ASSERT_TRUE(s);
  EXPECT_EQ(s->kind, FailureKind::InputMissing);
  EXPECT_EQ(s->message, "cannot read attachment \"\": empty file name");
  ExpectNothingComposed();

  st.FileList[2] = "folder";
  s = ReadCommandFileEx(st, dir.folder());
  ASSERT_TRUE(s);
  EXPECT_EQ(s->message, "cannot read attachment \"folder\": is a directory");
  ExpectNothingComposed();
}

TEST_F(ComposeFailure, MissingPartFile) {
  Put("p1.txt", "x\r\n");
  st.MultiFlag = true;
  st.FileList[1] = "p1.txt";
  st.FileList[2] = std::string(kHyo) + ".txt";
  st.FileCount = 2;
  Status s = ReadCommandFileEx(st, dir.folder());
  ASSERT_TRUE(s);
  EXPECT_EQ(s->kind, FailureKind::InputMissing);
  EXPECT_EQ(s->message.rfind(std::string("cannot read part file \"") + kHyo + ".txt\": ", 0), 0u);
  ExpectNothingComposed();
}

TEST_F(ComposeFailure, PartFileOverflowingItsBuffer) {
  Put("cr.txt", "a\rb\rc");  // CR-alone lines grow beyond the file size
  st.MultiFlag = true;
  st.FileList[1] = "cr.txt";
  st.FileCount = 1;
  Status s = ReadCommandFileEx(st, dir.folder());
  ASSERT_TRUE(s);
  EXPECT_NE(s->message.find("cannot read part file \"cr.txt\": lines end in CR alone"),
            std::string::npos)
      << s->message;
  ExpectNothingComposed();
}

TEST_F(ComposeFailure, SpoolFileCannotBeWritten) {
  std::filesystem::remove(dir.path() / "TEMP.TXT");
  std::filesystem::create_directories(dir.path() / "TEMP.TXT");  // a folder in its place
  Status s = ReadCommandFileEx(st, dir.folder());
  ASSERT_TRUE(s);
  EXPECT_EQ(s->kind, FailureKind::SpoolWriteFailed);
  EXPECT_NE(s->message.find("TEMP.TXT"), std::string::npos);
  EXPECT_TRUE(st.MailData.Empty());
}

}  // namespace
}  // namespace tolvex
