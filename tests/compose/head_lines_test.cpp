// The Date: and Message-ID: head lines, and where composition puts them.
#include "compose/head_lines.hpp"

#include <gtest/gtest.h>

#include <regex>
#include <set>

#include "compose/message.hpp"
#include "platform/native_path.hpp"
#include "test_util.hpp"

namespace tolvex {
namespace {

LocalTime At(int y, int mo, int d, int wd, int h, int mi, int s, int offset) {
  return LocalTime{y, mo, d, wd, h, mi, s, offset};
}

TEST(DateLine, Rfc5322FormWithEnglishNamesAndANumericZone) {
  EXPECT_EQ(DateLine(At(2026, 12, 7, 1, 9, 32, 2, 540)),
            "Date: Mon, 7 Dec 2026 09:32:02 +0900\r\n");
  EXPECT_EQ(DateLine(At(2027, 1, 31, 0, 23, 59, 60, 0)),
            "Date: Sun, 31 Jan 2027 23:59:60 +0000\r\n");
  EXPECT_EQ(DateLine(At(2026, 7, 4, 6, 0, 0, 0, -(3 * 60 + 30))),
            "Date: Sat, 4 Jul 2026 00:00:00 -0330\r\n");
  EXPECT_EQ(DateLine(At(2026, 3, 15, 0, 12, 5, 9, 345)),
            "Date: Sun, 15 Mar 2026 12:05:09 +0545\r\n");
}

TEST(MessageIdDomain, SenderThenLocalNameWithADotThenAFixedName) {
  EXPECT_EQ(MessageIdDomain("\x91\x97 <taro@mail.example.jp>", "pc01.lan"), "mail.example.jp");
  EXPECT_EQ(MessageIdDomain("taro@example.jp", ""), "example.jp");
  EXPECT_EQ(MessageIdDomain("DummySender", "pc01.example.jp"), "pc01.example.jp");
  EXPECT_EQ(MessageIdDomain("DummySender", "pc01"), "localhost.localdomain");
  // A domain a Message-ID cannot carry is passed over.
  EXPECT_EQ(MessageIdDomain("taro@\x95\x5C.jp", "host.lan"), "host.lan");
  EXPECT_EQ(MessageIdDomain("taro@", "bad..name"), "localhost.localdomain");
  EXPECT_EQ(MessageIdDomain("a@b@example.jp", ""), "example.jp");
  // The mailbox the envelope carries, not text after it or inside quotes.
  EXPECT_EQ(MessageIdDomain("\"A\" <t@x.example.jp> (b@corp.example)", ""), "x.example.jp");
  EXPECT_EQ(MessageIdDomain("\"Evil <boss@corp.example>\" <t@x.jp>", ""), "x.jp");
}

TEST(MessageIdMaker, EverySendHasItsOwnIdentifier) {
  const LocalTime t = At(2026, 12, 7, 1, 9, 32, 2, 540);
  const std::regex form(R"(Message-ID: <20261207093202\.[0-9a-f]{16}\.[0-9]+@example\.jp>\r\n)");
  std::set<std::string> seen;
  MessageIdMaker one;
  MessageIdMaker other;  // another process at the same second
  for (int i = 0; i < 200; ++i) {
    for (MessageIdMaker* m : {&one, &other}) {
      const std::string line = m->Line(t, "example.jp");
      EXPECT_TRUE(std::regex_match(line, form)) << line;
      EXPECT_TRUE(seen.insert(line).second) << line;
    }
  }
}

TEST(StampLines, DateThenMessageId) {
  MessageIdMaker ids;
  const std::string lines = StampLines(At(2026, 12, 7, 1, 9, 32, 2, 540), "a@example.jp", "", ids);
  EXPECT_EQ(lines.rfind("Date: Mon, 7 Dec 2026 09:32:02 +0900\r\nMessage-ID: <", 0), 0u);
  EXPECT_NE(lines.find("@example.jp>\r\n"), std::string::npos);
}

// The two lines go between "To:" and "MIME-Version:" in all three kinds;
// every other byte stays as it was without them.
TEST(StampLines, StandAfterToInEveryKindAndChangeNothingElse) {
  testing::TempDir dir;
  testing::WriteBytes(NativePath(dir.path(), "a.bin"), "abc");
  testing::WriteBytes(NativePath(dir.path(), "p.txt"), "Content-Type: text/plain\r\n\r\npart\r\n");
  const std::string stamp =
      "Date: Mon, 7 Dec 2026 09:32:02 +0900\r\nMessage-ID: <1.2@example.jp>\r\n";
  for (int kind = 0; kind < 3; ++kind) {
    RunState st;
    st.SubjectLine = "Subject: s\r\n";
    st.FromAddr = "a@example.jp";
    st.ToList = "b@example.jp";
    st.BodyText = "\r\nbody\r\n";
    st.AttachFlag = kind == 1;
    st.MultiFlag = kind == 2;
    st.FileCount = 1;
    st.FileList[1] = kind == 1 ? "a.bin" : "p.txt";
    std::string bare, stamped;
    StringWriter bareOut(bare), stampedOut(stamped);
    RunState copy = st;
    ASSERT_FALSE(ComposeMessage(copy, dir.folder(), bareOut));
    st.StampLines = stamp;
    ASSERT_FALSE(ComposeMessage(st, dir.folder(), stampedOut));
    const std::string to = "To: b@example.jp\r\n";
    const std::size_t at = bare.find(to) + to.size();
    ASSERT_EQ(bare.compare(at, 19, "MIME-Version: 1.0\r\n"), 0) << kind;
    EXPECT_EQ(stamped, bare.substr(0, at) + stamp + bare.substr(at)) << kind;
  }
}

}  // namespace
}  // namespace tolvex
