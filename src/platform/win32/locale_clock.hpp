// The log record's date and time in the user's own formats: the short date
// and the time format of the user's locale, as code page 932 bytes.
#pragma once

#include <windows.h>

#include "app/platform.hpp"

namespace tolvex::win {

// Formats `time` with the short date and the default time format of
// `locale`, separated by one space.
std::string FormatLogDateTime(LCID locale, const SYSTEMTIME& time);

class LocaleClock final : public Clock {
 public:
  std::string LogDateTime() override;
};

}  // namespace tolvex::win
