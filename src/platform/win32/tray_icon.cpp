// The notification-area records: add, delete, balloon.
#include "platform/win32/tray_icon.hpp"

#include <cstring>
#include <cwchar>

namespace tolvex::win {

NOTIFYICONDATAA TrayAddRecord(HWND hwnd, HICON icon) {
  NOTIFYICONDATAA rec;
  std::memset(&rec, 0, sizeof rec);
  rec.cbSize = kTrayRecordSize;
  rec.hWnd = hwnd;
  rec.uID = kTrayIconId;
  rec.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP;
  rec.uCallbackMessage = kTrayCallbackMessage;
  rec.hIcon = icon;
  rec.szTip[0] = '\0';
  std::memset(rec.szTip + 1, ' ', 63);
  return rec;
}

NOTIFYICONDATAA TrayDeleteRecord(HWND hwnd) {
  NOTIFYICONDATAA rec;
  std::memset(&rec, 0, sizeof rec);
  rec.cbSize = kTrayRecordSize;
  rec.hWnd = hwnd;
  rec.uID = kTrayIconId;
  return rec;
}

NOTIFYICONDATAW TrayBalloonRecord(HWND hwnd, std::wstring_view text) {
  NOTIFYICONDATAW rec;
  std::memset(&rec, 0, sizeof rec);
  rec.cbSize = NOTIFYICONDATAW_V2_SIZE;
  rec.hWnd = hwnd;
  rec.uID = kTrayIconId;
  rec.uFlags = NIF_INFO;
  constexpr std::size_t room = sizeof rec.szInfo / sizeof rec.szInfo[0] - 1;
  std::size_t n = text.size() < room ? text.size() : room;
  if (n < text.size() && n > 0 && text[n - 1] >= 0xD800 && text[n - 1] <= 0xDBFF) --n;
  std::wmemcpy(rec.szInfo, text.data(), n);
  rec.szInfo[n] = L'\0';
  std::wmemcpy(rec.szInfoTitle, L"Tolvex", 7);
  rec.uTimeout = kTrayBalloonTimeoutMs;
  rec.dwInfoFlags = NIIF_ERROR;
  return rec;
}

}  // namespace tolvex::win
