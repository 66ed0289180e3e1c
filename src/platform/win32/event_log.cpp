#include "platform/win32/event_log.hpp"

#include "app/exit_status.hpp"

namespace tolvex::win {
namespace {

std::wstring WideFromUtf8(std::string_view text) {
  if (text.empty()) return {};
  const int size = static_cast<int>(text.size());
  const int wide = MultiByteToWideChar(CP_UTF8, 0, text.data(), size, nullptr, 0);
  std::wstring out(static_cast<std::size_t>(wide), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text.data(), size, out.data(), wide);
  return out;
}

}  // namespace

EventLogApi SystemEventLogApi() {
  return EventLogApi{RegisterEventSourceW, ReportEventW, DeregisterEventSource};
}

WORD EventType(EventLevel level) {
  switch (level) {
    case EventLevel::Error:
      return EVENTLOG_ERROR_TYPE;
    case EventLevel::Warning:
      return EVENTLOG_WARNING_TYPE;
    case EventLevel::Information:
      break;
  }
  return EVENTLOG_INFORMATION_TYPE;
}

WinEventLog::~WinEventLog() {
  if (log_) api_.deregister(log_);
}

void WinEventLog::Report(EventLevel level, EventKind kind, std::string_view text) {
  if (!log_) log_ = api_.registerSource(nullptr, kEventSource);
  if (!log_) return;
  const std::wstring wide = WideFromUtf8(text);
  LPCWSTR strings[] = {wide.c_str()};
  api_.report(log_, EventType(level), 0, static_cast<DWORD>(kind), nullptr, 1, 0, strings, nullptr);
}

LONG RegisterEventSourceKey(std::wstring_view exePath) {
  HKEY key = nullptr;
  LONG result = RegCreateKeyExW(HKEY_LOCAL_MACHINE, kEventSourceKey, 0, nullptr, 0, KEY_SET_VALUE,
                                nullptr, &key, nullptr);
  if (result != ERROR_SUCCESS) return result;
  const std::wstring path(exePath);
  const DWORD types = EVENTLOG_ERROR_TYPE | EVENTLOG_WARNING_TYPE | EVENTLOG_INFORMATION_TYPE;
  result = RegSetValueExW(key, L"EventMessageFile", 0, REG_EXPAND_SZ,
                          reinterpret_cast<const BYTE*>(path.c_str()),
                          static_cast<DWORD>((path.size() + 1) * sizeof(wchar_t)));
  if (result == ERROR_SUCCESS) {
    result = RegSetValueExW(key, L"TypesSupported", 0, REG_DWORD,
                            reinterpret_cast<const BYTE*>(&types), sizeof types);
  }
  RegCloseKey(key);
  return result;
}

int RegisterEventLogStatus(LONG result, std::string& line) {
  if (result == ERROR_SUCCESS) {
    line = "tolvex: the event source Tolvex is registered; Event Viewer shows its events' text";
    return kExitOk;
  }
  if (result == ERROR_ACCESS_DENIED) {
    line =
        "tolvex: --register-eventlog needs an administrator: run it once from a command prompt "
        "opened with \"Run as administrator\"";
    return kExitNoPerm;
  }
  line = "tolvex: the event source could not be registered (error " + std::to_string(result) + ")";
  return kExitCantCreate;
}

}  // namespace tolvex::win
