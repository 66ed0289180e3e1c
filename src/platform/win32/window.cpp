// The main window Form1 on Windows: caption, tray, menu, timers, the end.
#include "platform/win32/window.hpp"

#include <shellapi.h>

#include "platform/win32/console_output.hpp"
#include "platform/win32/tray_icon.hpp"
#include "platform/win32/win_text.hpp"

namespace tolvex::win {

bool RunEndQueued(HWND window) {
  MSG m;
  constexpr UINT kLook = PM_NOREMOVE | PM_QS_POSTMESSAGE;
  return PeekMessageW(&m, window, WM_CLOSE, WM_CLOSE, kLook) ||
         PeekMessageW(&m, window, kEndRunMessage, kEndRunMessage, kLook);
}

MainWindow::MainWindow(HINSTANCE instance, EventGate& gate, int showCommand)
    : gate_(gate), instance_(instance), showCommand_(showCommand) {
  iconLarge_ =
      static_cast<HICON>(LoadImageW(instance, MAKEINTRESOURCEW(kIconResourceId), IMAGE_ICON,
                                    GetSystemMetrics(SM_CXICON), GetSystemMetrics(SM_CYICON), 0));
  iconSmall_ = static_cast<HICON>(LoadImageW(instance, MAKEINTRESOURCEW(kIconResourceId),
                                             IMAGE_ICON, GetSystemMetrics(SM_CXSMICON),
                                             GetSystemMetrics(SM_CYSMICON), 0));
  WNDCLASSEXW wc{};
  wc.cbSize = sizeof wc;
  wc.lpfnWndProc = &MainWindow::Proc;
  wc.hInstance = instance;
  wc.hIcon = iconLarge_;
  wc.hIconSm = iconSmall_;
  wc.hCursor = LoadCursorW(nullptr, reinterpret_cast<LPCWSTR>(IDC_ARROW));
  wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
  wc.lpszClassName = kMainWindowClass;
  RegisterClassExW(&wc);
  hwnd_ = CreateWindowExW(0, kMainWindowClass, L"Tolvex", WS_OVERLAPPEDWINDOW, CW_USEDEFAULT,
                          CW_USEDEFAULT, 320, 200, nullptr, nullptr, instance, this);
  command1_ = CreateWindowExW(0, L"BUTTON", L"*", WS_CHILD | WS_VISIBLE | BS_PUSHBUTTON, 8, 8, 32,
                              24, hwnd_, reinterpret_cast<HMENU>(static_cast<INT_PTR>(kCommand1Id)),
                              instance, nullptr);
  menuMain_ = CreatePopupMenu();
  AppendMenuW(menuMain_, MF_STRING, kMenuExitId, L"終了(&X)");
}

MainWindow::~MainWindow() {
  if (menuMain_) DestroyMenu(menuMain_);
  if (hwnd_) {
    SetWindowLongPtrW(hwnd_, GWLP_USERDATA, 0);
    DestroyWindow(hwnd_);
  }
  if (iconLarge_) DestroyIcon(iconLarge_);
  if (iconSmall_) DestroyIcon(iconSmall_);
}

void MainWindow::Attach(WindowTimer* tmrWait, WindowTimer* tmrMore, WindowTimer* tmrSMTP,
                        WinsockSocket* socket) {
  timers_[0] = tmrWait;
  timers_[1] = tmrMore;
  timers_[2] = tmrSMTP;
  socket_ = socket;
}

int MainWindow::Run(LoopEvents& events, const std::function<void()>& first) {
  events_ = &events;
  if (socket_) socket_->SetEvents(&events);
  first();
  FinishStartup(showCommand_);
  PumpMessages();
  const int status = ended_ ? exitCode_ : events.ExitStatus();
  if (socket_) socket_->SetEvents(nullptr);
  events_ = nullptr;
  return status;
}

void MainWindow::FinishStartup(int showCommand) {
  if (ended_ || visibilityChosen_) return;
  ShowWindow(hwnd_, showCommand);
  UpdateWindow(hwnd_);
}

void MainWindow::SetCaption(const std::string& caption) {
  SetWindowTextW(hwnd_, WideFromCp932(caption).c_str());
}

void MainWindow::HideDebugButton() { ShowWindow(command1_, SW_HIDE); }

void MainWindow::ShowMinimized() {
  visibilityChosen_ = true;
  // Visible and minimized, without taking the focus from the user's work.
  ShowWindow(hwnd_, SW_SHOWMINNOACTIVE);
}

void MainWindow::Hide() {
  visibilityChosen_ = true;
  ShowWindow(hwnd_, SW_HIDE);
}

void MainWindow::AddTrayIcon() {
  NOTIFYICONDATAA rec = TrayAddRecord(hwnd_, iconSmall_);
  // A failure leaves the program running without it.
  trayIconShown_ = Shell_NotifyIconA(NIM_ADD, &rec) != FALSE;
}

void MainWindow::DeleteTrayIcon() {
  NOTIFYICONDATAA rec = TrayDeleteRecord(hwnd_);
  Shell_NotifyIconA(NIM_DELETE, &rec);  // deleting an icon never added is harmless
  trayIconShown_ = false;
}

// Nothing here waits for the user, so a failure never holds up the run or
// its end: LOG.txt, this line and the exit status are the report. Hidden
// behind the tray icon, the window shows nothing, so the icon gets a
// balloon; the shell shows it without blocking and removes it with the icon.
void MainWindow::ReportFailure(const Failure& failure) {
  WriteStandardError(FailureLine(failure));
  if (trayIconShown_) {
    NOTIFYICONDATAW rec = TrayBalloonRecord(hwnd_, FailureSentence(failure.kind));
    Shell_NotifyIconW(NIM_MODIFY, &rec);  // no balloon is no loss: the line is written
  }
}

void MainWindow::ReportNotice(const std::string& utf8) {
  std::wstring line = L"tolvex: ";
  const int n =
      MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
  if (n > 0) {
    const std::size_t at = line.size();
    line.resize(at + static_cast<std::size_t>(n));
    MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), &line[at], n);
  }
  WriteStandardError(line.append(L"\r\n"));
}

