// Events on Windows: the Application event log, source "Tolvex", each
// event's text as its one insertion string (the message table built into
// tolvex.exe shows it as it is once --register-eventlog has named the exe
// as the source's message file). The calls go through EventLogApi, so a
// test can watch them.
#pragma once

#include <windows.h>

#include <string>
#include <string_view>

#include "base/event_log.hpp"

namespace tolvex::win {

inline constexpr wchar_t kEventSource[] = L"Tolvex";
inline constexpr wchar_t kEventSourceKey[] =
    L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\Tolvex";

struct EventLogApi {
  HANDLE(WINAPI* registerSource)(LPCWSTR server, LPCWSTR source);
  BOOL(WINAPI* report)
  (HANDLE log, WORD type, WORD category, DWORD id, PSID user, WORD count, DWORD dataSize,
   LPCWSTR* strings, LPVOID data);
  BOOL(WINAPI* deregister)(HANDLE log);
};

// advapi32's RegisterEventSourceW, ReportEventW and DeregisterEventSource.
EventLogApi SystemEventLogApi();

// EVENTLOG_ERROR_TYPE, EVENTLOG_WARNING_TYPE or EVENTLOG_INFORMATION_TYPE.
WORD EventType(EventLevel level);

class WinEventLog final : public EventLog {
 public:
  explicit WinEventLog(EventLogApi api = SystemEventLogApi()) : api_(api) {}
  ~WinEventLog() override;
  WinEventLog(const WinEventLog&) = delete;
  WinEventLog& operator=(const WinEventLog&) = delete;

  // The source is registered at the first event; one that cannot be is
  // tried again at the next. `text` (UTF-8) goes as UTF-16.
  void Report(EventLevel level, EventKind kind, std::string_view text) override;
  std::string_view Where() const override {
    return "the Windows Application event log (source Tolvex)";
  }

 private:
  EventLogApi api_;
  HANDLE log_ = nullptr;
};

// --register-eventlog: writes EventMessageFile (`exePath`, REG_EXPAND_SZ)
// and TypesSupported (7) under kEventSourceKey in HKEY_LOCAL_MACHINE.
// Returns ERROR_SUCCESS or the registry's error (ERROR_ACCESS_DENIED when
// not run as administrator).
LONG RegisterEventSourceKey(std::wstring_view exePath);

// The exit status and the line to print for --register-eventlog's result.
int RegisterEventLogStatus(LONG result, std::string& line);

}  // namespace tolvex::win
