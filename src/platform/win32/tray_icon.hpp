// The notification-area records: add and delete in the first-version
// layout, the failure balloon in the second; and the test for the icon's
// left click.
#pragma once

#include <windows.h>
// after windows.h
#include <shellapi.h>

#include <string_view>

namespace tolvex::win {

inline constexpr UINT kTrayIconId = 1;
inline constexpr UINT kTrayCallbackMessage = WM_MOUSEMOVE;  // 0x200
inline constexpr DWORD kTrayRecordSize = NOTIFYICONDATAA_V1_SIZE;
// How long older shells show a balloon; newer ones use their own setting.
inline constexpr UINT kTrayBalloonTimeoutMs = 10000;

// Add: window, id 1, flags NIF_MESSAGE | NIF_ICON | NIF_TIP, callback
// WM_MOUSEMOVE, the icon, and an empty tip (a zero byte, then 63 spaces).
NOTIFYICONDATAA TrayAddRecord(HWND hwnd, HICON icon);
// Delete: a zeroed record with only the size, the window and id 1.
NOTIFYICONDATAA TrayDeleteRecord(HWND hwnd);

// A balloon on the icon already added (NIM_MODIFY): the second-version
// layout, the oldest with balloon fields. Only NIF_INFO is set, so the
// icon, tip and callback stay as added. Title "Tolvex", the error icon,
// `text` cut to the 255 characters the record holds (never half a
// surrogate pair). The shell shows it and takes it away by itself.
NOTIFYICONDATAW TrayBalloonRecord(HWND hwnd, std::wstring_view text);

// The callback's lParam carries the mouse message that happened over the
// icon; only the left button's release opens the menu. Taking it from the
// notification itself (not from a pointer coordinate scaled by the display)
// makes the click work at every display scaling.
constexpr bool IsTrayLeftClick(LPARAM lParam) { return lParam == WM_LBUTTONUP; }

}  // namespace tolvex::win
