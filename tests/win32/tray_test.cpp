// The notification-area records (add, delete, failure balloon) and the
// click test.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "platform/win32/tray_icon.hpp"

namespace tolvex::win {
namespace {

HWND FakeWindow() { return reinterpret_cast<HWND>(static_cast<INT_PTR>(0x1234)); }
HICON FakeIcon() { return reinterpret_cast<HICON>(static_cast<INT_PTR>(0x5678)); }

TEST(TrayRecordTest, FirstVersionLayoutSize) {
  // Six fields and a 64-byte tip: 88 bytes in 32-bit code, 104 in 64-bit.
  EXPECT_EQ(kTrayRecordSize, sizeof(void*) == 8 ? 104u : 88u);
  EXPECT_EQ(offsetof(NOTIFYICONDATAA, szTip) + 64, kTrayRecordSize);
}

TEST(TrayRecordTest, AddRecord) {
  NOTIFYICONDATAA rec = TrayAddRecord(FakeWindow(), FakeIcon());
  EXPECT_EQ(rec.cbSize, kTrayRecordSize);
  EXPECT_EQ(rec.hWnd, FakeWindow());
  EXPECT_EQ(rec.uID, 1u);
  EXPECT_EQ(rec.uFlags, 7u);
  EXPECT_EQ(rec.uCallbackMessage, 0x200u);
  EXPECT_EQ(rec.hIcon, FakeIcon());
  EXPECT_EQ(rec.szTip[0], '\0');
  for (int i = 1; i < 64; ++i) EXPECT_EQ(rec.szTip[i], ' ') << i;
}

TEST(TrayRecordTest, DeleteRecordIsZeroBesidesSizeWindowAndId) {
  NOTIFYICONDATAA rec = TrayDeleteRecord(FakeWindow());
  EXPECT_EQ(rec.cbSize, kTrayRecordSize);
  EXPECT_EQ(rec.hWnd, FakeWindow());
  EXPECT_EQ(rec.uID, 1u);
  EXPECT_EQ(rec.uFlags, 0u);
  EXPECT_EQ(rec.uCallbackMessage, 0u);
  EXPECT_EQ(rec.hIcon, nullptr);
  char zeros[64] = {};
  EXPECT_EQ(std::memcmp(rec.szTip, zeros, 64), 0);
}

TEST(TrayRecordTest, BalloonRecordCarriesOnlyTheBalloon) {
  NOTIFYICONDATAW rec =
      TrayBalloonRecord(FakeWindow(), L"\u8868\u793a\u3067\u304d\u307e\u305b\u3093");
  EXPECT_EQ(rec.cbSize, static_cast<DWORD>(NOTIFYICONDATAW_V2_SIZE));
  EXPECT_EQ(rec.hWnd, FakeWindow());
  EXPECT_EQ(rec.uID, 1u);
  // Icon, callback and tip stay as the add record set them.
  EXPECT_EQ(rec.uFlags, static_cast<UINT>(NIF_INFO));
  EXPECT_EQ(rec.hIcon, nullptr);
  EXPECT_EQ(rec.szTip[0], L'\0');
  EXPECT_STREQ(rec.szInfo, L"\u8868\u793a\u3067\u304d\u307e\u305b\u3093");
  EXPECT_STREQ(rec.szInfoTitle, L"Tolvex");
  EXPECT_EQ(rec.dwInfoFlags, static_cast<DWORD>(NIIF_ERROR));
}

TEST(TrayRecordTest, BalloonTextIsCutToTheRecordNeverInsideASurrogatePair) {
  std::wstring fits(255, L'\u8868');
  EXPECT_EQ(TrayBalloonRecord(FakeWindow(), fits).szInfo, fits);
  EXPECT_EQ(TrayBalloonRecord(FakeWindow(), fits + L"x").szInfo, fits);
  // U+20BB7 as D842 DFB7 at characters 255-256: the whole pair goes.
  std::wstring pair = std::wstring(254, L'a') + L"\xD842\xDFB7";
  EXPECT_EQ(TrayBalloonRecord(FakeWindow(), pair).szInfo, std::wstring(254, L'a'));
  // Ending at character 255 exactly, the pair fits.
  std::wstring whole = std::wstring(253, L'a') + L"\xD842\xDFB7";
  EXPECT_EQ(TrayBalloonRecord(FakeWindow(), whole).szInfo, whole);
  EXPECT_STREQ(TrayBalloonRecord(FakeWindow(), L"").szInfo, L"");
}

TEST(TrayClickTest, OnlyTheLeftButtonReleaseOpensTheMenu) {
  EXPECT_TRUE(IsTrayLeftClick(WM_LBUTTONUP));
  for (LPARAM other :
       std::initializer_list<LPARAM>{WM_MOUSEMOVE, WM_LBUTTONDOWN, WM_LBUTTONDBLCLK, WM_RBUTTONDOWN,
                                     WM_RBUTTONUP, WM_MBUTTONUP, 0x202 * 15}) {
    EXPECT_FALSE(IsTrayLeftClick(other)) << other;
  }
}

}  // namespace
}  // namespace tolvex::win
