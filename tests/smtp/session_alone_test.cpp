// The session alone against the scripted socket: what it sends, the
// states it passes, and what it leaves to run control (the record, the
// caption, the end) through its host.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/session_rig.hpp"

namespace tolvex::test {
namespace {

TEST(SessionAlone, NormalCourseAndWhatRunControlIsTold) {
  SessionRig rig;
  rig.st.LocalName = "desk1";
  rig.SetMail("Subject: x\r\n\r\nbody\r\n.\r\n");
  rig.Start();
  ASSERT_TRUE(rig.RunUntilEnded());
  EXPECT_EQ(rig.Steps(), (std::vector<int>{100, 110, 115, 120, 125, 130, 135, 140, 145, 150, 155,
                                           160, 170, 180, 190, 200, 210, 0}));
  EXPECT_EQ(rig.Commands(),
            (std::vector<std::string>{"HELO desk1\r\n", "MAIL FROM:<DummySender>\r\n",
                                      "RCPT TO:<to@example.jp>\r\n", "DATA\r\n", "<message>",
                                      "QUIT\r\n"}));
  // The record first, then the end; the normal end comes through the
  // catch-all branch on the tick after 210.
  ASSERT_EQ(rig.host.size(), 2u);
  EXPECT_EQ(rig.host[0].what, "log");
  EXPECT_EQ(rig.host[0].step, SmtpStep::IDLE);
  EXPECT_EQ(rig.host[0].reply, "");
  EXPECT_EQ(rig.host[1].what, "ended");
  EXPECT_TRUE(rig.host[1].catchAll);
  EXPECT_EQ(rig.host[1].at, 16 * 100);
  EXPECT_FALSE(rig.tmrSMTP.Enabled());
  EXPECT_FALSE(rig.session.Running());
  EXPECT_EQ(rig.socket.CallsOf("Close").size(), 1u);
}

TEST(SessionAlone, ImmediateFailureLogsItsStateAndSkipsTheCatchAll) {
  ServerScript script = AcceptingServer();
  script.greeting = "554 go away\r\n";
  SessionRig rig(script);
  rig.Start();
  ASSERT_TRUE(rig.RunUntilEnded());
  ASSERT_EQ(rig.host.size(), 2u);
  EXPECT_EQ(rig.host[0].step, SmtpStep::AWAIT_GREETING);
  EXPECT_EQ(rig.host[0].reply, "554 go away\r\n");
  EXPECT_FALSE(rig.host[1].catchAll);
  EXPECT_TRUE(rig.Commands().empty());
  EXPECT_EQ(rig.Steps().back(), 0);
}

TEST(SessionAlone, RejectedMessageIsFlaggedThenFinishedAtTheNextTick) {
  ServerScript script = AcceptingServer();
  auto accept = script.reply;
  script.reply = [=](const std::string& c) {
    return c == "<message>" ? std::string("552 too big\r\n") : accept(c);
  };
  SessionRig rig(script);
  rig.SetMail(".\r\n");
  rig.Start();
  ASSERT_TRUE(rig.RunUntilEnded());
  const std::vector<int> steps = rig.Steps();
  ASSERT_GE(steps.size(), 3u);
  EXPECT_EQ(steps[steps.size() - 2], 999);
  EXPECT_EQ(rig.host[0].step, SmtpStep::FAILED);
  EXPECT_EQ(rig.host[0].reply, "552 too big\r\n");
  EXPECT_TRUE(rig.host[1].catchAll);
}

TEST(SessionAlone, ReplyBeforeTheCompletionIsJudgedOnlyAfterIt) {
  // The reply arrives before the send is reported complete: the transfer
  // state waits for the completion, then the reply state judges it.
  ServerScript script = AcceptingServer();
  script.completeSends = false;
  SessionRig rig(script);
  rig.Start();
  rig.scheduler.RunUntil(20 * 100);
  EXPECT_EQ(rig.session.Step(), SmtpStep::AWAIT_HELLO_TRANSFER);
  EXPECT_EQ(rig.session.Received(), "250 ok\r\n");
  rig.socket.QueueSendComplete();
  rig.scheduler.RunUntil(22 * 100);
  EXPECT_EQ(rig.session.Step(), SmtpStep::AWAIT_MAIL_FROM_TRANSFER);
}

TEST(SessionAlone, MessageThatKeepsMovingIsNotCutOffButAStalledOneIs) {
  SessionRig rig;
  auto accept = rig.socket.Script().reply;
  rig.SetMail("big message\r\n.\r\n");
  rig.socket.Script().reply = [&](const std::string& c) {
    if (c == "DATA\r\n") rig.socket.Script().completeSends = false;  // the message never completes
    return accept(c);
  };
  rig.Start();
  rig.scheduler.RunUntil(2000);
  ASSERT_EQ(rig.session.Step(), SmtpStep::AWAIT_DATA_TRANSFER);
  // Five minutes of a slow uplink: a few bytes taken every 30 s.
  for (int i = 0; i < 10; ++i) {
    rig.scheduler.RunFor(30000);
    rig.socket.Trickle(1000);
  }
  EXPECT_FALSE(rig.Ended());
  EXPECT_EQ(rig.session.Step(), SmtpStep::AWAIT_DATA_TRANSFER);
  // Then nothing moves: abandoned about two minutes after the last byte.
  const Millis lastProgress = rig.scheduler.Now();
  ASSERT_TRUE(rig.RunUntilEnded(lastProgress + 200000));
  EXPECT_EQ(rig.host[0].step, SmtpStep::FAILED);
  EXPECT_GE(rig.host[0].at, lastProgress + 120000);
  EXPECT_LE(rig.host[0].at, lastProgress + 120400);
}

TEST(SessionAlone, UnknownStateValuesFinishThroughTheCatchAll) {
  SessionRig rig;
  rig.Start();
  rig.scheduler.RunUntil(3 * 100);
  rig.session.SetStep(static_cast<SmtpStep>(123));  // no such state
  ASSERT_TRUE(rig.RunUntilEnded());
  EXPECT_EQ(StepNumber(rig.host[0].step), 123);
  EXPECT_TRUE(rig.host[1].catchAll);
}

TEST(SessionAlone, ANewSessionStartsAtTheFirstRecipientWithTheOldReplyKept) {
  ServerScript script = AcceptingServer();
  auto accept = script.reply;
  script.reply = [=](const std::string& c) {
    return c.starts_with("RCPT TO:<b@") ? std::string("550 no b\r\n") : accept(c);
  };
  SessionRig rig(script);
  rig.Recipients({"a@x.jp", "b@x.jp", "c@x.jp"});
  rig.Start();
  ASSERT_TRUE(rig.RunUntilEnded());
  EXPECT_EQ(rig.host[0].step, SmtpStep::AWAIT_MAIL_FROM_RESPONSE);
  EXPECT_EQ(rig.session.RcptIndexValue(), 3);         // moved on before the reply to b was judged
  EXPECT_EQ(rig.session.Received(), "550 no b\r\n");  // carried into the next session
  rig.socket.Script().connect = ServerScript::ConnectMode::NoEvent;
  rig.Start();
  EXPECT_EQ(rig.session.RcptIndexValue(), 1);
  ASSERT_TRUE(rig.RunUntilEnded(rig.scheduler.Now() + 200000));
  EXPECT_EQ(rig.host.back().step, SmtpStep::FAILED);
  EXPECT_EQ(rig.host.back().reply, "550 no b\r\n");  // stale, as held
}

// The plain session reports the same classes (retries are decided from
// them): once the message was taken nothing is temporary.
TEST(SessionAlone, FailureClassOfThePlainSession) {
  const struct {
    std::string command;
    std::string reply;
    FailureClass failure;
  } cases[] = {
      {"", "", FailureClass::None},
      {"RCPT", "450 4.2.0 busy\r\n", FailureClass::Temporary},
      {"RCPT", "550 5.1.1 unknown\r\n", FailureClass::Permanent},
      {"<message>", "452 4.3.1 full\r\n", FailureClass::Temporary},
      {"QUIT", "421 4.4.2 bye\r\n", FailureClass::Permanent},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.command + c.reply);
    ServerScript script = AcceptingServer();
    script.reply = [accept = script.reply, c](const std::string& command) {
      return !c.command.empty() && command.starts_with(c.command) ? c.reply : accept(command);
    };
    SessionRig rig(script);
    rig.Start();
    ASSERT_TRUE(rig.RunUntilEnded());
    EXPECT_EQ(rig.host.at(1).failure, c.failure);
  }
  SessionRig silent(AcceptingServer());
  silent.socket.Script().connect = ServerScript::ConnectMode::NoEvent;
  silent.Start();
  ASSERT_TRUE(silent.RunUntilEnded(200000));
  EXPECT_EQ(silent.host.at(1).failure, FailureClass::Temporary);
}

}  // namespace
}  // namespace tolvex::test
