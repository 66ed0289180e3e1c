// The kept message's sidecar read back byte for byte (code page 932
// addresses, Bcc, the sending mark), sidecars that are not taken, and the
// undelivered folder's scan: its order and the half-done steps it repairs.
#include "app/kept_mail.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/memory_folder.hpp"

namespace tolvex::test {
namespace {

LocalTime At(int year, int month, int day, int hour, int offsetMinutes) {
  LocalTime t;
  t.year = year;
  t.month = month;
  t.day = day;
  t.hour = hour;
  t.minute = 4;
  t.second = 5;
  t.utcOffsetMinutes = offsetMinutes;
  return t;
}

KeptSidecar Sample() {
  KeptSidecar s;
  // 表, ソ and 能 end in 0x5C or 0x7C: never a backslash or a bar.
  s.envelope.from = "\x95\x5C <from@example.jp>";
  s.envelope.to = {"to@example.jp", "\x83\x5C <cc@example.jp>", "\x94\x5C@example.jp",
                   "\x94\x7C <bcc@example.jp>"};
  s.envelope.cc = 1;
  s.envelope.bcc = 2;
  s.envelope.stampLines = "Date: Mon, 7 Dec 2026 00:00:00 +0900\r\nMessage-ID: <1@desk1>\r\n";
  s.firstTried = At(2026, 12, 7, 3, 540);
  s.attempts = 3;
  s.lastState = 120;
  s.lastFailure = "delivery failed in state 120: 421 \x95\x5C busy";
  return s;
}

TEST(KeptSidecar, ReadsBackWhatWasWritten) {
  struct Case {
    const char* name;
    void (*change)(KeptSidecar&);
  };
  const Case cases[] = {
      {"code page 932 with Bcc", [](KeptSidecar&) {}},
      {"UTF-8 and SMTPUTF8",
       [](KeptSidecar& s) {
         s.envelope.charset = MessageCharset::Utf8;
         s.envelope.to = {"\xE5\xB1\xB1\xE7\x94\xB0@example.jp"};
         s.envelope.cc = 0;
         s.envelope.bcc = 0;
         s.envelope.smtpUtf8Address = s.envelope.to[0];
       }},
      {"being sent, west of UTC",
       [](KeptSidecar& s) {
         s.sending = true;
         s.firstTried = At(2026, 1, 31, 23, -330);
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    KeptSidecar s = Sample();
    c.change(s);
    const std::string text = SidecarText(s);
    // Printable JSON: no raw code page 932 byte in it.
    for (char ch : text) EXPECT_TRUE(ch == '\n' || (ch >= 0x20 && ch < 0x7F)) << text;
    const std::optional<KeptSidecar> back = ReadSidecarText(text);
    ASSERT_TRUE(back.has_value()) << text;
    EXPECT_EQ(back->envelope.from, s.envelope.from);
    EXPECT_EQ(back->envelope.to, s.envelope.to);
    EXPECT_EQ(back->envelope.cc, s.envelope.cc);
    EXPECT_EQ(back->envelope.bcc, s.envelope.bcc);
    EXPECT_EQ(back->envelope.bccList,
              s.envelope.bcc == 2 ? "\x94\x5C@example.jp, \x94\x7C <bcc@example.jp>" : "");
    EXPECT_EQ(back->envelope.charset, s.envelope.charset);
    EXPECT_EQ(back->envelope.smtpUtf8Address, s.envelope.smtpUtf8Address);
    EXPECT_EQ(back->envelope.stampLines, s.envelope.stampLines);
    EXPECT_EQ(SecondsBetween(back->firstTried, s.firstTried), 0);
    EXPECT_EQ(back->firstTried.utcOffsetMinutes, s.firstTried.utcOffsetMinutes);
    EXPECT_EQ(back->attempts, s.attempts);
    EXPECT_EQ(back->lastState, s.lastState);
    EXPECT_EQ(back->lastFailure, s.lastFailure);
    EXPECT_EQ(back->sending, s.sending);
  }
  // The run state's envelope goes through it too: Bcc counted from the end.
  RunState st;
  PutEnvelope(Sample().envelope, st);
  EXPECT_EQ(st.ToCount, 4);
  EXPECT_EQ(st.ToAddr[4], "\x94\x7C <bcc@example.jp>");
  EXPECT_EQ(EnvelopeOf(st).to, Sample().envelope.to);
  EXPECT_EQ(EnvelopeOf(st).bcc, 2);
}

TEST(KeptSidecar, RefusesWhatItCannotRead) {
  std::string good = SidecarText(Sample());
  const auto without = [&good](const std::string& from, const std::string& to) {
    std::string text = good;
    text.replace(text.find(from), from.size(), to);
    return text;
  };
  for (const std::string& text :
       {std::string(), std::string("[]"), good.substr(0, good.size() / 2),
        without("\"attempts\"", "\"tries\""), without("\"sending\": false", "\"sending\": 0"),
        without("\"first_tried\": \"2026-12-07T03:04:05+09:00\"", "\"first_tried\": \"soon\""),
        without("\"bytes\": \"", "\"bytes\": \"*")}) {
    EXPECT_FALSE(ReadSidecarText(text).has_value()) << text;
  }
  EXPECT_TRUE(ReadSidecarText(good).has_value());
}

// Oldest first (by the first try, each with its own offset, then by name);
// a stopped rewrite's temporary, a sidecar whose .eml is gone and an .eml
// whose sidecar was moved already are put right; a lone .eml and an
// unreadable sidecar stay.
TEST(KeptScan, OrdersAndRepairs) {
  MemoryFolder folder;
  const auto keep = [&folder](const std::string& name, const LocalTime& tried) {
    KeptSidecar s = Sample();
    s.firstTried = tried;
    folder.files["undelivered/" + name + ".eml"] = "Subject: " + name + "\r\n\r\nbody\r\n";
    folder.files["undelivered/" + name + ".json"] = SidecarText(s);
  };
  folder.folders = {"undelivered", "undelivered/refused"};
  keep("b", At(2026, 12, 1, 10, 540));
  keep("a", At(2026, 12, 1, 10, 540));
  keep("c", At(2026, 11, 30, 10, -300));  // 15:00 UTC: the oldest
  folder.files["undelivered/d.json.new"] = "{";
  folder.files["undelivered/e.json"] = SidecarText(Sample());
  folder.files["undelivered/f.eml"] = "by hand";
  folder.files["undelivered/g.eml"] = "half moved";
  folder.files["undelivered/refused/g.json"] = SidecarText(Sample());
  folder.files["undelivered/h.eml"] = "x";
  folder.files["undelivered/h.json"] = "not json";

  const KeptScan scan = ScanKept(folder);
  std::vector<std::string> order;
  for (const KeptMessage& m : scan.messages) order.push_back(m.eml + "+" + m.json);
  EXPECT_EQ(order, (std::vector<std::string>{"undelivered/c.eml+undelivered/c.json",
                                             "undelivered/a.eml+undelivered/a.json",
                                             "undelivered/b.eml+undelivered/b.json"}));
  EXPECT_EQ(scan.unread, std::vector<std::string>{"undelivered/h.json"});
  EXPECT_FALSE(folder.Exists("undelivered/d.json.new"));
  EXPECT_FALSE(folder.Exists("undelivered/e.json"));
  EXPECT_TRUE(folder.Exists("undelivered/f.eml"));
  EXPECT_FALSE(folder.Exists("undelivered/g.eml"));
  EXPECT_EQ(folder.files["undelivered/refused/g.eml"], "half moved");
  EXPECT_TRUE(folder.Exists("undelivered/h.eml"));

  // A move takes both files; a removal both; neither replaces a file.
  ASSERT_FALSE(MoveKept(folder, scan.messages[0], kExpiredFolder).has_value());
  EXPECT_TRUE(folder.Exists("undelivered/expired/c.eml"));
  EXPECT_TRUE(folder.Exists("undelivered/expired/c.json"));
  folder.files["undelivered/refused/a.json"] = "taken";
  EXPECT_TRUE(MoveKept(folder, scan.messages[1], kRefusedFolder).has_value());
  EXPECT_EQ(folder.files["undelivered/refused/a.json"], "taken");
  ASSERT_FALSE(RemoveKept(folder, scan.messages[2]).has_value());
  EXPECT_FALSE(folder.Exists("undelivered/b.eml"));
  EXPECT_FALSE(folder.Exists("undelivered/b.json"));
}

TEST(KeptScan, AgeAcrossOffsetsAndMonths) {
  EXPECT_EQ(SecondsBetween(At(2026, 12, 1, 10, 540), At(2026, 12, 1, 10, 540)), 0);
  EXPECT_EQ(SecondsBetween(At(2026, 12, 1, 10, 540), At(2026, 12, 1, 1, 0)), 0);
  EXPECT_EQ(SecondsBetween(At(2026, 2, 28, 0, 0), At(2026, 3, 1, 0, 0)), 86400);
  EXPECT_EQ(SecondsBetween(At(2028, 2, 28, 0, 0), At(2028, 3, 1, 0, 0)), 2 * 86400);
  EXPECT_EQ(SecondsBetween(At(2026, 12, 31, 0, 0), At(2027, 1, 7, 0, 0)), 7 * 86400);
}

}  // namespace
}  // namespace tolvex::test