void MainWindow::EndProcess(int exitCode) {
  if (ended_) return;
  ended_ = true;
  exitCode_ = exitCode;
  gate_.open = false;  // nothing reaches run control any more
  for (WindowTimer* t : timers_) {
    if (t) t->SetEnabled(false);
  }
  if (socket_) socket_->Close();
  if (menuOpen_) EndMenu();
  PostQuitMessage(exitCode);
}

void MainWindow::DoEvents() {
  MSG m;
  while (PeekMessageW(&m, nullptr, 0, 0, PM_REMOVE)) {
    if (m.message == WM_QUIT) {
      PostQuitMessage(static_cast<int>(m.wParam));  // leave it for the main loop
      return;
    }
    TranslateMessage(&m);
    DispatchMessageW(&m);
  }
}

// The tray icon's notifications arrive as WM_MOUSEMOVE with the mouse
// message over the icon in lParam; a left click opens menuMain.
void MainWindow::Form_MouseMove(LPARAM lParam) {
  if (!IsTrayLeftClick(lParam) || menuOpen_ || !events_) return;
  // Far outside any screen (-50000 twips), size unchanged.
  HDC dc = GetDC(hwnd_);
  int dpi = dc ? GetDeviceCaps(dc, LOGPIXELSX) : 96;
  if (dc) ReleaseDC(hwnd_, dc);
  int offscreen = -MulDiv(50000, dpi, 1440);
  SetWindowPos(hwnd_, nullptr, offscreen, offscreen, 0, 0,
               SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
  DoEvents();
  if (ended_) return;
  POINT pt;
  GetCursorPos(&pt);
  // Foreground first, or the menu would stay open when the user clicks
  // elsewhere.
  SetForegroundWindow(hwnd_);
  menuOpen_ = true;
  UINT chosen = static_cast<UINT>(TrackPopupMenu(
      menuMain_, TPM_RIGHTBUTTON | TPM_RETURNCMD | TPM_NONOTIFY, pt.x, pt.y, 0, hwnd_, nullptr));
  menuOpen_ = false;
  PostMessageW(hwnd_, WM_NULL, 0, 0);
  if (ended_) return;
  ShowWindow(hwnd_, SW_HIDE);
  if (chosen == kMenuExitId) events_->menuExit_Click();
}

void MainWindow::Command1_Click() {
  MessageBoxW(hwnd_, L"デバッグボタンが押されました", L"Tolvex", MB_OK);
}

void MainWindow::OnTimer(UINT_PTR id) {
  if (!events_) return;
  if (timers_[0] && timers_[0]->Accepts(id)) {
    events_->tmrWait_Timer();
  } else if (timers_[1] && timers_[1]->Accepts(id)) {
    events_->tmrMore_Timer();
  } else if (timers_[2] && timers_[2]->Accepts(id)) {
    events_->tmrSMTP_Timer();
  }
}

LRESULT MainWindow::OnMessage(UINT msg, WPARAM wParam, LPARAM lParam) {
  switch (msg) {
    case WM_TIMER:
      if (gate_.open) OnTimer(wParam);
      return 0;
    case WM_MOUSEMOVE:
      if (gate_.open) Form_MouseMove(lParam);
      return 0;
    case WM_COMMAND:
      if (LOWORD(wParam) == kCommand1Id && HIWORD(wParam) == BN_CLICKED) Command1_Click();
      return 0;
    case WM_CLOSE:
      // The user closes the window: the unload clean-up, then the end.
      if (gate_.open && events_) events_->Form_Unload();
      if (!ended_) EndProcess(events_ ? events_->ExitStatus() : 0);
      return 0;
    case kEndRunMessage:
      if (gate_.open && events_) events_->Terminate(static_cast<int>(wParam));
      return 0;
    case WM_QUERYENDSESSION:
      return TRUE;
    case WM_ENDSESSION:
      // Windows is shutting down: the work files go as when the window closes.
      if (wParam && gate_.open && events_) events_->Form_Unload();
      return 0;
    default:
      break;
  }
  return DefWindowProcW(hwnd_, msg, wParam, lParam);
}

LRESULT CALLBACK MainWindow::Proc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  if (msg == WM_NCCREATE) {
    auto* cs = reinterpret_cast<CREATESTRUCTW*>(lParam);
    auto* self = static_cast<MainWindow*>(cs->lpCreateParams);
    self->hwnd_ = hwnd;
    SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
  }
  auto* self = reinterpret_cast<MainWindow*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
  if (!self) return DefWindowProcW(hwnd, msg, wParam, lParam);
  return self->OnMessage(msg, wParam, lParam);
}

}  // namespace tolvex::win
