// Events where administrators look: what each delivery's end and each fate
// of kept mail reports under each "#EVT", and what whole runs report on the
// fake event log (levels, texts, no secret, nothing under "off").
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "app/event_report.hpp"
#include "app/exit_status.hpp"
#include "platform/native_path.hpp"
#include "support/form_rig.hpp"
#include "support/scripted_https.hpp"

namespace tolvex::test {
namespace {

using Event = RecordingEventLog::Event;
constexpr auto kError = EventLevel::Error;
constexpr auto kWarning = EventLevel::Warning;
constexpr auto kInfo = EventLevel::Information;

const DeliveryEnd kDelivered{};
// 表 (0x95 0x5C) and ソ (0x83 0x5C): the 0x5C is theirs, not a backslash.
const DeliveryEnd k421{SmtpStep::CONFARM_CONNECTION, FailureClass::Temporary,
                       "421 \x95\x5C\x83\x5C busy\r\n"};
const DeliveryEnd k550{SmtpStep::AWAIT_RCPT_TO_RESPONSE, FailureClass::Permanent,
                       "550-no such user\r\n550 really\r\n"};
const DeliveryEnd k535{SmtpStep::AWAIT_AUTH_RESPONSE, FailureClass::NoPermission, "535 no"};
const DeliveryEnd kAcceptedThenLost{SmtpStep::AWAIT_DATA_TRANSFER_RESPONSE, FailureClass::Permanent,
                                    "", true};

TEST(EventReport, EachEndAndFateUnderEachSetting) {
  const std::string s115 = std::to_string(StepNumber(SmtpStep::CONFARM_CONNECTION));
  const std::string s150 = std::to_string(StepNumber(SmtpStep::AWAIT_RCPT_TO_RESPONSE));
  const std::string s139 = std::to_string(StepNumber(SmtpStep::AWAIT_AUTH_RESPONSE));
  const std::string s180 = std::to_string(StepNumber(SmtpStep::AWAIT_DATA_TRANSFER_RESPONSE));
  const std::string f =
      "folder /jobs/\xE6\x97\xA5\xE5\xA0\xB1: ";  // 日報, as the platform gives it
  const struct Case {
    const char* name;
    std::function<void(EventReport&)> act;
    std::vector<Event> failures;  // under "failures" (and "all")
    std::vector<Event> extraUnderAll;
  } cases[] = {
      {"delivered",
       [](EventReport& r) { r.DeliveryEnded(kDelivered); },
       {},
       {{kInfo, EventKind::Delivered, f + "delivered"}}},
      {"421",
       [](EventReport& r) { r.DeliveryEnded(k421); },
       {{kWarning, EventKind::DeliveryFailed,
         f + "state " + s115 + ": 421 \xE8\xA1\xA8\xE3\x82\xBD busy"}},
       {}},
      {"550 over two lines",
       [](EventReport& r) { r.DeliveryEnded(k550); },
       {{kError, EventKind::DeliveryFailed,
         f + "state " + s150 + ": 550-no such user\\r\\n550 really"}},
       {}},
      {"AUTH refused",
       [](EventReport& r) { r.DeliveryEnded(k535); },
       {{kError, EventKind::DeliveryFailed, f + "state " + s139 + ": 535 no"}},
       {}},
      {"lost after the server took it",
       [](EventReport& r) { r.DeliveryEnded(kAcceptedThenLost); },
       {{kError, EventKind::DeliveryFailed, f + "state " + s180 + ": (no reply)"}},
       {}},
      {"kept",
       [](EventReport& r) { r.Kept("undelivered/20261207-000000-1.eml"); },
       {{kWarning, EventKind::Kept,
         f + "the undelivered message is kept (file undelivered/20261207-000000-1.eml)"}},
       {}},
      {"kept, delivered later",
       [](EventReport& r) { r.KeptDelivered("undelivered/a.eml"); },
       {{kInfo, EventKind::KeptDelivered,
         f + "a kept message was delivered (file undelivered/a.eml)"}},
       {}},
      {"kept, refused later",
       [](EventReport& r) { r.KeptRefused("undelivered/a.eml", k550); },
       {{kError, EventKind::KeptRefused,
         f + "a kept message was refused, state " + s150 +
             ": 550-no such user\\r\\n550 really (file undelivered/a.eml)"}},
       {}},
      {"kept, expired",
       [](EventReport& r) { r.KeptExpired("undelivered/a.eml"); },
       {{kError, EventKind::KeptExpired,
         f + "a kept message expired unsent (file undelivered/a.eml)"}},
       {}},
  };
  for (const Case& c : cases) {
    for (EventsWanted wanted : {EventsWanted::Failures, EventsWanted::All, EventsWanted::Off}) {
      SCOPED_TRACE(std::string(c.name) + " #EVT=" + std::to_string(static_cast<int>(wanted)));
      RecordingEventLog log;
      EventReport report(log, "/jobs/\xE6\x97\xA5\xE5\xA0\xB1",
                         [](std::string_view t) { return Cp932ToUtf8(t); });
      report.wanted = wanted;
      c.act(report);
      std::vector<Event> expected;
      if (wanted != EventsWanted::Off) expected = c.failures;
      if (wanted == EventsWanted::All) {
        expected.insert(expected.end(), c.extraUnderAll.begin(), c.extraUnderAll.end());
      }
      EXPECT_EQ(log.events, expected);
    }
  }
}

// A server that answers HELO/EHLO `helo` in its first `failing` sessions, a
// submission server's AUTH `auth`, and RCPT TO `rcpt`.
ServerScript Server(int failing, std::string helo, std::string rcpt = "250 ok\r\n",
                    std::string auth = "235 ok\r\n") {
  ServerScript script = AcceptingServer();
  auto sessions = std::make_shared<int>(0);
  script.reply = [=, accept = script.reply](const std::string& c) -> std::string {
    if (c.starts_with("HELO") || c.starts_with("EHLO")) {
      if (++*sessions <= failing) return helo;
      return c.starts_with("EHLO") ? "250-x\r\n250-STARTTLS\r\n250 AUTH PLAIN\r\n" : "250 ok\r\n";
    }
    if (c == "STARTTLS\r\n") return "220 go\r\n";
    if (c.starts_with("AUTH")) return auth;
    if (c.starts_with("RCPT")) return rcpt;
    return accept(c);
  };
  return script;
}

TEST(EventReport, RunsReportOnThePlatformsLog) {
  const char kSecret[] = "Kq7-event-secret";
  const std::string f = "folder /jobs/daily: ";
  const std::string s130 = std::to_string(StepNumber(SmtpStep::AWAIT_HELLO_RESPONSE));
  const std::string s139 = std::to_string(StepNumber(SmtpStep::AWAIT_AUTH_RESPONSE));
  const std::string s150 = std::to_string(StepNumber(SmtpStep::AWAIT_RCPT_TO_RESPONSE));
  const struct Case {
    const char* name;
    ServerScript server;
    std::vector<std::string> extra;
    int exit;
    std::vector<Event> events;  // the texts up to a kept file's name
    bool tokenRefused = false;  // OAuth, the token endpoint answering 400
  } cases[] = {
      {"421 twice, then kept",
       Server(9, "421 busy\r\n"),
       {"#RTY=1,1"},
       kExitTempFail,
       {{kWarning, EventKind::DeliveryFailed, f + "state " + s130 + ": 421 busy"},
        {kWarning, EventKind::DeliveryFailed, f + "state " + s130 + ": 421 busy"},
        {kWarning, EventKind::Kept, f + "the undelivered message is kept (file undelivered/"}}},
      {"550",
       Server(0, "", "550 unknown user\r\n"),
       {},
       kExitUnavailable,
       {{kError, EventKind::DeliveryFailed, f + "state " + s150 + ": 550 unknown user"}}},
      {"550 under off", Server(0, "", "550 unknown user\r\n"), {"#EVT=off"}, kExitUnavailable, {}},
      {"delivered", Server(0, ""), {}, kExitOk, {}},
      {"delivered under all",
       Server(0, ""),
       {"#EVT=All"},
       kExitOk,
       {{kInfo, EventKind::Delivered, f + "delivered"}}},
      {"a 535 echoing the password",
       Server(0, "", "250 ok\r\n", std::string("535 5.7.8 bad: ") + kSecret + "\r\n"),
       {"#SEC=starttls", "#USR=yamada", std::string("#PAS=") + kSecret},
       kExitNoPerm,
       {{kError, EventKind::DeliveryFailed, f + "state " + s139 + ": 535 5.7.8 bad: ***"}}},
      {"an unknown #EVT value", Server(0, ""), {"#EVT=some"}, kExitDataErr, {}},
      {"a refused token request",
       Server(0, ""),
       {"#SEC=starttls", "#USR=u@example.jp", "#OAU=https://idp.test/token", "#OID=c", "#OSC=s"},
       kExitUnavailable,
       {{kError, EventKind::DeliveryFailed, f + "state 105: "}},
       true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FormRig rig(c.server);
    ScriptedHttps https;
    https.replies.push_back(ScriptedHttps::Reply(400, R"({"error":"invalid_client"})"));
    if (c.tokenRefused) rig.https = &https;
    rig.WriteSimpleCommandFile(c.extra);
    rig.Load();
    ASSERT_TRUE(rig.RunUntilEnded());
    EXPECT_EQ(rig.window.exitCode, c.exit);
    ASSERT_EQ(rig.events.events.size(), c.events.size());
    for (std::size_t i = 0; i < c.events.size(); ++i) {
      const Event& seen = rig.events.events[i];
      EXPECT_EQ(seen.level, c.events[i].level) << seen.text;
      EXPECT_EQ(seen.kind, c.events[i].kind) << seen.text;
      EXPECT_TRUE(seen.text.starts_with(c.events[i].text)) << seen.text;
      EXPECT_EQ(seen.text.find(kSecret), std::string::npos) << seen.text;
    }
  }
}

}  // namespace
}  // namespace tolvex::test
