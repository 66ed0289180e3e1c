// The Application log behind the seam: the source registered once at the
// first event and let go at the end, each level's event type, the event ID
// by kind, and the text as one UTF-16 insertion string; a source that
// cannot be registered loses the event, not the run.
#include "platform/win32/event_log.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/exit_status.hpp"

namespace tolvex::win {
namespace {

struct Seen {
  std::vector<std::wstring> calls;
  bool registers = true;
};
Seen* seen = nullptr;
HANDLE const kHandle = reinterpret_cast<HANDLE>(0x7E57);

HANDLE WINAPI FakeRegister(LPCWSTR server, LPCWSTR source) {
  seen->calls.push_back(std::wstring(L"register ") + (server ? L"server " : L"") + source);
  return seen->registers ? kHandle : nullptr;
}
BOOL WINAPI FakeReport(HANDLE log, WORD type, WORD category, DWORD id, PSID user, WORD count,
                       DWORD dataSize, LPCWSTR* strings, LPVOID data) {
  EXPECT_EQ(log, kHandle);
  EXPECT_EQ(category, 0);
  EXPECT_EQ(user, nullptr);
  EXPECT_EQ(dataSize, 0u);
  EXPECT_EQ(data, nullptr);
  std::wstring call = L"report " + std::to_wstring(type) + L" " + std::to_wstring(id);
  for (WORD i = 0; i < count; ++i) call += std::wstring(L" [") + strings[i] + L"]";
  seen->calls.push_back(call);
  return TRUE;
}
BOOL WINAPI FakeDeregister(HANDLE log) {
  seen->calls.push_back(log == kHandle ? L"deregister" : L"deregister ?");
  return TRUE;
}

TEST(WinEventLog, ReportsThroughTheApplicationLog) {
  const struct {
    const char* name;
    bool registers;
    std::vector<std::wstring> calls;
  } cases[] = {
      {"registered",
       true,
       {L"register Tolvex", L"report 1 1 [folder C:\\\x4ED5\x4E8B: state 550: 550 \x8868 no]",
        L"report 2 3 [kept]", L"report 4 2 [delivered]", L"deregister"}},
      {"no source", false, {L"register Tolvex", L"register Tolvex", L"register Tolvex"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Seen s;
    s.registers = c.registers;
    seen = &s;
    {
      WinEventLog log(EventLogApi{FakeRegister, FakeReport, FakeDeregister});
      // 仕事 and 表 in UTF-8, as the app words events.
      log.Report(EventLevel::Error, EventKind::DeliveryFailed,
                 "folder C:\\\xE4\xBB\x95\xE4\xBA\x8B: state 550: 550 \xE8\xA1\xA8 no");
      log.Report(EventLevel::Warning, EventKind::Kept, "kept");
      log.Report(EventLevel::Information, EventKind::Delivered, "delivered");
    }
    EXPECT_EQ(s.calls, c.calls);
    seen = nullptr;
  }
}

// The message table built into the program (this test links the same
// resources) holds each kind's text: its insertion string as it is.
TEST(WinEventLog, MessageTableShowsTheText) {
  for (EventKind kind :
       {EventKind::DeliveryFailed, EventKind::Delivered, EventKind::Kept, EventKind::KeptDelivered,
        EventKind::KeptRefused, EventKind::KeptExpired}) {
    const wchar_t* text = L"folder C:\\job: state 550: 550 \x8868";
    DWORD_PTR args[] = {reinterpret_cast<DWORD_PTR>(text)};
    wchar_t out[256] = {};
    const DWORD n = FormatMessageW(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_ARGUMENT_ARRAY,
                                   GetModuleHandleW(nullptr), static_cast<DWORD>(kind), 0, out, 256,
                                   reinterpret_cast<va_list*>(args));
    EXPECT_EQ(std::wstring(out, n), std::wstring(text) + L"\r\n")
        << static_cast<int>(kind) << " error " << GetLastError();
  }
}

TEST(WinEventLog, RegistrationStatuses) {
  const struct {
    LONG result;
    int status;
    const char* says;
  } cases[] = {
      {ERROR_SUCCESS, kExitOk, "is registered"},
      {ERROR_ACCESS_DENIED, kExitNoPerm, "needs an administrator"},
      {ERROR_FILE_NOT_FOUND, kExitCantCreate, "(error 2)"},
  };
  for (const auto& c : cases) {
    std::string line;
    EXPECT_EQ(RegisterEventLogStatus(c.result, line), c.status);
    EXPECT_NE(line.find(c.says), std::string::npos) << line;
  }
}

}  // namespace
}  // namespace tolvex::win
