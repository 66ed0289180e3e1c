// Run control in virtual time: start-up, the start delay, the repeat
// schedule with its captions, the ways the run ends and what each leaves on
// disk, and the exit status.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "app/exit_status.hpp"
#include "support/form_rig.hpp"

namespace tolvex::test {
namespace {

TEST(RunControl, LoadPreparesWindowSocketAndTimers) {
  FormRig rig;
  rig.tmrMore.SetEnabled(true);  // enabled at design time
  rig.WriteSimpleCommandFile({"#WAI=2", "#FOR=icon"});
  rig.Load();
  EXPECT_TRUE(rig.window.debugButtonHidden);
  EXPECT_TRUE(rig.window.minimized);
  EXPECT_FALSE(rig.tmrMore.Enabled());
  EXPECT_FALSE(rig.tmrSMTP.Enabled());
  EXPECT_TRUE(rig.tmrWait.Enabled());
  EXPECT_EQ(rig.socket.remotePort, 25);
  EXPECT_EQ(rig.socket.remoteHost, "mail.example");
  EXPECT_EQ(rig.form->State().FromAddr, "Sender <from@example.jp>");
  EXPECT_TRUE(rig.window.captions.empty());
}

TEST(RunControl, WithoutScheduleSendsOnceAndEndsWithTheDelivery) {
  FormRig rig;
  rig.WriteSimpleCommandFile();
  rig.Load();
  EXPECT_EQ(rig.window.LastCaption(), SendingCaption());
  EXPECT_TRUE(rig.Exists("TEMP.TXT"));
  EXPECT_EQ(rig.ReadFile("TEMP.TXT"), rig.form->State().MailData.Bytes() + "\r\n");
  ASSERT_TRUE(rig.RunUntilEnded());
  EXPECT_EQ(rig.ConnectTimes(), std::vector<Millis>{kTick});
  EXPECT_EQ(rig.window.exitCode, kExitOk);
  EXPECT_EQ(rig.window.endProcessCalls, 1);
  EXPECT_EQ(rig.window.trayDeletes, 1);
  EXPECT_FALSE(rig.Exists("TEMP.TXT"));
  EXPECT_TRUE(rig.Exists("command.txt"));
  // Ending with MoreInterval 0 leaves the caption as the send set it.
  EXPECT_EQ(rig.window.LastCaption(), SendingCaption());
}

TEST(RunControl, WaitOfOneMinuteStartsTheSendInTheSameTick) {
  FormRig rig;
  rig.WriteSimpleCommandFile({"#WAI=1"});
  rig.Load();
  rig.RunUntil(kMinute - 1);
  EXPECT_TRUE(rig.ConnectTimes().empty());
  EXPECT_TRUE(rig.window.captions.empty());
  ASSERT_TRUE(rig.RunUntilEnded());
  EXPECT_EQ(rig.window.CaptionsAt(kMinute),
            (std::vector<std::string>{WaitCaption(0), SendingCaption()}));
  EXPECT_EQ(rig.ConnectTimes(), std::vector<Millis>{kMinute + kTick});
  EXPECT_FALSE(rig.tmrWait.Enabled());
}

TEST(RunControl, WaitOfThreeMinutesCountsDown) {
  FormRig rig;
  rig.WriteSimpleCommandFile({"#WAI=3"});
  rig.Load();
  ASSERT_TRUE(rig.RunUntilEnded());
  EXPECT_EQ(rig.window.CaptionsAt(kMinute), std::vector<std::string>{WaitCaption(2)});
  EXPECT_EQ(rig.window.CaptionsAt(2 * kMinute), std::vector<std::string>{WaitCaption(1)});
  EXPECT_EQ(rig.window.CaptionsAt(3 * kMinute),
            (std::vector<std::string>{WaitCaption(0), SendingCaption()}));
  EXPECT_EQ(rig.ConnectMinutes(), std::vector<Millis>{3});
  EXPECT_EQ(rig.tmrWait.Ticks(), 3);
}

TEST(RunControl, WorkedExampleIntervalTwoCountThree) {
  FormRig rig;
  rig.WriteSimpleCommandFile({"#TER=2", "#MOR=3"});
  rig.Load();
  ASSERT_TRUE(rig.RunUntilEnded());
  EXPECT_EQ(rig.ConnectMinutes(), (std::vector<Millis>{0, 2, 4}));
  EXPECT_EQ(rig.window.endedAt, 6 * kMinute);
  const std::string idle = "Tolvex";
  EXPECT_EQ(rig.window.CaptionsAt(0), std::vector<std::string>{SendingCaption()});
  EXPECT_EQ(rig.window.CaptionsAt(16 * kTick), std::vector<std::string>{idle});
  EXPECT_EQ(rig.window.CaptionsAt(1 * kMinute), std::vector<std::string>{RepeatCaption(3)});
  EXPECT_EQ(rig.window.CaptionsAt(2 * kMinute),
            (std::vector<std::string>{RepeatCaption(2), SendingCaption()}));
  EXPECT_EQ(rig.window.CaptionsAt(3 * kMinute), std::vector<std::string>{RepeatCaption(1)});
  EXPECT_EQ(rig.window.CaptionsAt(4 * kMinute),
            (std::vector<std::string>{RepeatCaption(1), SendingCaption()}));
  EXPECT_EQ(rig.window.CaptionsAt(5 * kMinute), std::vector<std::string>{RepeatCaption(0)});
  // The last StartSend composes and ends the run before any step.
  EXPECT_EQ(rig.window.CaptionsAt(6 * kMinute),
            (std::vector<std::string>{RepeatCaption(0), SendingCaption()}));
  EXPECT_EQ(rig.LogRecordCount(), 3);
  EXPECT_EQ(rig.window.exitCode, kExitOk);
  EXPECT_FALSE(rig.Exists("TEMP.TXT"));
}

struct ScheduleRow {
  const char* name;
  std::vector<std::string> directives;
  std::vector<Millis> sendMinutes;
  Millis endMinute;  // -1: never ends by itself
};

class ScheduleTable : public ::testing::TestWithParam<ScheduleRow> {};

TEST_P(ScheduleTable, SendsAndEndsWhenTheTableSays) {
  const ScheduleRow& row = GetParam();
  FormRig rig;
  rig.WriteSimpleCommandFile(row.directives);
  rig.Load();
  const bool ended = rig.RunUntilEnded(10 * 60 * kMinute);
  EXPECT_EQ(rig.ConnectMinutes(), row.sendMinutes);
  if (row.endMinute < 0) {
    EXPECT_FALSE(ended);
  } else {
    ASSERT_TRUE(ended);
    EXPECT_EQ(rig.window.endedAt / kMinute, row.endMinute);
    EXPECT_EQ(rig.window.exitCode, kExitOk);
  }
  EXPECT_EQ(rig.LogRecordCount(), static_cast<int>(row.sendMinutes.size()));
}

INSTANTIATE_TEST_SUITE_P(
    Rows, ScheduleTable,
    ::testing::Values(ScheduleRow{"IntervalThreeCountTwo", {"#TER=3", "#MOR=2"}, {0, 3}, 6},
                      ScheduleRow{"IntervalOneCountThree", {"#TER=1", "#MOR=3"}, {0, 2, 3}, 4},
                      ScheduleRow{"IntervalOneCountOne", {"#TER=1", "#MOR=1"}, {0}, 2},
                      ScheduleRow{"IntervalWithoutCount", {"#TER=5"}, {}, 0},
                      ScheduleRow{"IntervalNegativeCount", {"#TER=5", "#MOR=-2"}, {}, 0},
                      ScheduleRow{"NoIntervalAnyCount", {"#MOR=4"}, {0}, 0},
                      ScheduleRow{"NegativeIntervalIdles", {"#TER=-1", "#MOR=3"}, {0}, -1},
                      ScheduleRow{"LongestInterval", {"#TER=32766", "#MOR=1"}, {0}, -1}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(RunControl, CountOneIntervalOneShowsTheRepeatCaptions) {
  FormRig rig;
  rig.WriteSimpleCommandFile({"#MOR=1", "#TER=1"});
  rig.Load();
  ASSERT_TRUE(rig.RunUntilEnded());
  EXPECT_EQ(rig.window.CaptionsAt(kMinute), std::vector<std::string>{RepeatCaption(1)});
  EXPECT_EQ(rig.window.CaptionsAt(2 * kMinute),
            (std::vector<std::string>{RepeatCaption(0), SendingCaption()}));
}

// The send that ends the run is not composed: a file it names that cannot
// be read is no failure of this run.
TEST(RunControl, IntervalWithoutCountEndsAtStartUpWithoutComposing) {
  FormRig rig;
  rig.WriteSimpleCommandFile({"#TER=5", "#DEL", "#ATT=missing.bin"});
  rig.Load();
  ASSERT_TRUE(rig.ProcessEnded());
  EXPECT_EQ(rig.window.endedAt, 0);
  EXPECT_EQ(rig.window.exitCode, kExitOk);
  EXPECT_TRUE(rig.window.failures.empty());
  EXPECT_TRUE(rig.form->State().MailData.Empty());
  EXPECT_TRUE(rig.socket.calls.empty());
  EXPECT_FALSE(rig.Exists("TEMP.TXT"));
  EXPECT_FALSE(rig.Exists("command.txt"));
  EXPECT_EQ(rig.Log(), "");
}

TEST(RunControl, NegativeIntervalStaysUntilTheUserExits) {
  FormRig rig;
  rig.WriteSimpleCommandFile({"#TER=-3", "#FOR=tray"});
  rig.Load();
  EXPECT_TRUE(rig.window.hidden);
  EXPECT_EQ(rig.window.trayAdds, 1);
  rig.RunUntil(48 * 60 * kMinute);
  ASSERT_FALSE(rig.ProcessEnded());
  EXPECT_EQ(rig.window.LastCaption(), "Tolvex");
  EXPECT_FALSE(rig.tmrMore.Enabled());
  EXPECT_EQ(rig.LogRecordCount(), 1);
  rig.form->menuExit_Click();
  EXPECT_EQ(rig.window.exitCode, kExitOk);
  EXPECT_EQ(rig.window.trayDeletes, 1);
  EXPECT_FALSE(rig.Exists("TEMP.TXT"));
  // Nothing runs after the end.
  rig.form->tmrSMTP_Timer();
  rig.form->tmrMore_Timer();
  rig.form->menuExit_Click();
  EXPECT_EQ(rig.window.endProcessCalls, 1);
  EXPECT_EQ(rig.window.LastCaption(), "Tolvex");
}

// ---- endings and files ---------------------------------------------------

enum class Ending { Delivery, RunEnd, MenuExit, UserClose, Terminate };

class EveryEnding : public ::testing::TestWithParam<Ending> {};

TEST_P(EveryEnding, RemovesSpoolAndCommandFileWhenAsked) {
  FormRig rig;
  std::vector<std::string> directives = {"#DEL"};
  if (GetParam() == Ending::RunEnd) directives = {"#DEL", "#TER=1", "#MOR=1"};
  if (GetParam() == Ending::MenuExit || GetParam() == Ending::UserClose ||
      GetParam() == Ending::Terminate) {
    directives = {"#DEL", "#TER=-1"};
  }
  rig.WriteSimpleCommandFile(directives);
  rig.Load();
  ASSERT_TRUE(rig.Exists("TEMP.TXT"));
  rig.RunUntil(10 * kMinute);
  switch (GetParam()) {
    case Ending::Delivery:
    case Ending::RunEnd:
      break;
    case Ending::MenuExit:
      rig.form->menuExit_Click();
      break;
    case Ending::UserClose:
      rig.form->Form_Unload();
      break;
    case Ending::Terminate:
      rig.form->Terminate(143);
      break;
  }
  ASSERT_TRUE(rig.ProcessEnded());
  EXPECT_FALSE(rig.Exists("TEMP.TXT"));
  EXPECT_FALSE(rig.Exists("command.txt"));
  EXPECT_EQ(rig.window.exitCode, GetParam() == Ending::Terminate ? 143 : kExitOk);
  // Closing the window leaves the tray icon alone; every other way removes it.
  EXPECT_EQ(rig.window.trayDeletes, GetParam() == Ending::UserClose ? 0 : 1);
}

INSTANTIATE_TEST_SUITE_P(Ways, EveryEnding,
                         ::testing::Values(Ending::Delivery, Ending::RunEnd, Ending::MenuExit,
                                           Ending::UserClose, Ending::Terminate));

TEST(RunControl, CommandFileStaysWithoutDelete) {
  FormRig rig;
  rig.WriteSimpleCommandFile({"#TER=-1"});
  rig.Load();
  rig.RunUntil(kMinute);
  rig.form->Form_Unload();
  EXPECT_TRUE(rig.Exists("command.txt"));
  EXPECT_FALSE(rig.Exists("TEMP.TXT"));
}

TEST(RunControl, EndingBeforeAnySendFindsNoSpoolFile) {
  FormRig rig;
  rig.WriteSimpleCommandFile({"#WAI=30", "#DEL"});
  rig.Load();
  rig.RunUntil(5 * kMinute);
  EXPECT_EQ(rig.window.LastCaption(), WaitCaption(25));
  rig.form->menuExit_Click();
  EXPECT_EQ(rig.window.exitCode, kExitOk);
  EXPECT_FALSE(rig.Exists("TEMP.TXT"));
  EXPECT_FALSE(rig.Exists("command.txt"));
}

TEST(RunControl, MenuExitDuringADeliveryEndsAtOnceWithoutLogging) {
  ServerScript script = AcceptingServer();
  script.connect = ServerScript::ConnectMode::NoEvent;
  FormRig rig(script);
  rig.WriteSimpleCommandFile();
  rig.Load();
  rig.RunUntil(30000);
  rig.form->menuExit_Click();
  EXPECT_EQ(rig.window.exitCode, kExitInterrupted);
  EXPECT_EQ(rig.Log(), "");
  EXPECT_FALSE(rig.Exists("TEMP.TXT"));
  rig.RunUntil(10 * kMinute);  // the loop stops: no tick runs any more
  EXPECT_EQ(rig.Log(), "");
  EXPECT_TRUE(rig.socket.CallsOf("Close").empty());
}

TEST(RunControl, UserCloseAfterAFailedDeliveryKeepsItsStatus) {
  ServerScript script = AcceptingServer();
  script.greeting = "554 go away\r\n";
  FormRig rig(script);
  rig.WriteSimpleCommandFile({"#TER=-1"});
  rig.Load();
  rig.RunUntil(kMinute);
  rig.form->Form_Unload();
  EXPECT_EQ(rig.window.exitCode, kExitUnavailable);
  EXPECT_EQ(rig.form->ExitStatus(), kExitUnavailable);
}

// What a run's ends come to, by the precedence written beside
// RunEnds::ExitStatus.
TEST(RunControl, ExitStatusOfTheRunsEnds) {
  using enum FailureClass;
  using K = FailureKind;
  const struct {
    const char* name;
    std::function<void(RunEnds&)> ends;
    int status;
  } cases[] = {
      {"nothing failed", [](RunEnds&) {}, kExitOk},
      {"a file not written over a refused delivery",
       [](RunEnds& e) {
         e.DeliveryFailed(Permanent, false);
         e.Failed(K::LogWriteFailed);
       },
       kExitCantCreate},
      {"a refused delivery over a message not composed",
       [](RunEnds& e) {
         e.Failed(K::CommandFileBad);
         e.DeliveryFailed(Permanent, false);
         e.Failed(K::InputMissing);
       },
       kExitUnavailable},
      {"the plain session: 69 whatever the class",
       [](RunEnds& e) { e.DeliveryFailed(Temporary, false); }, kExitUnavailable},
      {"submission: temporary over a file not written",
       [](RunEnds& e) {
         e.Failed(K::LogWriteFailed);
         e.DeliveryFailed(Temporary, true);
       },
       kExitTempFail},
      {"submission: the highest class wins",
       [](RunEnds& e) {
         e.DeliveryFailed(NoPermission, true);
         e.DeliveryFailed(Temporary, true);
         e.DeliveryFailed(Protocol, true);
       },
       kExitNoPerm},
      {"#RTY: the last message not delivered over a refused delivery",
       [](RunEnds& e) {
         e.Failed(K::DeliveryFailed);
         e.Undelivered(Temporary, false);
       },
       kExitTempFail},
      {"#RTY: the last message decides, not the worst",
       [](RunEnds& e) {
         e.Undelivered(NoPermission, true);
         e.Undelivered(Protocol, true);
       },
       kExitProtocol},
      {"#RTY: permanent in the plain session, over a message not composed",
       [](RunEnds& e) {
         e.Failed(K::CommandFileBad);
         e.Undelivered(NoPermission, false);
       },
       kExitUnavailable},
      {"#RTY: a file not written over a permanent failure",
       [](RunEnds& e) {
         e.Undelivered(Permanent, true);
         e.Failed(K::SpoolWriteFailed);
       },
       kExitCantCreate},
      {"#RTY: a temporary failure over a file not written",
       [](RunEnds& e) {
         e.Failed(K::SpoolWriteFailed);
         e.Undelivered(Temporary, false);
       },
       kExitTempFail},
      {"cut off by the user over everything",
       [](RunEnds& e) {
         e.Failed(K::LogWriteFailed);
         e.Undelivered(Temporary, true);
         e.CutOff(kExitInterrupted);
       },
       kExitInterrupted},
      {"cut off by a signal after a delivery",
       [](RunEnds& e) {
         e.DeliveryFailed(NoPermission, true);
         e.CutOff(128 + 15);
       },
       128 + 15},
  };
  for (const auto& c : cases) {
    RunEnds ends;
    c.ends(ends);
    EXPECT_EQ(ends.ExitStatus(), c.status) << c.name;
  }
}

// ---- start-up failures ---------------------------------------------------

TEST(RunControl, MissingCommandFileEndsWithoutTouchingFiles) {
  FormRig rig;
  rig.WriteFile("TEMP.TXT", "left from before");
  rig.Load();
  ASSERT_TRUE(rig.ProcessEnded());
  EXPECT_EQ(rig.window.exitCode, kExitNoInput);
  ASSERT_EQ(rig.window.failures.size(), 1u);
  EXPECT_EQ(rig.window.failures[0].kind, FailureKind::InputMissing);
  EXPECT_EQ(rig.ReadFile("TEMP.TXT"), "left from before");
  EXPECT_EQ(rig.window.trayDeletes, 1);  // what start-up may have added goes
  EXPECT_EQ(rig.socket.remotePort, -1);
}

TEST(RunControl, BadNumberKeepsCommandFileEvenWithDelete) {
  FormRig rig;
  rig.WriteSimpleCommandFile({"#DEL", "#WAI=soon"});
  rig.Load();
  ASSERT_TRUE(rig.ProcessEnded());
  EXPECT_EQ(rig.window.exitCode, kExitDataErr);
  EXPECT_TRUE(rig.Exists("command.txt"));
  EXPECT_TRUE(rig.socket.calls.empty());
}

TEST(RunControl, LargestIntervalIsRejectedBeforeAnythingIsSent) {
  FormRig rig;
  rig.WriteSimpleCommandFile({"#DEL", "#TER=32767", "#MOR=2"});
  rig.Load();
  ASSERT_TRUE(rig.ProcessEnded());
  EXPECT_EQ(rig.window.exitCode, kExitDataErr);
  ASSERT_EQ(rig.window.failures.size(), 1u);
  EXPECT_EQ(rig.window.failures[0].kind, FailureKind::CommandFileBad);
  EXPECT_TRUE(rig.Exists("command.txt"));
  EXPECT_FALSE(rig.Exists("TEMP.TXT"));
  EXPECT_TRUE(rig.socket.calls.empty());
}

// ---- composition failures and deliveries that overlap ---------------------

}  // namespace
}  // namespace tolvex::test
