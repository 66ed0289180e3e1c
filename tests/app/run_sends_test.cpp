// Run control around the sends: compositions that fail, files that change
// between repeats, repeats and run ends that fall due during a delivery, a
// log that cannot be written.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/exit_status.hpp"
#include "support/form_rig.hpp"

namespace tolvex::test {
namespace {

TEST(RunControl, AttachmentMissingAtSendTimeSendsNothing) {
  FormRig rig;
  rig.WriteSimpleCommandFile({"#ATT=missing.bin"});
  rig.Load();
  ASSERT_TRUE(rig.ProcessEnded());
  EXPECT_EQ(rig.window.exitCode, kExitNoInput);
  ASSERT_EQ(rig.window.failures.size(), 1u);
  EXPECT_EQ(rig.window.failures[0].kind, FailureKind::InputMissing);
  EXPECT_TRUE(rig.socket.calls.empty());
  EXPECT_EQ(rig.Log(), "");
}

TEST(RunControl, CompositionFailureWaitsForTheNextRepeat) {
  FormRig rig;
  rig.WriteSimpleCommandFile({"#ATT=late.bin", "#TER=1", "#MOR=3"});
  rig.Load();
  EXPECT_FALSE(rig.ProcessEnded());
  EXPECT_EQ(rig.window.failures.size(), 1u);
  rig.WriteFile("late.bin", "attachment bytes");  // there by the second send
  ASSERT_TRUE(rig.RunUntilEnded());
  EXPECT_EQ(rig.ConnectMinutes(), (std::vector<Millis>{2, 3}));
  EXPECT_EQ(rig.window.endedAt, 4 * kMinute);
  EXPECT_EQ(rig.LogRecordCount(), 2);
  EXPECT_EQ(rig.window.exitCode, kExitNoInput);
}

TEST(RunControl, RepeatingRunEndsWithoutReportingTheSendThatWasNotDue) {
  FormRig rig;
  rig.WriteSimpleCommandFile({"#ATT=data.bin", "#TER=1", "#MOR=2"});
  rig.WriteFile("data.bin", "bytes");
  rig.Load();
  rig.RunUntil(2 * kMinute + 30000);  // both sends went out
  std::filesystem::remove(rig.dir / "data.bin");
  ASSERT_TRUE(rig.RunUntilEnded());
  EXPECT_EQ(rig.socket.CallsOf("Connect").size(), 2u);
  EXPECT_TRUE(rig.window.failures.empty());
  EXPECT_EQ(rig.window.exitCode, kExitOk);
}

TEST(RunControl, AttachmentChangedBetweenSendsGoesOutNewEachTime) {
  FormRig rig;
  rig.WriteSimpleCommandFile({"#ATT=data.bin", "#TER=1", "#MOR=2"});
  rig.WriteFile("data.bin", "first version");
  rig.Load();
  rig.RunUntil(kMinute);
  ASSERT_EQ(rig.socket.CallsOf("SendMessageData").size(), 1u);
  // Rewritten in place while TEMP.TXT of the first send is still there.
  rig.WriteFile("data.bin", "second version, longer");
  rig.RunUntil(2 * kMinute + 30000);
  const auto sent = rig.socket.CallsOf("SendMessageData");
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_NE(sent[0].text.find("Zmlyc3QgdmVyc2lvbg=="), std::string::npos);  // "first version"
  EXPECT_NE(sent[1].text.find("c2Vjb25kIHZlcnNpb24sIGxvbmdlcg=="), std::string::npos);
  EXPECT_EQ(sent[1].text.find("Zmlyc3Qg"), std::string::npos);
  EXPECT_EQ(rig.ReadFile("TEMP.TXT"), rig.form->State().MailData.Bytes() + "\r\n");
  EXPECT_NE(rig.ReadFile("TEMP.TXT").find("c2Vjb25kIHZlcnNpb24sIGxvbmdlcg=="), std::string::npos);
  ASSERT_TRUE(rig.RunUntilEnded());
  EXPECT_FALSE(rig.Exists("TEMP.TXT"));
  EXPECT_FALSE(rig.Exists("TEMP.TXT.new"));
}

TEST(RunControl, SpoolLeftByAnEarlierRunIsRemovedAtStartUp) {
  FormRig rig;
  rig.WriteFile("TEMP.TXT.new", "half a message from a run that crashed");
  rig.WriteSimpleCommandFile({"#WAI=5"});
  rig.Load();
  EXPECT_FALSE(rig.Exists("TEMP.TXT.new"));
}

TEST(RunControl, RepeatDueDuringADeliveryStartsWhenItEnds) {
  ServerScript script = AcceptingServer();
  script.connect = ServerScript::ConnectMode::NoEvent;  // the first one hangs
  FormRig rig(script);
  rig.WriteSimpleCommandFile({"#TER=1", "#MOR=3"});
  rig.Load();
  rig.RunUntil(kMinute);
  rig.socket.Script().connect = ServerScript::ConnectMode::Accept;
  ASSERT_TRUE(rig.RunUntilEnded());
  // The first delivery is abandoned at 120.3 s; the send due at minute 2
  // starts at the end of that tick, the one at minute 3 on time.
  const Millis timeOut = 1203 * kTick;
  EXPECT_EQ(rig.ConnectTimes(), (std::vector<Millis>{kTick, timeOut + kTick, 3 * kMinute + kTick}));
  EXPECT_EQ(rig.window.CaptionsAt(timeOut), (std::vector<std::string>{"Tolvex", SendingCaption()}));
  EXPECT_EQ(rig.window.endedAt, 4 * kMinute);
  EXPECT_EQ(rig.Log(), FormRig::Record(timeOut, 999, "") +
                           FormRig::Record(timeOut + 16 * kTick, 0, "") +
                           FormRig::Record(3 * kMinute + 16 * kTick, 0, ""));
  EXPECT_EQ(rig.window.exitCode, kExitUnavailable);
}

TEST(RunControl, RunEndDueDuringADeliveryLetsItFinish) {
  ServerScript script = AcceptingServer();
  script.connect = ServerScript::ConnectMode::NoEvent;
  FormRig rig(script);
  rig.WriteSimpleCommandFile({"#TER=1", "#MOR=1", "#DEL"});
  rig.Load();
  ASSERT_TRUE(rig.RunUntilEnded());
  EXPECT_EQ(rig.window.endedAt, 1203 * kTick);
  EXPECT_EQ(rig.Log(), FormRig::Record(1203 * kTick, 999, ""));
  EXPECT_EQ(rig.ConnectTimes().size(), 1u);
  EXPECT_FALSE(rig.Exists("command.txt"));
  EXPECT_EQ(rig.window.exitCode, kExitUnavailable);
}

TEST(RunControl, UnwritableLogStillClosesAndEnds) {
  FormRig rig;
  std::filesystem::create_directory(rig.dir / "LOG.txt");
  rig.WriteSimpleCommandFile();
  rig.Load();
  ASSERT_TRUE(rig.RunUntilEnded());
  EXPECT_EQ(rig.window.endedAt, 16 * kTick);
  EXPECT_EQ(rig.socket.CallsOf("Close").size(), 1u);
  EXPECT_EQ(rig.window.exitCode, kExitCantCreate);
  ASSERT_EQ(rig.window.failures.size(), 1u);
  EXPECT_EQ(rig.window.failures[0].kind, FailureKind::LogWriteFailed);
  EXPECT_FALSE(rig.Exists("TEMP.TXT"));
}

TEST(RunControl, UnwritableLogDoesNotStopTheRepeats) {
  FormRig rig;
  std::filesystem::create_directory(rig.dir / "LOG.txt");
  rig.WriteSimpleCommandFile({"#TER=2", "#MOR=2"});
  rig.Load();
  ASSERT_TRUE(rig.RunUntilEnded());
  EXPECT_EQ(rig.ConnectMinutes(), (std::vector<Millis>{0, 2}));
  EXPECT_EQ(rig.window.failures.size(), 2u);
  EXPECT_EQ(rig.window.exitCode, kExitCantCreate);
  EXPECT_EQ(rig.window.LastCaption(), SendingCaption());
}

// A message the network takes slowly: once it has been going out for more
// than a tick the caption tells the share sent, at most every third tick
// and only as it changes, and gives way to the sending caption when the
// message is out or the connection is lost. LOG.txt and the wire are those
// of any send.
TEST(RunControl, LongMessageShowsTheShareSentInTheCaption) {
  struct Ending {
    const char* name;
    std::vector<std::string> directives;
    bool lost;
    int logStep;
    // Ticks from the message's start to its first percentage: the plain
    // session starts it at a tick, submission at the 354's arrival after it.
    int firstTick;
  };
  const Ending endings[] = {
      {"plain, delivered", {}, false, 0, 2},
      // The plain session notices a lost connection by its time-out.
      {"plain, lost", {}, true, 999, 2},
      {"submission, delivered", {"#SEC=tls"}, false, 0, 3},
      // Submission ends at the loss itself, between two ticks.
      {"submission, lost", {"#SEC=tls"}, true, 999, 3},
  };
  const auto shown = [](int percent) {
    return "Tolvex(\x91\x97\x90\x4D\x92\x86 " + std::to_string(percent) + "%)";
  };
  for (const Ending& ending : endings) {
    SCOPED_TRACE(ending.name);
    ServerScript script = AcceptingServer();
    script.slowMessage = true;
    script.greetAfterTls = !ending.directives.empty();  // implicit TLS
    FormRig rig(script);
    std::vector<std::string> directives = ending.directives;
    directives.push_back("#ATT=big.bin");
    rig.WriteSimpleCommandFile(directives);
    rig.WriteFile("big.bin", std::string(30000, 'x'));
    rig.Load();
    while (rig.socket.CallsOf("SendMessageData").empty() && rig.scheduler.Now() < kMinute) {
      rig.RunFor(kTick);
    }
    ASSERT_EQ(rig.socket.CallsOf("SendMessageData").size(), 1u);
    const Millis first = rig.socket.CallsOf("SendMessageData")[0].at + ending.firstTick * kTick;
    const std::size_t wireBefore = rig.socket.wire.size();
    // The message with its end-of-data line, no dot to double: as long as
    // it is on the wire.
    const std::uint64_t total = rig.form->State().MailData.Bytes().size();

    rig.RunUntil(first - kTick);
    EXPECT_EQ(rig.window.LastCaption(), SendingCaption());
    rig.RunUntil(first);
    EXPECT_EQ(rig.window.CaptionsAt(first), std::vector<std::string>{shown(0)});
    rig.socket.Uplink((total * 45 + 99) / 100);
    rig.RunUntil(first + 2 * kTick);
    EXPECT_EQ(rig.window.LastCaption(), shown(0));
    rig.RunUntil(first + 3 * kTick);
    EXPECT_EQ(rig.window.CaptionsAt(first + 3 * kTick), std::vector<std::string>{shown(45)});
    const std::size_t captions = rig.window.captions.size();
    rig.RunUntil(first + 20 * kTick);
    EXPECT_EQ(rig.window.captions.size(), captions);  // 45% all along

    if (ending.lost) {
      rig.socket.QueueError("connection reset");
    } else {
      rig.socket.Uplink(total);
    }
    ASSERT_TRUE(rig.RunUntilEnded(first + 5 * kMinute));
    ASSERT_EQ(rig.window.captions.size(), captions + 1);
    EXPECT_EQ(rig.window.LastCaption(), SendingCaption());
    EXPECT_EQ(rig.LogRecordCount(), 1);
    EXPECT_NE(rig.Log().find(" " + std::to_string(ending.logStep) + " "), std::string::npos);
    if (!ending.lost) {
      EXPECT_EQ(rig.socket.wire.size() - wireBefore, total + std::string("QUIT\r\n").size());
      EXPECT_TRUE(rig.socket.wire.ends_with("\r\n.\r\nQUIT\r\n"));
    }
  }
}

}  // namespace
}  // namespace tolvex::test
