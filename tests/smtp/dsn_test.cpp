// The DSN parameters' texts: xtext, the ENVID made from the Message-ID
// line, the NOTIFY list.
#include "smtp/dsn.hpp"

#include <gtest/gtest.h>

#include <string>

namespace tolvex {
namespace {

TEST(Dsn, XtextEscapesWhatItMust) {
  const struct {
    std::string in;
    std::string out;
  } cases[] = {
      {"yamada@example.jp", "yamada@example.jp"},
      {"a+b=c@example.jp", "a+2Bb+3Dc@example.jp"},
      {"!~", "!~"},
      {"a b\tc\r\n\x7F", "a+20b+09c+0D+0A+7F"},
      {std::string("\0", 1), "+00"},
      // Code page 932 bytes, trail bytes 0x5C and 0x7C among them (表, 能):
      // each byte its own escape, none taken for a backslash or a bar.
      {"\x95\x5C\x94\x7C", "+95\\+94|"},
      {"\xE3\x81\x82", "+E3+81+82"},  // UTF-8 あ
  };
  for (const auto& c : cases) EXPECT_EQ(Xtext(c.in), c.out) << c.in;
}

TEST(Dsn, EnvelopeIdFromTheMessageId) {
  const std::string date = "Date: Tue, 8 Dec 2026 09:00:00 +0900\r\n";
  const std::string unique = "20261208090000.5f3c9a0b1d2e4f60.1@";
  const std::string longDomain = std::string(60, 'd') + ".example.jp";
  const struct {
    std::string stamp;
    std::string envid;
  } cases[] = {
      {date + "Message-ID: <" + unique + "example.jp>\r\n", unique + "example.jp"},
      {date + "Message-ID: <a+b=c@example.jp>\r\n", "a+2Bb+3Dc@example.jp"},
      // Cut at 100 characters, the unique part kept whole.
      {date + "Message-ID: <" + unique + longDomain + ">\r\n",
       (unique + longDomain).substr(0, kMaxEnvelopeId)},
      // Never inside an escape: "+3D" would straddle the 100th place.
      {"Message-ID: <" + std::string(98, 'x') + "=y>\r\n", std::string(98, 'x')},
      {"Message-ID: <" + std::string(99, 'x') + "=y>\r\n", std::string(99, 'x')},
      {"Message-ID: <" + std::string(97, 'x') + "=y>\r\n", std::string(97, 'x') + "+3D"},
      {date, ""},
  };
  for (const auto& c : cases) {
    const std::string envid = EnvelopeId(c.stamp);
    EXPECT_EQ(envid, c.envid) << c.stamp;
    EXPECT_LE(envid.size(), kMaxEnvelopeId);
  }
  EXPECT_EQ(DsnMailParameters("id@x"), " RET=HDRS ENVID=id@x");
  EXPECT_EQ(DsnMailParameters(""), " RET=HDRS");
}

TEST(Dsn, NotifyListInItsOwnOrder) {
  const struct {
    DsnRequest dsn;
    const char* list;
  } cases[] = {
      {{.success = true, .failure = true, .delay = true}, "SUCCESS,FAILURE,DELAY"},
      {{.failure = true, .delay = true}, "FAILURE,DELAY"},
      {{.delay = true}, "DELAY"},
      {{.success = true}, "SUCCESS"},
      {{.never = true}, "NEVER"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(NotifyList(c.dsn), c.list);
    EXPECT_EQ(DsnRcptParameters(c.dsn, "a=b@example.jp"),
              std::string(" NOTIFY=") + c.list + " ORCPT=rfc822;a+3Db@example.jp");
  }
}

}  // namespace
}  // namespace tolvex
