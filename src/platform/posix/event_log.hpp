// Events on Linux: syslog(3) with the ident "tolvex" and the mail facility,
// so journald or rsyslog keeps them beside the mail system's own.
#pragma once

#include "base/event_log.hpp"

namespace tolvex::posix {

class SyslogEventLog final : public EventLog {
 public:
  SyslogEventLog() = default;
  ~SyslogEventLog() override;
  SyslogEventLog(const SyslogEventLog&) = delete;
  SyslogEventLog& operator=(const SyslogEventLog&) = delete;

  void Report(EventLevel level, EventKind kind, std::string_view text) override;
  std::string_view Where() const override { return "syslog (ident tolvex, facility mail)"; }

 private:
  bool open_ = false;  // openlog is called at the first event only
};

}  // namespace tolvex::posix
