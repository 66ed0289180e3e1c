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

std::vector<std::string> Kept(const FormRig& rig) {
  std::vector<std::string> names;
  std::error_code ec;
  for (const auto& e : std::filesystem::directory_iterator(rig.dir / "undelivered", ec))
    names.push_back(e.path().filename().string());
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
       {"#RTY=3,2", "#TER=5", "#MOR=2"},
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

// The decision alone: only a Temporary class before the server took the
// message is tried again (the session's classes are tested with it).
TEST(Retry, Classification) {
  using enum SmtpStep;
  using O = DeliveryOutcome;
  using F = FailureClass;
  const struct {
    SmtpStep step;
    F failure;
    bool accepted;
    O outcome;
  } cases[] = {
      {IDLE, F::None, false, O::Delivered},
      {FAILED, F::Temporary, false, O::Temporary},
      {FAILED, F::Temporary, true, O::Accepted},
      {FAILED, F::Protocol, false, O::Permanent},
      {AWAIT_GREETING, F::Temporary, false, O::Temporary},
      {AWAIT_AUTH_RESPONSE, F::NoPermission, false, O::Permanent},
      {AWAIT_TLS_HANDSHAKE, F::Temporary, false, O::Temporary},
      {AUTH_MECHANISM, F::Permanent, false, O::Permanent},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ClassifyDelivery(c.step, c.failure, c.accepted), c.outcome) << StepNumber(c.step);
  }
  // Against the repeat schedule: MoreTick 0 before the first tick.
  EXPECT_TRUE(RetryFitsSchedule(4, 0, 5));
  EXPECT_FALSE(RetryFitsSchedule(5, 0, 5));
  EXPECT_FALSE(RetryFitsSchedule(1, 1, 1));
  EXPECT_TRUE(RetryFitsSchedule(600, 0, -1));
}

}  // namespace
}  // namespace tolvex::test
