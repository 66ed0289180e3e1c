#include "platform/posix/event_log.hpp"

#include <syslog.h>

#include <string>

namespace tolvex::posix {

SyslogEventLog::~SyslogEventLog() {
  if (open_) ::closelog();
}

void SyslogEventLog::Report(EventLevel level, EventKind, std::string_view text) {
  if (!open_) {
    ::openlog("tolvex", LOG_PID, LOG_MAIL);
    open_ = true;
  }
  int priority = LOG_INFO;
  if (level == EventLevel::Error) priority = LOG_ERR;
  if (level == EventLevel::Warning) priority = LOG_WARNING;
  const std::string line(text);
  ::syslog(priority, "%s", line.c_str());
}

}  // namespace tolvex::posix
