// The main window's operations as run control uses them.
#include <gtest/gtest.h>

#include "platform/win32/window.hpp"
#include "pump.hpp"

namespace tolvex::win {
namespace {

std::wstring Caption(HWND hwnd) {
  wchar_t buf[256];
  int n = GetWindowTextW(hwnd, buf, 256);
  return std::wstring(buf, static_cast<std::size_t>(n));
}

class MainWindowTest : public ::testing::Test {
 protected:
  EventGate gate;
  MainWindow window{GetModuleHandleW(nullptr), gate};
};

TEST_F(MainWindowTest, StartsAsTolvexWithItsIconAndTheDebugButton) {
  ASSERT_NE(window.Handle(), nullptr);
  EXPECT_EQ(Caption(window.Handle()), L"Tolvex");
  EXPECT_NE(window.Icon(), nullptr);
  HWND button = FindWindowExW(window.Handle(), nullptr, L"Button", nullptr);
  ASSERT_NE(button, nullptr);
  EXPECT_EQ(Caption(button), L"*");
  window.HideDebugButton();
  EXPECT_FALSE(IsWindowVisible(button));
}

TEST_F(MainWindowTest, CaptionsAreCodePage932) {
  window.SetCaption("Tolvex(\x91\x97\x90\x4D\x92\x86)");
  EXPECT_EQ(Caption(window.Handle()), L"Tolvex(\u9001\u4fe1\u4e2d)");
  window.SetCaption("\x91\xD2\x8E\x9E\x8A\xD4=12\x95\xAA");
  EXPECT_EQ(Caption(window.Handle()), L"\u5f85\u6642\u9593=12\u5206");
  window.SetCaption("\x95\x5C\x83\x5C");
  EXPECT_EQ(Caption(window.Handle()), L"\u8868\u30bd");
}

TEST_F(MainWindowTest, WithoutAModeTheWindowIsShownAfterStartup) {
  EXPECT_FALSE(IsWindowVisible(window.Handle()));
  window.FinishStartup(SW_SHOWNOACTIVATE);
  EXPECT_TRUE(IsWindowVisible(window.Handle()));
  EXPECT_FALSE(IsIconic(window.Handle()));
}

TEST_F(MainWindowTest, MinimizedStaysMinimizedOnceStartupIsOver) {
  window.ShowMinimized();
  window.FinishStartup(SW_SHOWNORMAL);
  EXPECT_TRUE(IsWindowVisible(window.Handle()));
  EXPECT_TRUE(IsIconic(window.Handle()));
}

TEST_F(MainWindowTest, HiddenStaysHiddenOnceStartupIsOver) {
  window.ShowMinimized();
  window.Hide();  // a later "tray" wins over an earlier "icon"
  window.FinishStartup(SW_SHOWNORMAL);
  EXPECT_FALSE(IsWindowVisible(window.Handle()));
}

TEST_F(MainWindowTest, EndProcessStopsTimersClosesTheGateAndQuitsWithTheCode) {
  WindowTimer tmrWait(window.Handle(), kTimerWait, 60000);
  WindowTimer tmrMore(window.Handle(), kTimerMore, 60000);
  WindowTimer tmrSMTP(window.Handle(), kTimerSmtp, 100);
  window.Attach(&tmrWait, &tmrMore, &tmrSMTP, nullptr);
  tmrMore.SetEnabled(true);
  tmrSMTP.SetEnabled(true);
  window.EndProcess(69);
  EXPECT_TRUE(window.Ended());
  EXPECT_EQ(window.ExitCode(), 69);
  EXPECT_FALSE(gate.open);
  EXPECT_FALSE(tmrMore.Enabled());
  EXPECT_FALSE(tmrSMTP.Enabled());
  window.EndProcess(0);  // the first end stands
  EXPECT_EQ(window.ExitCode(), 69);
  MSG m;
  ASSERT_TRUE(PeekMessageW(&m, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE));
  EXPECT_EQ(m.wParam, 69u);
  EXPECT_FALSE(PeekMessageW(&m, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE));
  window.FinishStartup(SW_SHOWNORMAL);  // an ended start-up shows nothing
  EXPECT_FALSE(IsWindowVisible(window.Handle()));
}

TEST_F(MainWindowTest, CloseWithoutRunControlStillEnds) {
  SendMessageW(window.Handle(), WM_CLOSE, 0, 0);
  EXPECT_TRUE(window.Ended());
  EXPECT_TRUE(IsWindow(window.Handle()));  // destroyed by its owner, not by the close
  MSG m;
  EXPECT_TRUE(PeekMessageW(&m, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE));
}

}  // namespace
}  // namespace tolvex::win
