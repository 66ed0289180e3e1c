// The notification-area record in its first-version layout and the test
// for the icon's left click.
#pragma once

#include <windows.h>
// after windows.h
#include <shellapi.h>

namespace tolvex::win {

inline constexpr UINT kTrayIconId = 1;
inline constexpr UINT kTrayCallbackMessage = WM_MOUSEMOVE;  // 0x200
inline constexpr DWORD kTrayRecordSize = NOTIFYICONDATAA_V1_SIZE;

// Add: window, id 1, flags NIF_MESSAGE | NIF_ICON | NIF_TIP, callback
// WM_MOUSEMOVE, the icon, and an empty tip (a zero byte, then 63 spaces).
NOTIFYICONDATAA TrayAddRecord(HWND hwnd, HICON icon);
// Delete: a zeroed record with only the size, the window and id 1.
NOTIFYICONDATAA TrayDeleteRecord(HWND hwnd);

// The callback's lParam carries the mouse message that happened over the
// icon; only the left button's release opens the menu. Taking it from the
// notification itself (not from a pointer coordinate scaled by the display)
// makes the click work at every display scaling.
constexpr bool IsTrayLeftClick(LPARAM lParam) { return lParam == WM_LBUTTONUP; }

}  // namespace tolvex::win
