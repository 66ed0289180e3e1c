#include "platform/win32/tray_icon.hpp"

#include <cstring>

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

}  // namespace tolvex::win
