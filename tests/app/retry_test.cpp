// "#RTY=": retries of temporary failures in virtual time, with and without
// a repeat schedule, the ends that are never retried, the end of the run in
// a wait, and the undelivered message kept as an .eml file.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "app/exit_status.hpp"
#include "app/retry_plan.hpp"
#include "support/form_rig.hpp"
#include "support/scripted_https.hpp"

namespace tolvex::test {
namespace {

// A server whose reply to HELO is `helo` for the first `failures` sessions
// (then 250), and whose replies to the message and QUIT are given.
ServerScript Script(int failures, std::string helo, std::string message = "250 queued\r\n",
                    std::string quit = "221 bye\r\n") {
  ServerScript script;
  auto sessions = std::make_shared<int>(0);
  script.reply = [=](const std::string& command) -> std::string {
    if (command.rfind("HELO", 0) == 0) return ++*sessions <= failures ? helo : "250 ok\r\n";
    if (command == "DATA\r\n") return "354 go ahead\r\n";
    if (command == "QUIT\r\n") return quit;
    if (command == "<message>") return message;
    return "250 ok\r\n";
  };
  return script;
}

// The kept messages: each .eml of undelivered/ (its .json sidecar beside
// it), and of undelivered/refused/ as "refused/<name>".
std::vector<std::string> Kept(const FormRig& rig) {
  std::vector<std::string> names;
  for (const char* sub : {"", "refused/"}) {
    std::error_code ec;
    for (const auto& e : std::filesystem::directory_iterator(rig.dir / "undelivered" / sub, ec)) {
      const std::string name = e.path().filename().string();
      if (name.ends_with(".eml")) names.push_back(sub + name);
    }
  }
  std::sort(names.begin(), names.end());
  return names;
}

std::string RetryCaption(int minutes) {
  return "\x8D\xC4\x91\x97\x91\xD2=" + std::to_string(minutes) + "\x95\xAA";
}

struct Case {
  const char* name;
  ServerScript script;
  std::vector<std::string> extra;
  std::vector<Millis> connectMinutes;
  int exitCode;
  std::size_t kept;
};

TEST(Retry, Schedules) {
  const Case cases[] = {
      {"421 once, then delivered",
       Script(1, "421 4.3.2 try later\r\n"),
       {"#RTY=3,1"},
       {0, 1},
       kExitOk,
       0},
      {"lasting 450", Script(99, "450 greylisted\r\n"), {"#RTY=2,5"}, {0, 5, 10}, kExitTempFail, 1},
      {"#RTY=0 keeps without retrying",
       Script(99, "421 busy\r\n"),
       {"#RTY=0,5"},
       {0},
       kExitTempFail,
       1},
      {"550 never retried", Script(99, "550 no\r\n"), {"#RTY=3,1"}, {0}, kExitUnavailable, 1},
      {"452 to the message retried",
       Script(0, "", "452 full\r\n"),
       {"#RTY=1,2"},
       {0, 2},
       kExitTempFail,
       1},
      // The message was taken: a QUIT answered 500 must not send it twice.
      {"accepted, then QUIT 500",
       Script(0, "", "250 queued\r\n", "500 what\r\n"),
       {"#RTY=3,1"},
       {0},
       kExitUnavailable,
       0},
      // Repeats every 5 minutes: the first message's third attempt would
      // fall at minute 6, after the send of minute 5, so it is dropped; the
      // second message's at 11 would meet the end of the run at 10.
      {"retries between repeats",
       Script(99, "421 busy\r\n"),
       {"#RTY=3,2", "#TER=5", "#MOR=2", "#QUE=0"},
       {0, 2, 4, 5, 7, 9},
       kExitTempFail,
       2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FormRig rig(c.script);
    rig.WriteSimpleCommandFile(c.extra);
    rig.Load();
    ASSERT_TRUE(rig.RunUntilEnded());
    EXPECT_EQ(rig.ConnectMinutes(), c.connectMinutes);
    EXPECT_EQ(rig.LogRecordCount(), static_cast<int>(c.connectMinutes.size()));
    EXPECT_EQ(rig.window.exitCode, c.exitCode);
    EXPECT_EQ(Kept(rig).size(), c.kept);
    EXPECT_FALSE(rig.Exists("TEMP.TXT"));
  }
}

TEST(Retry, SameMessageAgainAndKeptAsComposed) {
  FormRig rig(Script(99, "421 busy\r\n"));
  rig.WriteSimpleCommandFile({"#RTY=1,3", "#TER=-1"});
  rig.Load();
  const std::string composed = rig.form->State().MailData.Bytes();
  ASSERT_EQ(composed.substr(composed.size() - 5), "\r\n.\r\n");
  rig.RunUntil(kMinute + 1000);
  EXPECT_EQ(rig.window.LastCaption(), RetryCaption(2));
  rig.RunUntil(4 * kMinute);
  ASSERT_EQ(rig.ConnectMinutes(), (std::vector<Millis>{0, 3}));
  EXPECT_EQ(rig.form->State().MailData.Bytes(), composed);  // not composed again
  const std::vector<std::string> kept = Kept(rig);
  ASSERT_EQ(kept, std::vector<std::string>{"20261207-000300-1.eml"});
  EXPECT_EQ(rig.ReadFile("undelivered/" + kept[0]), composed.substr(0, composed.size() - 3));
  EXPECT_NE(rig.window.failures.back().message.find("undelivered/20261207-000300-1.eml"),
            std::string::npos);
}

TEST(Retry, EndingInTheWaitKeepsTheMessage) {
  for (bool signal : {true, false}) {
    SCOPED_TRACE(signal ? "SIGTERM" : "tray menu");
    FormRig rig(Script(99, "421 busy\r\n"));
    rig.WriteSimpleCommandFile({"#RTY=5,10", "#DEL"});
    rig.Load();
    rig.RunUntil(4 * kMinute + 1000);
    EXPECT_EQ(rig.window.LastCaption(), RetryCaption(6));
    if (signal) {
      rig.form->Terminate(143);
    } else {
      rig.form->menuExit_Click();
    }
    EXPECT_EQ(rig.window.exitCode, signal ? 143 : kExitTempFail);
    EXPECT_EQ(rig.ConnectMinutes(), std::vector<Millis>{0});
    EXPECT_EQ(Kept(rig).size(), 1u);
    EXPECT_FALSE(rig.Exists("TEMP.TXT"));
    EXPECT_FALSE(rig.Exists("command.txt"));
    rig.RunFor(30 * kMinute);
    EXPECT_EQ(rig.ConnectMinutes(), std::vector<Millis>{0});
  }
}

// A submission server offering XOAUTH2 that takes every token.
ServerScript OAuthServer() {
  ServerScript script = AcceptingServer();
  auto accept = script.reply;
  script.reply = [accept](const std::string& c) -> std::string {
    if (c.rfind("EHLO", 0) == 0) return "250-x\r\n250-STARTTLS\r\n250 AUTH XOAUTH2\r\n";
    if (c == "STARTTLS\r\n") return "220 go\r\n";
    if (c.rfind("AUTH", 0) == 0) return "235 ok\r\n";
    return accept(c);
  };
  return script;
}

std::vector<std::string> OAuthJob(std::vector<std::string> extra) {
  std::vector<std::string> lines = {"#SEC=starttls", "#USR=u@example.jp",
                                    "#OAU=https://idp.test/token", "#OID=c", "#OSC=s"};
  lines.insert(lines.end(), extra.begin(), extra.end());
  return lines;
}

// The state of each LOG.txt record, in order.
std::vector<std::string> LoggedStates(const FormRig& rig) {
  std::vector<std::string> states;
  const std::string log = rig.Log();
  for (std::size_t at = 0; (at = log.find("2026/", at)) != std::string::npos; ++at) {
    const std::size_t a = log.find(' ', at) + 1;
    const std::size_t b = log.find(' ', a) + 1;
    states.push_back(log.substr(b, log.find(' ', b) - b));
  }
  return states;
}

// The token endpoint's replies, one letter each: T a token, B 503, R
// invalid_client, U no connection, C an untrusted certificate, X given up
// as the run ends; and a mail API's: A Graph's 202, G Gmail's 200 with an
// id, D a 403 with Graph's error object, Z a 429 asking for 5 minutes.
ScriptedHttps TokenEndpoint(std::string_view script) {
  ScriptedHttps https;
  for (char c : script) {
    switch (c) {
      case 'T':
        https.replies.push_back(ScriptedHttps::Reply(200, R"({"access_token":"at"})"));
        break;
      case 'B':
        https.replies.push_back(ScriptedHttps::Reply(503, "<html>busy</html>"));
        break;
      case 'R':
        https.replies.push_back(ScriptedHttps::Reply(400, R"({"error":"invalid_client"})"));
        break;
      case 'A':
        https.replies.push_back(ScriptedHttps::Reply(202, ""));
        break;
      case 'G':
        https.replies.push_back(ScriptedHttps::Reply(200, R"({"id":"18c"})"));
        break;
      case 'D':
        https.replies.push_back(ScriptedHttps::Reply(
            403, R"({"error":{"code":"ErrorAccessDenied","message":"Access is denied."}})"));
        break;
      case 'Z':
        https.replies.push_back(ScriptedHttps::Reply(429, ""));
        https.replies.back().retryAfter = "300";
        break;
      default:
        https.replies.push_back(ScriptedHttps::Failed("no answer", c == 'C', c == 'X'));
    }
  }
  return https;
}

// A token request that fails is an attempt like any other under #RTY: for
// now (no answer, a 5xx) it is tried again after the wait, for good (a
// 4xx, the certificate) the message is kept at once; either way the
// message ends delivered or kept, and #DEL spares command.txt only when it
// could be neither (here: "undelivered" is a file). Without #RTY nothing
// changes.
TEST(Retry, TokenRequestFailuresAreAttempts) {
  const struct {
    const char* name;
    std::vector<std::string> extra;
    const char* replies;
    int exitCode;
    std::size_t kept;
    bool commandFileStays;
    const char* reportEnds;  // the first attempt's report
  } cases[] = {
      {"unreachable, then a token", {"#RTY=2,1"}, "UT", kExitOk, 0, false, "again in 1 minute"},
      {"503 to every attempt", {"#RTY=2,3"}, "BBB", kExitTempFail, 1, false, "in 3 minutes"},
      {"invalid_client", {"#RTY=3,1"}, "R", kExitUnavailable, 1, false, "not tried again"},
      {"untrusted certificate", {"#RTY=3,1"}, "C", kExitUnavailable, 1, false, "not tried again"},
      {"503, then invalid_client", {"#RTY=3,1"}, "BR", kExitUnavailable, 1, false, "1 minute"},
      // 75 outranks the 73 of the message that could not be kept.
      {"keeping fails", {"#RTY=0,1", "#ATT=undelivered"}, "B", kExitTempFail, 0, true, "left"},
      {"without #RTY", {}, "B", kExitUnavailable, 0, false, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ScriptedHttps https = TokenEndpoint(c.replies);
    FormRig rig(OAuthServer());
    rig.https = &https;
    std::vector<std::string> extra = c.extra;
    extra.push_back("#DEL");
    rig.WriteSimpleCommandFile(OAuthJob(extra));
    if (std::ranges::count(extra, "#ATT=undelivered") > 0)
      rig.WriteFile("undelivered", "a file where the folder would go");
    rig.Load();
    ASSERT_TRUE(rig.RunUntilEnded());
    const std::string_view script = c.replies;
    EXPECT_EQ(https.urls.size(), script.size());
    std::vector<std::string> states;
    for (char r : script) states.push_back(r == 'T' ? "0" : "105");
    EXPECT_EQ(LoggedStates(rig), states);
    EXPECT_EQ(rig.ConnectTimes().size(), static_cast<std::size_t>(std::ranges::count(script, 'T')));
    EXPECT_EQ(rig.window.exitCode, c.exitCode);
    EXPECT_EQ(Kept(rig).size(), c.kept);
    EXPECT_EQ(rig.Exists("command.txt"), c.commandFileStays);
    EXPECT_FALSE(rig.Exists("TEMP.TXT"));
    ASSERT_FALSE(rig.window.failures.empty());
    EXPECT_TRUE(rig.window.failures.front().message.ends_with(c.reportEnds))
        << rig.window.failures.front().message;
  }
}

// #VIA: a token, then the message handed to the API; the reply ends the
// delivery as a session would (logged 0 or 106, no connection made), with
// the submission's exit statuses, and a Retry-After longer than the retry
// interval waited for.
TEST(Retry, ApiDeliveries) {
  const struct {
    const char* name;
    std::vector<std::string> extra;
    const char* replies;
    int exitCode;
    std::vector<Millis> requestMinutes;  // of each API request
    const char* report;                  // in the first failure's report
  } cases[] = {
      {"Graph takes it", {"#VIA=graph"}, "TA", kExitOk, {0}, nullptr},
      {"Gmail takes it", {"#VIA=gmail"}, "TG", kExitOk, {0}, nullptr},
      {"403", {"#VIA=graph", "#RTY=2,1"}, "TD", kExitNoPerm, {0}, "Microsoft Graph: HTTP 403 "},
      {"429 then 202", {"#VIA=graph", "#RTY=2,1"}, "TZTA", kExitOk, {0, 5}, "in 5 minutes"},
      {"429 shorter than the interval", {"#VIA=graph", "#RTY=2,9"}, "TZTA", kExitOk, {0, 9}, "9"},
      {"no connection, no #RTY", {"#VIA=gmail"}, "TU", kExitTempFail, {0}, "the Gmail API: no"},
      {"the token refused", {"#VIA=graph"}, "R", kExitUnavailable, {}, "invalid_client"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ScriptedHttps https = TokenEndpoint(c.replies);
    std::vector<Millis> apiMinutes;
    FormRig rig;
    https.onRequest = [&] {
      if (https.urls.back().find("/token") == std::string::npos) {
        apiMinutes.push_back(rig.scheduler.Now() / kMinute);
      }
    };
    rig.https = &https;
    rig.WriteSimpleCommandFile(OAuthJob(c.extra));
    rig.Load();
    ASSERT_TRUE(rig.RunUntilEnded());
    EXPECT_EQ(rig.window.exitCode, c.exitCode);
    EXPECT_TRUE(rig.ConnectTimes().empty());
    EXPECT_EQ(apiMinutes, c.requestMinutes);
    std::vector<std::string> states;
    for (std::size_t k = 1; k < std::string_view(c.replies).size(); k += 2) {
      states.push_back(std::string("AG").find(c.replies[k]) != std::string::npos ? "0" : "106");
    }
    if (c.requestMinutes.empty()) states = {"105"};
    EXPECT_EQ(LoggedStates(rig), states);
    EXPECT_EQ(rig.Log().find("Bearer"), std::string::npos);
    if (c.report) {
      ASSERT_FALSE(rig.window.failures.empty());
      EXPECT_NE(rig.window.failures.front().message.find(c.report), std::string::npos)
          << rig.window.failures.front().message;
    } else {
      EXPECT_TRUE(rig.window.failures.empty());
    }
  }
  // The token is asked for with the transport's scope.
  ScriptedHttps https = TokenEndpoint("TA");
  FormRig rig;
  rig.https = &https;
  rig.WriteSimpleCommandFile(OAuthJob({"#VIA=graph"}));
  rig.Load();
  ASSERT_TRUE(rig.RunUntilEnded());
  EXPECT_NE(https.forms.at(0).find("scope=https%3A%2F%2Fgraph.microsoft.com%2F.default"),
            std::string::npos);
}

// A signal (or the window closed) during a token request: the request is
// given up, nothing is logged for it, the run ends with 128+N (130 when the
// window closed); under #RTY a retry's message is kept, a first attempt's
// stays only in command.txt.
TEST(Retry, EndingDuringATokenRequest) {
  const struct {
    const char* name;
    std::vector<std::string> extra;
    const char* replies;
    bool signal;
    int exitCode;
    std::size_t kept;
    bool commandFileStays;
  } cases[] = {
      {"SIGTERM in the first attempt", {"#RTY=2,1"}, "X", true, 143, 0, true},
      {"SIGTERM in a retry", {"#RTY=2,1"}, "BX", true, 143, 1, false},
      {"window closed without #RTY", {}, "X", false, 130, 0, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ScriptedHttps https = TokenEndpoint(c.replies);
    FormRig rig(OAuthServer());
    rig.https = &https;
    std::vector<std::string> extra = c.extra;
    extra.push_back("#DEL");
    rig.WriteSimpleCommandFile(OAuthJob(extra));
    rig.Load();
    const std::size_t requests = std::string_view(c.replies).size();
    rig.RunUntil(requests * kMinute);
    ASSERT_EQ(https.urls.size(), requests);
    ASSERT_FALSE(rig.ProcessEnded());
    // The run's end arrives as its own event once the request has returned.
    if (c.signal) {
      rig.form->Terminate(143);
    } else {
      rig.form->Form_Unload();
    }
    EXPECT_EQ(rig.window.exitCode, c.exitCode);
    EXPECT_EQ(LoggedStates(rig).size(), requests - 1);
    EXPECT_TRUE(rig.ConnectTimes().empty());
    EXPECT_EQ(Kept(rig).size(), c.kept);
    EXPECT_EQ(rig.Exists("command.txt"), c.commandFileStays);
    EXPECT_FALSE(rig.Exists("TEMP.TXT"));
  }
}

// The decision alone: only a Temporary class before the server took the
// message is tried again (the session's classes are tested with it).
TEST(Retry, Classification) {
  using enum SmtpStep;
  using F = FailureClass;
  const struct {
    SmtpStep step;
    F failure;
    bool accepted;
    bool delivered;
    bool tryAgain;
  } cases[] = {
      {IDLE, F::None, false, true, false},
      {IDLE, F::None, true, true, false},
      {FAILED, F::Temporary, false, false, true},
      {FAILED, F::Temporary, true, false, false},
      {FAILED, F::Protocol, false, false, false},
      {AWAIT_GREETING, F::Temporary, false, false, true},
      {AWAIT_AUTH_RESPONSE, F::NoPermission, false, false, false},
      {AWAIT_TLS_HANDSHAKE, F::Temporary, false, false, true},
      {AUTH_MECHANISM, F::Permanent, false, false, false},
      {OAUTH_TOKEN, F::Temporary, false, false, true},
  };
  for (const auto& c : cases) {
    const DeliveryEnd end{c.step, c.failure, "", c.accepted};
    EXPECT_EQ(end.Delivered(), c.delivered) << StepNumber(c.step);
    EXPECT_EQ(end.Temporary(), c.tryAgain) << StepNumber(c.step);
  }
  // Against the repeat schedule: MoreTick 0 before the first tick.
  EXPECT_TRUE(RetryFitsSchedule(4, 0, 5));
  EXPECT_FALSE(RetryFitsSchedule(5, 0, 5));
  EXPECT_FALSE(RetryFitsSchedule(1, 1, 1));
  EXPECT_TRUE(RetryFitsSchedule(600, 0, -1));
}

}  // namespace
}  // namespace tolvex::test
