// The Windows program: one window, its timers and socket, and the message
// loop that delivers every event to run control, or one of the command
// line's other modes. The process's exit code is the one run control ends
// it with.
#include <winsock2.h>
// after winsock2.h
#include <windows.h>
// after windows.h
#include <shellapi.h>

#include <filesystem>
#include <sstream>
#include <string>
#include <system_error>
#include <vector>

#include "app/check_mode.hpp"
#include "app/command_line.hpp"
#include "app/exit_status.hpp"
#include "app/form1.hpp"
#include "app/login_mode.hpp"
#include "app/probe_mode.hpp"
#include "app/program.hpp"
#include "platform/native_path.hpp"
#include "platform/win32/browser_sign_in.hpp"
#include "platform/win32/clock.hpp"
#include "platform/win32/console_output.hpp"
#include "platform/win32/https.hpp"
#include "platform/win32/message_window.hpp"
#include "platform/win32/secrets.hpp"
#include "platform/win32/sign_in_store.hpp"
#include "platform/win32/socket.hpp"
#include "platform/win32/timer.hpp"
#include "platform/win32/win_text.hpp"
#include "platform/win32/window.hpp"
#include "platform/win32/work_folder.hpp"

#ifndef TOLVEX_VERSION
#define TOLVEX_VERSION "0"
#endif

namespace {

// The arguments after the program name, as code page 932 text.
std::vector<std::string> Arguments() {
  std::vector<std::string> args;
  int argc = 0;
  LPWSTR* argv = CommandLineToArgvW(GetCommandLineW(), &argc);
  if (!argv) return args;
  for (int i = 1; i < argc; ++i) args.push_back(tolvex::win::Cp932FromWide(argv[i]));
  LocalFree(argv);
  return args;
}

std::filesystem::path WorkDir() {
  std::error_code ec;
  std::filesystem::path dir = std::filesystem::current_path(ec);
  return ec ? std::filesystem::path(L".") : dir;
}

// The main window, for Ctrl+C in the console the program writes to.
HWND mainWindow = nullptr;

// Ctrl+C (or Ctrl+Break) ends the run as SIGINT does on Linux: the usual
// clean-up on the window's thread, 130, instead of the process killed.
BOOL WINAPI OnConsoleBreak(DWORD type) {
  if (type != CTRL_C_EVENT && type != CTRL_BREAK_EVENT) return FALSE;
  PostMessageW(mainWindow, tolvex::win::kEndRunMessage, 128 + 2, 0);
  return TRUE;
}

int Run(HINSTANCE instance, int showCommand) {
  using namespace tolvex;
  win::EventGate gate;
  win::MainWindow window(instance, gate);
  if (!window.Handle()) return kExitUnavailable;
  mainWindow = window.Handle();
  SetConsoleCtrlHandler(OnConsoleBreak, TRUE);
  win::WindowTimer tmrWait(window.Handle(), win::kTimerWait, 60000);
  win::WindowTimer tmrMore(window.Handle(), win::kTimerMore, 60000);
  win::WindowTimer tmrSMTP(window.Handle(), win::kTimerSmtp, 100);
  win::WinsockSocket socket(&gate);
  win::LocaleClock clock;
  win::WinWorkFolder files(WorkDir());

  win::WinSecrets secrets;
  Form1 form(FormPorts{window, socket, tmrWait, tmrMore, tmrSMTP, clock, files});
  form.SetSecretSource(&secrets);
  // A token request is given up as soon as the run is asked to end.
  win::WinHttps https([&window] { return win::RunEndQueued(window.Handle()); });
  form.SetHttps(&https);
  win::CredentialSignInStore signIns;
  form.SetSignInStore(&signIns);
  socket.SetEvents(&form);
  window.Attach(&form, &tmrWait, &tmrMore, &tmrSMTP, &socket);

  form.Form_Load();
  window.FinishStartup(showCommand);

  MSG m;
  while (GetMessageW(&m, nullptr, 0, 0) > 0) {
    TranslateMessage(&m);
    DispatchMessageW(&m);
  }
  SetConsoleCtrlHandler(OnConsoleBreak, FALSE);
  mainWindow = nullptr;
  return window.Ended() ? window.ExitCode() : form.ExitStatus();
}

// "--probe": the session on a hidden window's timer and the Winsock
// socket, printed once it has ended.
int RunProbe() {
  using namespace tolvex;
  win::EventGate gate;
  win::WindowTimer* timer = nullptr;
  tolvex::Probe* probe = nullptr;
  win::MessageWindow host([&](UINT msg, WPARAM wParam, LPARAM) {
    if (msg != WM_TIMER || !timer || !timer->Accepts(wParam)) return false;
    probe->tmrSMTP_Timer();
    if (probe->Ended()) PostQuitMessage(0);
    return true;
  });
  win::WindowTimer tmrSMTP(host.Handle(), win::kTimerSmtp, 100);
  win::WinsockSocket socket(&gate);
  win::WinWorkFolder files(WorkDir());
  win::ConsoleWindow window;
  std::ostringstream out;
  tolvex::Probe run(ProbePorts{socket, tmrSMTP, files, window, out,
                               [](std::string_view text) { return Cp932ToUtf8(text); }});
  win::WinSecrets secrets;
  win::WinHttps https;
  win::CredentialSignInStore signIns;
  run.SetSecrets(&secrets, &https, &signIns);
  timer = &tmrSMTP;
  probe = &run;
  socket.SetEvents(&run);
  if (run.Start()) {
    MSG m;
    while (GetMessageW(&m, nullptr, 0, 0) > 0) {
      TranslateMessage(&m);
      DispatchMessageW(&m);
    }
  }
  gate.open = false;
  socket.Close();
  tmrSMTP.SetEnabled(false);
  win::WriteOut(out.str());
  return run.ExitStatus();
}

// Text written to the console as each line is flushed, so the sign-in's
// instructions show while it waits.
class ConsoleBuffer final : public std::stringbuf {
 protected:
  int sync() override {
    tolvex::win::WriteOut(str());
    str({});
    return 0;
  }
};

int Login() {
  using namespace tolvex;
  win::WinWorkFolder files(WorkDir());
  win::ConsoleWindow window;
  win::WinSecrets secrets;
  win::WinHttps https;
  win::CredentialSignInStore signIns;
  win::WinBrowserSignIn browser;
  ConsoleBuffer buffer;
  std::ostream out(&buffer);
  const int status = RunLogin(LoginPorts{
      files, window, secrets, https, signIns, out,
      [](std::string_view text) { return Cp932ToUtf8(text); },
      [](std::int64_t seconds) { Sleep(static_cast<DWORD>(seconds) * 1000); }, &browser});
  out.flush();
  return status;
}

// The modes on Windows: the console, the current directory, Winsock and
// the message loop.
class WinProgram final : public tolvex::ProgramHost {
 public:
  WinProgram(HINSTANCE instance, int showCommand) : instance_(instance), show_(showCommand) {}

