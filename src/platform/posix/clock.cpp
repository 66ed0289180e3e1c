// Local date and time on Linux.
#include "platform/posix/clock.hpp"

#include <chrono>
#include <cstdio>
#include <thread>

namespace tolvex::posix {

std::string FormatLogDateTime(const std::tm& t) {
  char buf[64];
  const int n = std::snprintf(buf, sizeof buf, "%04d/%02d/%02d %d:%02d:%02d", t.tm_year + 1900,
                              t.tm_mon + 1, t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec);
  return std::string(buf, n > 0 ? static_cast<std::size_t>(n) : 0);
}

std::string SystemClock::LogDateTime() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  return FormatLogDateTime(local);
}

LocalTime ToLocalTime(const std::tm& t) {
  LocalTime out;
  out.year = t.tm_year + 1900;
  out.month = t.tm_mon + 1;
  out.day = t.tm_mday;
  out.weekday = t.tm_wday;
  out.hour = t.tm_hour;
  out.minute = t.tm_min;
  out.second = t.tm_sec;
  out.utcOffsetMinutes = static_cast<int>(t.tm_gmtoff / 60);
  return out;
}

LocalTime SystemClock::Now() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  return ToLocalTime(local);
}

std::int64_t SystemClock::SteadySeconds() {
  return std::chrono::duration_cast<std::chrono::seconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

void SystemClock::Wait(std::int64_t seconds) {
  std::this_thread::sleep_for(std::chrono::seconds(seconds));
}

}  // namespace tolvex::posix
