// Window timers: ticks on the message loop while enabled, none after.
#include <gtest/gtest.h>

#include "platform/win32/message_window.hpp"
#include "platform/win32/timer.hpp"
#include "pump.hpp"

namespace tolvex::win {
namespace {

struct TimerRig {
  int ticksA = 0;
  int ticksB = 0;
  WindowTimer* a = nullptr;
  WindowTimer* b = nullptr;
  MessageWindow window{[this](UINT msg, WPARAM id, LPARAM) {
    if (msg != WM_TIMER) return false;
    if (a && a->Accepts(id)) ++ticksA;
    if (b && b->Accepts(id)) ++ticksB;
    return true;
  }};
};

TEST(WindowTimerTest, TicksArriveOnlyWhileEnabled) {
  TimerRig rig;
  WindowTimer a(rig.window.Handle(), 1, 15);
  rig.a = &a;
  EXPECT_FALSE(a.Enabled());
  test::PumpFor(60);
  EXPECT_EQ(rig.ticksA, 0);
  a.SetEnabled(true);
  EXPECT_TRUE(a.Enabled());
  ASSERT_TRUE(test::PumpUntil([&] { return rig.ticksA >= 3; }, 3000));
  a.SetEnabled(false);
  EXPECT_FALSE(a.Enabled());
  int seen = rig.ticksA;
  test::PumpFor(100);
  EXPECT_EQ(rig.ticksA, seen);
}

TEST(WindowTimerTest, DisablingDropsATickAlreadyDue) {
  TimerRig rig;
  WindowTimer a(rig.window.Handle(), 1, 10);
  rig.a = &a;
  a.SetEnabled(true);
  Sleep(80);  // the tick falls due while nobody pumps
  a.SetEnabled(false);
  test::PumpFor(50);
  EXPECT_EQ(rig.ticksA, 0);
}

TEST(WindowTimerTest, TimersOnOneWindowKeepTheirOwnTicks) {
  TimerRig rig;
  WindowTimer a(rig.window.Handle(), 1, 15);
  WindowTimer b(rig.window.Handle(), 2, 15);
  rig.a = &a;
  rig.b = &b;
  b.SetEnabled(true);
  ASSERT_TRUE(test::PumpUntil([&] { return rig.ticksB >= 2; }, 3000));
  EXPECT_EQ(rig.ticksA, 0);
  EXPECT_EQ(a.PeriodMs(), 15u);
}

TEST(WindowTimerTest, EnablingTwiceKeepsOneTimer) {
  TimerRig rig;
  WindowTimer a(rig.window.Handle(), 1, 15);
  rig.a = &a;
  a.SetEnabled(true);
  a.SetEnabled(true);
  ASSERT_TRUE(test::PumpUntil([&] { return rig.ticksA >= 1; }, 3000));
  a.SetEnabled(false);  // one KillTimer ends it
  int seen = rig.ticksA;
  test::PumpFor(80);
  EXPECT_EQ(rig.ticksA, seen);
}

}  // namespace
}  // namespace tolvex::win
