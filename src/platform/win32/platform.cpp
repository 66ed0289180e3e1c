// The platform bundle on Windows.
#include "platform/win32/platform.hpp"

#include <winsock2.h>
// after winsock2.h
#include <windows.h>

#include <ostream>
#include <string>

#include "app/exit_status.hpp"
#include "platform/native_path.hpp"
#include "platform/win32/browser_sign_in.hpp"
#include "platform/win32/clock.hpp"
#include "platform/win32/console_output.hpp"
#include "platform/win32/crypto.hpp"
#include "platform/win32/event_log.hpp"
#include "platform/win32/https.hpp"
#include "platform/win32/message_window.hpp"
#include "platform/win32/secrets.hpp"
#include "platform/win32/sign_in_store.hpp"
#include "platform/win32/socket.hpp"
#include "platform/win32/timer.hpp"
#include "platform/win32/win_text.hpp"
#include "platform/win32/window.hpp"
#include "platform/win32/work_folder.hpp"

namespace tolvex::win {
namespace {

// Winsock for the life of a mode.
class WinsockStarted {
 public:
  explicit WinsockStarted(bool wanted) {
    WSADATA wsa;
    started_ = wanted && WSAStartup(MAKEWORD(2, 2), &wsa) == 0;
  }
  ~WinsockStarted() {
    if (started_) WSACleanup();
  }
  WinsockStarted(const WinsockStarted&) = delete;
  WinsockStarted& operator=(const WinsockStarted&) = delete;
  bool Started() const { return started_; }

 private:
  bool started_ = false;
};

// The main window, for Ctrl+C in the console the program writes to.
HWND mainWindow = nullptr;

// Ctrl+C (or Ctrl+Break) ends the run as SIGINT does on Linux: the usual
// clean-up on the window's thread, 130, instead of the process killed.
BOOL WINAPI OnConsoleBreak(DWORD type) {
  if (type != CTRL_C_EVENT && type != CTRL_BREAK_EVENT) return FALSE;
  PostMessageW(mainWindow, kEndRunMessage, 128 + 2, 0);
  return TRUE;
}

// Ctrl+C handed to `window` while the run lasts.
class ConsoleBreak {
 public:
  explicit ConsoleBreak(HWND window) {
    mainWindow = window;
    SetConsoleCtrlHandler(OnConsoleBreak, TRUE);
  }
  ~ConsoleBreak() {
    SetConsoleCtrlHandler(OnConsoleBreak, FALSE);
    mainWindow = nullptr;
  }
  ConsoleBreak(const ConsoleBreak&) = delete;
  ConsoleBreak& operator=(const ConsoleBreak&) = delete;
};

// The event loop of the modes without the main window (--probe): the
// three timers on a hidden window; the loop ends once the mode has ended
// after a tick.
class HiddenLoop final : public EventLoop {
 public:
  HiddenLoop(EventGate& gate, WinsockSocket& socket) : gate_(gate), socket_(socket) {}

  int Run(LoopEvents& events, const std::function<void()>& first) override {
    events_ = &events;
    socket_.SetEvents(&events);
    first();
    if (!events.Ended()) PumpMessages();
    gate_.open = false;
    socket_.Close();
    for (WindowTimer* t : {&tmrWait, &tmrMore, &tmrSMTP}) t->SetEnabled(false);
    socket_.SetEvents(nullptr);
    events_ = nullptr;
    return events.ExitStatus();
  }

 private:
  bool OnMessage(UINT msg, WPARAM id) {
    if (msg != WM_TIMER) return false;
    if (!events_ || !gate_.open) return true;
    if (tmrWait.Accepts(id)) events_->tmrWait_Timer();
    if (tmrMore.Accepts(id)) events_->tmrMore_Timer();
    if (tmrSMTP.Accepts(id)) events_->tmrSMTP_Timer();
    if (events_->Ended()) PostQuitMessage(0);
    return true;
  }

  EventGate& gate_;
  WinsockSocket& socket_;
  LoopEvents* events_ = nullptr;
  MessageWindow host_{[this](UINT msg, WPARAM id, LPARAM) { return OnMessage(msg, id); }};

 public:
  WindowTimer tmrWait{host_.Handle(), kTimerWait, 60000};
  WindowTimer tmrMore{host_.Handle(), kTimerMore, 60000};
  WindowTimer tmrSMTP{host_.Handle(), kTimerSmtp, 100};
};

}  // namespace

int WinPlatform::Serve(const std::filesystem::path& workDir,
                       const std::function<int(PlatformBundle&)>& mode) {
  const WinsockStarted winsock(mode_ != JobMode::Check);
  if (mode_ != JobMode::Check && !winsock.Started()) {
    WriteStandardError(L"tolvex: Winsock could not be started\r\n");
    return kExitUnavailable;
  }
  WinWorkFolder files(workDir);
  LocaleClock clock;
  WinSecrets secrets;
  CredentialSignInStore signIns;
  WinCrypto crypto;
  WinBrowserSignIn browser;
  WinEventLog events;
  const std::string folder = Utf8FromWide(workDir.wstring());
  ConsoleBuffer text;
  ConsoleBuffer bytes(true);
  std::ostream out(&text);
  std::ostream raw(&bytes);
  EventGate gate;
  WinsockSocket socket(&gate);
  const auto serve = [&](Window& window, EventLoop& loop, Timer& tmrWait, Timer& tmrMore,
                         Timer& tmrSMTP, Https& https) {
    PlatformBundle bundle{
        files,    window,  clock,   tmrWait,
        tmrMore,  tmrSMTP, socket,  loop,
        secrets,  https,   signIns, crypto,
        &browser, out,     raw,     [](std::string_view t) { return Cp932ToUtf8(t); },
        events,   folder};
    return mode(bundle);
  };
  if (mode_ != JobMode::Run) {
    ConsoleWindow window;
    HiddenLoop loop(gate, socket);
    WinHttps https;
    return serve(window, loop, loop.tmrWait, loop.tmrMore, loop.tmrSMTP, https);
  }
  MainWindow window(instance_, gate, showCommand_);
  if (!window.Handle()) return kExitUnavailable;
  WindowTimer tmrWait(window.Handle(), kTimerWait, 60000);
  WindowTimer tmrMore(window.Handle(), kTimerMore, 60000);
  WindowTimer tmrSMTP(window.Handle(), kTimerSmtp, 100);
  window.Attach(&tmrWait, &tmrMore, &tmrSMTP, &socket);
  const ConsoleBreak ctrlC(window.Handle());
  // A token request is given up as soon as the run is asked to end.
  WinHttps https([&window] { return RunEndQueued(window.Handle()); });
  return serve(window, window, tmrWait, tmrMore, tmrSMTP, https);
}

}  // namespace tolvex::win