  void WriteOut(const std::string& text) override { tolvex::win::WriteOut(text); }
  void WriteError(const std::string& text) override {
    tolvex::win::WriteStandardError(tolvex::win::WideFromCp932(text));
  }

  int Check(bool raw) override {
    using namespace tolvex;
    win::WinWorkFolder files(WorkDir());
    win::ConsoleWindow window;
    win::LocaleClock clock;
    win::WinSecrets secrets;
    win::CredentialSignInStore signIns;
    std::ostringstream out;
    const int status = RunCheck(
        files, window, raw, out, [](std::string_view text) { return Cp932ToUtf8(text); }, clock,
        secrets, &signIns);
    if (raw) {
      win::WriteOutBytes(out.str());
    } else {
      win::WriteOut(out.str());
    }
    return status;
  }

  int Probe() override {
    return WithWinsock([] { return RunProbe(); });
  }
  int Login() override {
    return WithWinsock([] { return ::Login(); });
  }
  int Run() override {
    return WithWinsock([this] { return ::Run(instance_, show_); });
  }

 private:
  template <typename F>
  static int WithWinsock(F mode) {
    WSADATA wsa;
    if (WSAStartup(MAKEWORD(2, 2), &wsa) != 0) {
      tolvex::win::WriteStandardError(L"tolvex: Winsock could not be started\r\n");
      return tolvex::kExitUnavailable;
    }
    const int exitCode = mode();
    WSACleanup();
    return exitCode;
  }

  HINSTANCE instance_;
  int show_;
};

}  // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int showCommand) {
  const std::vector<std::string> owned = Arguments();
  const std::vector<std::string_view> args(owned.begin(), owned.end());
  WinProgram program(instance, showCommand);
  return tolvex::RunProgram(args, "tolvex.exe", TOLVEX_VERSION, "\r\n", program);
}
