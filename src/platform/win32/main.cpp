// The Windows program: one window, its timers and socket, and the message
// loop that delivers every event to run control. The process's exit code
// is the one run control ends it with.
#include <winsock2.h>
// after winsock2.h
#include <windows.h>

#include <filesystem>
#include <system_error>

#include "app/form1.hpp"
#include "platform/win32/locale_clock.hpp"
#include "platform/win32/main_window.hpp"
#include "platform/win32/message_window.hpp"
#include "platform/win32/window_timer.hpp"
#include "platform/win32/winsock_socket.hpp"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int showCommand) {
  using namespace tolvex;
  WSADATA wsa;
  bool winsock = WSAStartup(MAKEWORD(2, 2), &wsa) == 0;
  int exitCode = kExitUnavailable;
  {
    win::EventGate gate;
    win::MainWindow window(instance, gate);
    if (!window.Handle()) return kExitUnavailable;
    win::WindowTimer tmrWait(window.Handle(), win::kTimerWait, 60000);
    win::WindowTimer tmrMore(window.Handle(), win::kTimerMore, 60000);
    win::WindowTimer tmrSMTP(window.Handle(), win::kTimerSmtp, 100);
    win::WinsockSocket socket(&gate);
    win::LocaleClock clock;
    std::error_code ec;
    std::filesystem::path workDir = std::filesystem::current_path(ec);
    if (ec) workDir = L".";

    Form1 form(FormPorts{window, socket, tmrWait, tmrMore, tmrSMTP, clock, workDir});
    socket.SetEvents(&form);
    window.Attach(&form, &tmrWait, &tmrMore, &tmrSMTP, &socket);
    if (!winsock) {
      window.ReportFailure(Failure{FailureKind::DeliveryFailed, "Winsock could not be started"});
    }

    form.Form_Load();
    window.FinishStartup(showCommand);

    MSG m;
    while (GetMessageW(&m, nullptr, 0, 0) > 0) {
      TranslateMessage(&m);
      DispatchMessageW(&m);
    }
    exitCode = window.Ended() ? window.ExitCode() : form.ExitStatus();
  }
  if (winsock) WSACleanup();
  return exitCode;
}
