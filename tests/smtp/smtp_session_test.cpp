// The SMTP session driven through Form1 with a real command.txt, the
// scripted socket and virtual 100 ms ticks.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/exit_status.hpp"
#include "smtp/smtp_session.hpp"
#include "support/form_rig.hpp"

namespace tolvex::test {
namespace {

std::vector<std::string> Commands(const FakeSocket& socket) {
  std::vector<std::string> out;
  for (const auto& call : socket.calls) {
    if (call.what == "SendData") out.push_back(call.text);
    if (call.what == "SendMessageData") out.push_back("<message>");
  }
  return out;
}

// A server answering `code` to the first command that starts with `prefix`
// and accepting everything else.
ServerScript RejectAt(std::string prefix, std::string reply) {
  ServerScript script = AcceptingServer();
  auto accept = script.reply;
  script.reply = [=](const std::string& command) {
    return command.starts_with(prefix) ? reply : accept(command);
  };
  return script;
}

TEST(SmtpSession, NormalSessionWalksEveryStateAndLogsZero) {
  FormRig rig;
  rig.WriteSimpleCommandFile();
  rig.Load();
  std::vector<int> states;
  rig.scheduler.SetHandler(rig.tmrSMTP, [&] {
    rig.form->tmrSMTP_Timer();
    states.push_back(StepNumber(rig.form->Session().Step()));
  });
  ASSERT_TRUE(rig.RunUntilEnded(10 * kMinute));

  // The connect and greeting events move 110 to 120 between ticks 1 and 2.
  EXPECT_EQ(states, (std::vector<int>{110, 125, 130, 135, 140, 145, 150, 155, 160, 170, 180, 190,
                                      200, 210, 0, 0}));
  EXPECT_EQ(Commands(rig.socket),
            (std::vector<std::string>{"HELO desk1\r\n", "MAIL FROM:<from@example.jp>\r\n",
                                      "RCPT TO:<to@example.jp>\r\n", "DATA\r\n", "<message>",
                                      "QUIT\r\n"}));
  // The sixteenth tick finishes the session: one record, state 0, no text.
  EXPECT_EQ(rig.window.endedAt, 16 * kTick);
  EXPECT_EQ(rig.Log(), FormRig::Record(16 * kTick, 0, ""));
  EXPECT_EQ(rig.socket.CallsOf("Close").size(), 1u);
  EXPECT_EQ(rig.window.exitCode, 0);
  EXPECT_TRUE(rig.window.failures.empty());
  EXPECT_EQ(rig.socket.remotePort, 25);
  EXPECT_EQ(rig.socket.remoteHost, "mail.example");
  EXPECT_FALSE(rig.tmrSMTP.Enabled());
}

TEST(SmtpSession, DefaultSenderAndEmptyLocalName) {
  FormRig rig;
  rig.WriteCommandFile({"#HOS=mail.example", "#TO=<a@example.jp>", "", "x"});
  rig.Load();
  ASSERT_TRUE(rig.RunUntilEnded(kMinute));
  const auto commands = Commands(rig.socket);
  ASSERT_GE(commands.size(), 3u);
  EXPECT_EQ(commands[0], "HELO [192.0.2.10]\r\n");
  EXPECT_EQ(commands[1], "MAIL FROM:<DummySender>\r\n");
  EXPECT_EQ(commands[2], "RCPT TO:<a@example.jp>\r\n");
}

TEST(SmtpSession, MessageGoesOutExactlyAsComposedAndStuffedOnTheWire) {
  FormRig rig;
  rig.WriteCommandFile({"#HOS=h", "#TO=a@example.jp", "", "first", ".", ".hidden", "last"});
  rig.Load();
  ASSERT_TRUE(rig.RunUntilEnded(kMinute));
  const auto sent = rig.socket.CallsOf("SendMessageData");
  ASSERT_EQ(sent.size(), 1u);
  const std::string mail = rig.form->State().MailData.Bytes();
  EXPECT_TRUE(mail.ends_with("last\r\n.\r\n")) << mail;
  EXPECT_NE(mail.find("\r\n.\r\n.hidden\r\n"), std::string::npos) << "MailData must stay undoubled";
  // On the wire: DATA, the stuffed message, then QUIT and nothing between.
  const std::size_t data = rig.socket.wire.find("DATA\r\n");
  ASSERT_NE(data, std::string::npos);
  std::string expected = mail;
  const std::string plain = "\r\n.\r\n.hidden";
  expected.replace(expected.find(plain), plain.size(), "\r\n..\r\n..hidden");
  EXPECT_EQ(sent[0].text, expected);
  EXPECT_EQ(rig.socket.wire.substr(data + 6), expected + "QUIT\r\n");
}

TEST(SmtpSession, ThreeRecipientsInOrderEachAfterItsReply) {
  FormRig rig;
  rig.WriteSimpleCommandFile({"#TO=a@x.jp, B <b@x.jp> ,c@x.jp"});
  rig.Load();
  ASSERT_TRUE(rig.RunUntilEnded(kMinute));
  const auto commands = Commands(rig.socket);
  ASSERT_EQ(commands.size(), 8u);
  EXPECT_EQ(commands[2], "RCPT TO:<a@x.jp>\r\n");
  EXPECT_EQ(commands[3], "RCPT TO:<b@x.jp>\r\n");
  EXPECT_EQ(commands[4], "RCPT TO:<c@x.jp>\r\n");
  EXPECT_EQ(commands[5], "DATA\r\n");
  EXPECT_EQ(rig.Log().substr(24), "0 \r\n");
  EXPECT_EQ(rig.form->State().ToCount, 3);
}

TEST(SmtpSession, RejectedSecondRecipientEndsInState140) {
  FormRig rig(RejectAt("RCPT TO:<b@", "550 no such user\r\n"));
  rig.WriteSimpleCommandFile({"#TO=a@x.jp,b@x.jp,c@x.jp"});
  rig.Load();
  ASSERT_TRUE(rig.RunUntilEnded(kMinute));
  const auto commands = Commands(rig.socket);
  ASSERT_EQ(commands.size(), 4u);
  EXPECT_EQ(commands.back(), "RCPT TO:<b@x.jp>\r\n");
  EXPECT_EQ(rig.Log(), FormRig::Record(rig.window.endedAt, 140, "550 no such user\r\n"));
  EXPECT_EQ(rig.window.exitCode, kExitUnavailable);
  ASSERT_EQ(rig.window.failures.size(), 1u);
  EXPECT_EQ(rig.window.failures[0].kind, FailureKind::DeliveryFailed);
  EXPECT_EQ(rig.window.failures[0].message, "delivery failed in state 140: 550 no such user");
}

struct FailureRow {
  const char* name;
  std::string prefix;  // command answered with `reply` ("" = the greeting)
  std::string reply;
  int loggedStep;
  std::size_t commandsSent;
};

class SmtpFailureTable : public ::testing::TestWithParam<FailureRow> {};

TEST_P(SmtpFailureTable, LogsTheStateAndTheReply) {
  const FailureRow& row = GetParam();
  ServerScript script = row.prefix.empty() ? AcceptingServer() : RejectAt(row.prefix, row.reply);
  if (row.prefix.empty()) script.greeting = row.reply;
  FormRig rig(script);
  // A repeating run, so the program stays and the caption can be seen.
  rig.WriteSimpleCommandFile({"#TER=5", "#MOR=2"});
  rig.Load();
  rig.RunUntil(30000);
  ASSERT_FALSE(rig.ProcessEnded());
  EXPECT_EQ(Commands(rig.socket).size(), row.commandsSent);
  const std::string log = rig.Log();
  ASSERT_FALSE(log.empty());
  const std::string expectedTail = " " + std::to_string(row.loggedStep) + " " + row.reply + "\r\n";
  EXPECT_TRUE(log.ends_with(expectedTail)) << log;
  EXPECT_EQ(log.size(), 23 + expectedTail.size()) << "one record only";
  EXPECT_EQ(StepNumber(rig.form->Session().Step()), 0);
  EXPECT_FALSE(rig.tmrSMTP.Enabled());
  EXPECT_EQ(rig.socket.CallsOf("Close").size(), 1u);
  // An immediate failure leaves the sending caption; 999 ends with "Tolvex".
  EXPECT_EQ(rig.window.LastCaption(),
            row.loggedStep == 999 ? std::string("Tolvex") : SendingCaption());
  ASSERT_FALSE(rig.window.failures.empty());
  EXPECT_EQ(rig.window.failures.back().kind, FailureKind::DeliveryFailed);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, SmtpFailureTable,
    ::testing::Values(FailureRow{"Greeting", "", "554 no service\r\n", 120, 0},
                      FailureRow{"Hello", "HELO", "501 bad name\r\n", 130, 1},
                      FailureRow{"MailFrom", "MAIL FROM", "553 bad sender\r\n", 140, 2},
                      FailureRow{"LastRcpt", "RCPT TO", "550 unknown\r\n", 150, 3},
                      FailureRow{"Data", "DATA", "503 need rcpt\r\n", 160, 4},
                      FailureRow{"Message", "<message>", "554 rejected\r\n", 999, 5},
                      FailureRow{"Quit", "QUIT", "250 what\r\n", 999, 6},
                      // The first line carries the code; only three characters count.
                      FailureRow{"GreetingDigitsOnly", "", "22O typo\r\n", 120, 0}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(SmtpSession, MultiLineRepliesPassWhereALineBeginsWithTheCode) {
  ServerScript script = AcceptingServer();
  script.greeting = "220-first line\r\n220 second line\r\n";
  auto accept = script.reply;
  script.reply = [=](const std::string& command) {
    if (command == "<message>") return std::string("500 odd\r\n250 queued anyway\r\n");
    if (command == "QUIT\r\n") return std::string("221-closing\r\n221 bye\r\n");
    return accept(command);
  };
  FormRig rig(script);
  rig.WriteSimpleCommandFile();
  rig.Load();
  ASSERT_TRUE(rig.RunUntilEnded(kMinute));
  EXPECT_EQ(rig.Log(), FormRig::Record(rig.window.endedAt, 0, ""));
  EXPECT_EQ(rig.window.exitCode, 0);
}

// A rejection whose text holds the digits is no acceptance: "250" or "221"
// must begin a line.
TEST(SmtpSession, CodeInsideTheTextOfARejectionIsNotAcceptance) {
  for (const auto& [command, reply] :
       {std::pair<std::string, std::string>{"<message>", "552 size 2500 exceeds the limit\r\n"},
        {"<message>", "451 queue 250 full, later\r\n"},
        {"QUIT\r\n", "closing 221 bye\r\n"}}) {
    ServerScript script = AcceptingServer();
    auto accept = script.reply;
    script.reply = [=, c = command, r = reply](const std::string& sent) {
      return sent == c ? r : accept(sent);
    };
    FormRig rig(script);
    rig.WriteSimpleCommandFile();
    rig.Load();
    ASSERT_TRUE(rig.RunUntilEnded(kMinute));
    EXPECT_EQ(rig.Log(), FormRig::Record(rig.window.endedAt, 999, reply)) << reply;
    EXPECT_EQ(rig.window.exitCode, kExitUnavailable) << reply;
  }
}

TEST(SmtpSession, GreetingInTwoPiecesSpoilsTheHelloCheck) {
  ServerScript script = AcceptingServer();
  script.greeting = "220 mail";
  script.reply = [](const std::string& command) {
    return command.starts_with("HELO") ? std::string(".example ready\r\n")
                                       : std::string("250 ok\r\n");
  };
  FormRig rig(script);
  rig.WriteSimpleCommandFile();
  rig.Load();
  ASSERT_TRUE(rig.RunUntilEnded(kMinute));
  EXPECT_EQ(rig.Log(), FormRig::Record(rig.window.endedAt, 130, ".example ready\r\n"));
}

TEST(SmtpSession, ConnectEventWithoutConnectionFailsAtTheNextTick) {
  ServerScript script = AcceptingServer();
  script.connect = ServerScript::ConnectMode::EventNotConnected;
  FormRig rig(script);
  rig.WriteSimpleCommandFile();
  rig.Load();
  ASSERT_TRUE(rig.RunUntilEnded(kMinute));
  EXPECT_EQ(rig.window.endedAt, 2 * kTick);
  EXPECT_EQ(rig.Log(), FormRig::Record(2 * kTick, 999, ""));
  EXPECT_EQ(rig.window.exitCode, kExitUnavailable);
  EXPECT_EQ(rig.window.failures.at(0).message, "delivery failed in state 999: (no reply)");
}

TEST(SmtpSession, UnchangedStateIsAbandonedAtThe1201stTick) {
  ServerScript script = AcceptingServer();
  script.connect = ServerScript::ConnectMode::NoEvent;
  FormRig rig(script);
  rig.WriteSimpleCommandFile();
  rig.Load();
  // Tick 1 (100 ms) requests the connection; tick 2 first sees 110 and
  // ticks 3 .. 1202 count it unchanged 1200 times.
  rig.RunUntil(1202 * kTick);
  EXPECT_FALSE(rig.ProcessEnded());
  EXPECT_EQ(StepNumber(rig.form->Session().Step()), 110);
  EXPECT_EQ(rig.Log(), "");
  rig.RunUntil(1203 * kTick);
  ASSERT_TRUE(rig.ProcessEnded());
  EXPECT_EQ(rig.window.endedAt, 1203 * kTick);
  EXPECT_EQ(rig.Log(), FormRig::Record(1203 * kTick, 999, ""));
}

TEST(SmtpSession, SendNeverCompletingTimesOut) {
  ServerScript script = AcceptingServer();
  script.completeSends = false;
  FormRig rig(script);
  rig.WriteSimpleCommandFile();
  rig.Load();
  ASSERT_TRUE(rig.RunUntilEnded(10 * kMinute));
  // HELO goes out at tick 2 (125); ticks 3 .. 1203 count it, 1204 abandons.
  EXPECT_EQ(rig.window.endedAt, 1204 * kTick);
  EXPECT_EQ(Commands(rig.socket), std::vector<std::string>{"HELO desk1\r\n"});
  // The HELO reply arrived (without a completion): it is what is logged.
  EXPECT_EQ(rig.Log(), FormRig::Record(1204 * kTick, 999, "250 ok\r\n"));
}

TEST(SmtpSession, StaleReplyOfAnEarlierSessionIsLoggedAtTimeOut) {
  FormRig rig(RejectAt("HELO", "421 busy\r\n"));
  rig.WriteSimpleCommandFile({"#TER=3", "#MOR=2"});
  rig.Load();
  rig.RunUntil(kMinute);
  ASSERT_EQ(rig.Log(), FormRig::Record(4 * kTick, 130, "421 busy\r\n"));
  rig.socket.Script().connect = ServerScript::ConnectMode::NoEvent;
  rig.RunUntil(6 * kMinute);
  // Second send at minute 3: connect at +100 ms, abandoned at +120.3 s.
  const Millis second = 3 * kMinute;
  EXPECT_EQ(rig.ConnectTimes(), (std::vector<Millis>{kTick, second + kTick}));
  EXPECT_EQ(rig.Log(), FormRig::Record(4 * kTick, 130, "421 busy\r\n") +
                           FormRig::Record(second + 1203 * kTick, 999, "421 busy\r\n"));
  EXPECT_EQ(rig.form->Session().Received(), "421 busy\r\n");
}

TEST(SmtpSession, LogRecordsAreAppended) {
  FormRig rig;
  rig.WriteFile("LOG.txt", "old record\r\n");
  rig.WriteSimpleCommandFile();
  rig.Load();
  ASSERT_TRUE(rig.RunUntilEnded(kMinute));
  EXPECT_EQ(rig.Log(), "old record\r\n" + FormRig::Record(16 * kTick, 0, ""));
}

}  // namespace
}  // namespace tolvex::test

namespace tolvex::test {
namespace {

TEST(SmtpSession, EverySessionWalksTheRecipientsFromTheFirst) {
  FormRig rig;
  rig.WriteSimpleCommandFile({"#TO=a@x.jp,b@x.jp", "#TER=1", "#MOR=2"});
  rig.Load();
  ASSERT_TRUE(rig.RunUntilEnded());
  std::vector<std::string> rcpts;
  for (const auto& call : rig.socket.CallsOf("SendData")) {
    if (call.text.starts_with("RCPT")) rcpts.push_back(call.text);
  }
  EXPECT_EQ(rcpts, (std::vector<std::string>{"RCPT TO:<a@x.jp>\r\n", "RCPT TO:<b@x.jp>\r\n",
                                             "RCPT TO:<a@x.jp>\r\n", "RCPT TO:<b@x.jp>\r\n"}));
}

TEST(SmtpSession, UnwritableLogAndRefusedDeliveryKeepTheHigherStatus) {
  ServerScript script = AcceptingServer();
  script.greeting = "554 closed\r\n";
  FormRig rig(script);
  std::filesystem::create_directory(rig.dir / "LOG.txt");
  rig.WriteSimpleCommandFile();
  rig.Load();
  ASSERT_TRUE(rig.RunUntilEnded());
  ASSERT_EQ(rig.window.failures.size(), 2u);
  EXPECT_EQ(rig.window.failures[0].kind, FailureKind::LogWriteFailed);
  EXPECT_EQ(rig.window.failures[1].message, "delivery failed in state 120: 554 closed");
  EXPECT_EQ(rig.window.exitCode, kExitCantCreate);
}

}  // namespace
}  // namespace tolvex::test

namespace tolvex::test {
namespace {

TEST(SmtpSession, DataBeforeTheConnectEventOnlyReplacesTheReply) {
  ServerScript script = AcceptingServer();
  script.connect = ServerScript::ConnectMode::NoEvent;
  FormRig rig(script);
  rig.WriteSimpleCommandFile({"#TER=-1"});
  rig.Load();
  rig.RunUntil(5 * kTick);
  rig.socket.QueueData("220 early\r\n");
  rig.RunUntil(10 * kTick);
  EXPECT_EQ(StepNumber(rig.form->Session().Step()), 110);
  EXPECT_EQ(rig.form->Session().Received(), "220 early\r\n");
  rig.socket.QueueConnect(true);
  rig.socket.QueueData("220 now\r\n");
  rig.RunUntil(kMinute);
  EXPECT_EQ(rig.Log(), FormRig::Record(25 * kTick, 0, ""));
}

}  // namespace
}  // namespace tolvex::test
