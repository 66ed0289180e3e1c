// Local date and time for the log record: "yyyy/MM/dd H:mm:ss", the short
// date and long time formats of a Japanese desktop, on every machine.
#pragma once

#include <ctime>
#include <string>

#include "app/platform.hpp"

namespace tolvex::posix {

std::string FormatLogDateTime(const std::tm& local);

class SystemClock : public Clock {
 public:
  std::string LogDateTime() override;
};

}  // namespace tolvex::posix
