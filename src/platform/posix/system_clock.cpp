#include "platform/posix/system_clock.hpp"

#include <cstdio>

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

}  // namespace tolvex::posix
