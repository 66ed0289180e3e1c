// The LOG.txt record of one session: date and time, the state it ended in
// and the server's last text, then CR LF.
#pragma once

#include <string>
#include <string_view>

#include "base/smtp_step.hpp"

namespace tolvex {

inline constexpr char kLogFileName[] = "LOG.txt";

std::string FormatLogRecord(std::string_view dateTime, SmtpStep step, std::string_view reply);

}  // namespace tolvex
