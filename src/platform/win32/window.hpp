// The main window Form1 on Windows: caption, icon, the hidden debug button
// Command1, the pop-up menu menuMain with menuExit, the tray icon, the
// three window timers' ticks, failure reports and the end of the process.
// A failure report never waits for the user: a standard-error line, and a
// balloon on the tray icon when there is one.
#pragma once

#include <windows.h>

#include <functional>
#include <string>

#include "app/platform_bundle.hpp"
#include "base/platform.hpp"
#include "platform/win32/message_window.hpp"
#include "platform/win32/socket.hpp"
#include "platform/win32/timer.hpp"

namespace tolvex::win {

inline constexpr UINT_PTR kTimerWait = 1;
inline constexpr UINT_PTR kTimerMore = 2;
inline constexpr UINT_PTR kTimerSmtp = 3;
inline constexpr int kCommand1Id = 101;
inline constexpr UINT kMenuExitId = 201;
inline constexpr int kIconResourceId = 1;
inline constexpr wchar_t kMainWindowClass[] = L"TolvexForm1";
// Posted to the main window to end the run like a signal: wParam is the
// exit status (130 for Ctrl+C in the console the program writes to).
inline constexpr UINT kEndRunMessage = WM_APP + 1;

// Whether a message that ends the run (WM_CLOSE, kEndRunMessage) waits in
// the queue of `window`; looks at posted messages only, so nothing is run.
bool RunEndQueued(HWND window);

// Also the run's event loop: the timers' ticks, the socket's events, the
// tray menu's Exit, the window's close and Ctrl+C reach run control here.
class MainWindow final : public Window, public EventLoop {
 public:
  // `showCommand`: how the program was asked to show its window.
  MainWindow(HINSTANCE instance, EventGate& gate, int showCommand = SW_SHOWNORMAL);
  ~MainWindow() override;
  MainWindow(const MainWindow&) = delete;
  MainWindow& operator=(const MainWindow&) = delete;

  // The parts whose events pass through here; they stop when the process
  // ends.
  void Attach(WindowTimer* tmrWait, WindowTimer* tmrMore, WindowTimer* tmrSMTP,
              WinsockSocket* socket);

  // EventLoop: `first` (Form_Load), then the window shown, then the
  // message loop until the process ends.
  int Run(LoopEvents& events, const std::function<void()>& first) override;

  HWND Handle() const { return hwnd_; }
  HICON Icon() const { return iconSmall_; }

  // After Form_Load: shows the window unless the command file already chose
  // minimized or hidden.
  void FinishStartup(int showCommand);
  bool Ended() const { return ended_; }
  int ExitCode() const { return exitCode_; }

  // Window
  void SetCaption(const std::string& caption) override;
  void HideDebugButton() override;
  void ShowMinimized() override;
  void Hide() override;
  void AddTrayIcon() override;
  void DeleteTrayIcon() override;
  void ReportFailure(const Failure& failure) override;
  void ReportNotice(const std::string& utf8) override;
  void EndProcess(int exitCode) override;

 private:
  static LRESULT CALLBACK Proc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
  LRESULT OnMessage(UINT msg, WPARAM wParam, LPARAM lParam);
  void OnTimer(UINT_PTR id);
  void Form_MouseMove(LPARAM lParam);
  void Command1_Click();
  void DoEvents();

  EventGate& gate_;
  HINSTANCE instance_;
  int showCommand_;
  HWND hwnd_ = nullptr;
  HWND command1_ = nullptr;
  HMENU menuMain_ = nullptr;
  HICON iconLarge_ = nullptr;
  HICON iconSmall_ = nullptr;
  LoopEvents* events_ = nullptr;  // run control, while the loop runs
  WindowTimer* timers_[3] = {nullptr, nullptr, nullptr};
  WinsockSocket* socket_ = nullptr;
  bool visibilityChosen_ = false;
  bool menuOpen_ = false;
  bool trayIconShown_ = false;  // the shell took the icon: balloons go on it
  bool ended_ = false;
  int exitCode_ = 0;
};

}  // namespace tolvex::win
