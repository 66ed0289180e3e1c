// Local date and time for the log record: "yyyy/MM/dd H:mm:ss", the short
// date and long time formats of a Japanese desktop, on every machine.
#pragma once

#include <ctime>
#include <string>

#include "base/platform.hpp"

namespace tolvex::posix {

std::string FormatLogDateTime(const std::tm& local);
// The broken-down local time with its offset from UTC (tm_gmtoff).
LocalTime ToLocalTime(const std::tm& local);

class SystemClock : public Clock {
 public:
  std::string LogDateTime() override;
  LocalTime Now() override;
  std::int64_t SteadySeconds() override;
  void Wait(std::int64_t seconds) override;
};

}  // namespace tolvex::posix
