// The log record's date and time in the user's own formats: the short date
// and the time format of the user's locale, as code page 932 bytes.
#pragma once

#include <windows.h>

#include "base/platform.hpp"

namespace tolvex::win {

// Formats `time` with the short date and the default time format of
// `locale`, separated by one space.
std::string FormatLogDateTime(LCID locale, const SYSTEMTIME& time);
// The local time with the zone's current offset from UTC.
LocalTime ToLocalTime(const SYSTEMTIME& time, int utcOffsetMinutes);

class LocaleClock final : public Clock {
 public:
  std::string LogDateTime() override;
  LocalTime Now() override;
  std::int64_t SteadySeconds() override;
  void Wait(std::int64_t seconds) override;
};

}  // namespace tolvex::win
