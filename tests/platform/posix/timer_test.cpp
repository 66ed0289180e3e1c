// The Asio timer: period, cancel on disable, restart on enable, and that an
// idle process sleeps instead of spinning.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <chrono>
#include <vector>

#include "platform/posix/timer.hpp"
#include "scripted_server.hpp"

namespace tolvex::posix::test {
namespace {

using Clock = std::chrono::steady_clock;

double CpuSeconds() {
  rusage ru{};
  getrusage(RUSAGE_SELF, &ru);
  return static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
         static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

struct TimerFixture : ::testing::Test {
  asio::io_context io;
  EventGate gate{io};
};

TEST_F(TimerFixture, TicksOncePerPeriodWhileEnabled) {
  AsioTimer t(io, gate, 10ms);
  std::vector<Clock::time_point> ticks;
  t.SetCallback([&] { ticks.push_back(Clock::now()); });
  RunFor(io, 30ms);
  EXPECT_TRUE(ticks.empty());  // created disabled
  const auto enabledAt = Clock::now();
  t.SetEnabled(true);
  ASSERT_TRUE(RunUntil(io, [&] { return ticks.size() >= 5; }));
  EXPECT_GE(ticks[0] - enabledAt, 10ms);
  EXPECT_GE(ticks[4] - enabledAt, 50ms);
}

TEST_F(TimerFixture, DisablingInsideTheTickStopsFurtherTicks) {
  AsioTimer t(io, gate, 2ms);
  int count = 0;
  t.SetCallback([&] {
    if (++count == 3) t.SetEnabled(false);
  });
  t.SetEnabled(true);
  ASSERT_TRUE(RunUntil(io, [&] { return count == 3; }));
  RunFor(io, 30ms);
  EXPECT_EQ(count, 3);
  EXPECT_FALSE(t.Enabled());
}

TEST_F(TimerFixture, ReenablingStartsAFullPeriodAndEnablingTwiceKeepsTheRhythm) {
  // Periods long enough that a loaded machine cannot blur the two readings.
  AsioTimer t(io, gate, 200ms);
  std::vector<Clock::time_point> ticks;
  t.SetCallback([&] { ticks.push_back(Clock::now()); });
  t.SetEnabled(true);
  RunFor(io, 60ms);
  t.SetEnabled(false);
  const auto restartedAt = Clock::now();
  t.SetEnabled(true);  // a full 200 ms from here, not the 140 ms left before
  ASSERT_TRUE(RunUntil(io, [&] { return !ticks.empty(); }));
  EXPECT_GE(ticks[0] - restartedAt, 200ms);

  // Enabling a running timer again must not restart its period: the next
  // tick comes 200 ms after the first, not 200 ms after the second enable
  // (which would be 320 ms after the first).
  const auto afterFirst = ticks[0];
  RunFor(io, 120ms);
  t.SetEnabled(true);
  ASSERT_TRUE(RunUntil(io, [&] { return ticks.size() == 2; }));
  EXPECT_LT(ticks[1] - afterFirst, 260ms);
}

// Two timers on one loop each keep their own period.
TEST_F(TimerFixture, IndependentTimersOnOneLoop) {
  AsioTimer fast(io, gate, 1ms), slow(io, gate, 20ms);
  int f = 0, s = 0;
  fast.SetCallback([&] { ++f; });
  slow.SetCallback([&] { ++s; });
  fast.SetEnabled(true);
  slow.SetEnabled(true);
  ASSERT_TRUE(RunUntil(io, [&] { return s == 2; }));
  EXPECT_GT(f, s);
  slow.SetEnabled(false);
  fast.SetEnabled(false);
}

// Between minute ticks the loop sleeps: 300 ms with only a long timer
// pending costs next to no processor time.
TEST_F(TimerFixture, IdleLoopSleeps) {
  AsioTimer minute(io, gate, 60000ms);
  minute.SetCallback([] {});
  minute.SetEnabled(true);
  const double cpu0 = CpuSeconds();
  const auto t0 = Clock::now();
  RunFor(io, 300ms);
  const double cpu = CpuSeconds() - cpu0;
  EXPECT_GE(Clock::now() - t0, 290ms);
  EXPECT_LT(cpu, 0.05);
}

}  // namespace
}  // namespace tolvex::posix::test
