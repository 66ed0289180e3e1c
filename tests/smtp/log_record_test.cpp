// The LOG.txt record: one line per session whatever the server sends.
#include "smtp/log_record.hpp"

#include <gtest/gtest.h>

#include <string>

namespace tolvex {
namespace {

TEST(LogRecord, AnOrdinaryReplyIsWrittenAsItCame) {
  EXPECT_EQ(FormatLogRecord("2026/12/07 9:05:03", SmtpStep::AWAIT_MAIL_FROM_RESPONSE,
                            "550 5.1.1 <nobody@example.jp>: rejected\r\n"),
            "2026/12/07 9:05:03 140 550 5.1.1 <nobody@example.jp>: rejected\r\n\r\n");
  EXPECT_EQ(FormatLogRecord("d t", SmtpStep::IDLE, ""), "d t 0 \r\n");
  EXPECT_EQ(FormatLogRecord("d t", SmtpStep::FAILED, "no line end"), "d t 999 no line end\r\n");
}

TEST(LogRecord, AReplyCannotForgeASecondRecordOrControlTheTerminal) {
  using namespace std::string_literals;
  const std::string forged = "554 no\r\n2026/12/07 9:00:00 0 \r\n\x1B[2J\x07\t\x00 end\r\n"s;
  const std::string record = FormatLogRecord("d t", SmtpStep::AWAIT_GREETING, forged);
  EXPECT_EQ(record,
            "d t 120 554 no\\r\\n2026/12/07 9:00:00 0 \\r\\n\\x1B[2J\\x07\\t\\x00 end\r\n\r\n");
  // Only the record's own line ends are left.
  EXPECT_EQ(record.find('\n'), record.size() - 3);
  EXPECT_EQ(record.find('\r'), record.size() - 4);
}

TEST(LogRecord, ALeadByteCutOffByAControlByteCannotTakeTheEscape) {
  using namespace std::string_literals;
  // 95 before ESC, 88 before NUL, 95 at the end: each would pair with a
  // backslash (5C is a second byte); 表 (95 5C) itself stays.
  EXPECT_EQ(CleanServerText("\x95\x5C\x95\x1B[0m \x88\x00 \x95"s),
            "\x95\x5C\\x95\\x1B[0m \\x88\\x00 \\x95");
}

TEST(LogRecord, LongTextIsCutOnACharacterBoundary) {
  // 表 (95 5C) pairs across the limit: the cut never splits one.
  std::string text = "5";
  for (int i = 0; i < 400; ++i) text += "\x95\x5C";
  const std::string cleaned = CleanServerText(text);
  EXPECT_LE(cleaned.size(), kLogTextLimit);
  ASSERT_TRUE(cleaned.ends_with("..."));
  const std::string kept = cleaned.substr(0, cleaned.size() - 3);
  EXPECT_EQ((kept.size() - 1) % 2, 0u);
  EXPECT_EQ(kept.substr(kept.size() - 2), "\x95\x5C");
  EXPECT_EQ(CleanServerText(std::string(512, 'a')), std::string(512, 'a'));
  EXPECT_EQ(CleanServerText(std::string(513, 'a')), std::string(509, 'a') + "...");
  // Ten megabytes without a line end make one short record.
  const std::string flood(10 * 1024 * 1024, 'x');
  EXPECT_LE(FormatLogRecord("d t", SmtpStep::FAILED, flood).size(), 530u);
}

}  // namespace
}  // namespace tolvex
