// Status line, failure lines and end of process; the log clock format; the
// command line.
#include <gtest/gtest.h>

#include <regex>
#include <sstream>
#include <string_view>
#include <vector>

#include "base/failure.hpp"
#include "platform/posix/clock.hpp"
#include "platform/posix/window.hpp"

namespace tolvex::posix::test {
namespace {

// "Tolvex(送信中)" and "待時間=2分" in code page 932.
const std::string kSending = "Tolvex(\x91\x97\x90\x4D\x92\x86)";
const std::string kWaiting = "\x91\xD2\x8E\x9E\x8A\xD4=2\x95\xAA";

TEST(TerminalWindow, CaptionsRewriteOneStatusLineInUtf8) {
  std::ostringstream err;
  TerminalWindow w(err, true, nullptr);
  w.SetCaption("Tolvex");
  w.SetCaption(kSending);
  EXPECT_EQ(err.str(), "\rTolvex\x1b[K\rTolvex(\xE9\x80\x81\xE4\xBF\xA1\xE4\xB8\xAD)\x1b[K");
  EXPECT_EQ(w.Caption(), kSending);
  // A long message's percentage, then the shorter caption again: the rest
  // of the line is cleared each time.
  err.str("");
  w.SetCaption("Tolvex(\x91\x97\x90\x4D\x92\x86 45%)");
  w.SetCaption(kSending);
  EXPECT_EQ(err.str(),
            "\rTolvex(\xE9\x80\x81\xE4\xBF\xA1\xE4\xB8\xAD 45%)\x1b[K"
            "\rTolvex(\xE9\x80\x81\xE4\xBF\xA1\xE4\xB8\xAD)\x1b[K");
}

TEST(TerminalWindow, SilentWhenNotATerminal) {
  std::ostringstream err;
  int ended = -1;
  TerminalWindow w(err, false, [&](int code) { ended = code; });
  w.SetCaption(kWaiting);
  w.SetCaption("Tolvex");
  w.AddTrayIcon();
  w.EndProcess(0);
  EXPECT_EQ(err.str(), "");
  EXPECT_EQ(w.Caption(), "Tolvex");
  EXPECT_EQ(ended, 0);
}

TEST(TerminalWindow, MinimizedOrHiddenClearsAndKeepsTheLineOff) {
  for (bool tray : {false, true}) {
    std::ostringstream err;
    TerminalWindow w(err, true, nullptr);
    w.SetCaption("Tolvex");
    if (tray) {
      w.Hide();
      w.AddTrayIcon();
    } else {
      w.ShowMinimized();
    }
    w.SetCaption(kWaiting);
    EXPECT_EQ(err.str(), "\rTolvex\x1b[K\r\x1b[K") << tray;
    EXPECT_EQ(w.TrayIcon(), tray);
    w.DeleteTrayIcon();
    EXPECT_FALSE(w.TrayIcon());
  }
}

TEST(TerminalWindow, FailureEndsTheStatusLineFirst) {
  std::ostringstream err;
  TerminalWindow w(err, true, nullptr);
  w.SetCaption("Tolvex");
  w.ReportFailure({FailureKind::InputMissing, "cannot read \x95\x5C.txt"});
  EXPECT_EQ(err.str(), "\rTolvex\x1b[K\ntolvex: cannot read \xE8\xA1\xA8.txt\n");

  std::ostringstream quiet;
  TerminalWindow q(quiet, false, nullptr);
  q.SetCaption("Tolvex");
  q.ReportFailure({FailureKind::DeliveryFailed, "delivery failed in state 120: 554 no"});
  EXPECT_EQ(quiet.str(), "tolvex: delivery failed in state 120: 554 no\n");
}

TEST(TerminalWindow, EndProcessOnceWithTheFirstCode) {
  std::ostringstream err;
  std::vector<int> ends;
  TerminalWindow w(err, true, [&](int code) { ends.push_back(code); });
  w.SetCaption("Tolvex");
  w.EndProcess(69);
  w.EndProcess(0);
  w.SetCaption(kSending);  // nothing shows after the end
  EXPECT_EQ(ends, std::vector<int>{69});
  EXPECT_EQ(w.ExitCode(), 69);
  EXPECT_EQ(err.str(), "\rTolvex\x1b[K\n");
}

TEST(SystemClock, JapaneseShortDateAndLongTime) {
  std::tm t{};
  t.tm_year = 2026 - 1900;
  t.tm_mon = 11;
  t.tm_mday = 7;
  t.tm_hour = 9;
  t.tm_min = 5;
  t.tm_sec = 3;
  EXPECT_EQ(FormatLogDateTime(t), "2026/12/07 9:05:03");
  t.tm_mon = 0;
  t.tm_mday = 1;
  t.tm_hour = 0;
  t.tm_min = 0;
  t.tm_sec = 0;
  EXPECT_EQ(FormatLogDateTime(t), "2026/01/01 0:00:00");
  t.tm_hour = 23;
  t.tm_min = 59;
  t.tm_sec = 59;
  EXPECT_EQ(FormatLogDateTime(t), "2026/01/01 23:59:59");

  SystemClock clock;
  EXPECT_TRUE(std::regex_match(
      clock.LogDateTime(),
      std::regex(
          R"(\d{4}/\d{2}/\d{2} ([1-9]|1\d|2[0-3]):[0-5]\d:[0-5]\d|\d{4}/\d{2}/\d{2} 0:[0-5]\d:[0-5]\d)")));
}

}  // namespace
}  // namespace tolvex::posix::test
