// The Windows program: one run with its window in the current directory,
// or one of the command line's other modes. The process's exit code is the
// one run control ends it with.
#include <windows.h>
// after windows.h
#include <shellapi.h>

#include <string>
#include <vector>

#include "app/exit_status.hpp"
#include "app/program.hpp"
#include "platform/win32/console_output.hpp"
#include "platform/win32/event_log.hpp"
#include "platform/win32/platform.hpp"
#include "platform/win32/win_text.hpp"
#include "tolvex/build_info.hpp"

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

// The Windows that runs the program, "Windows 10.0.19045": RtlGetVersion
// tells the real version, where GetVersionEx answers what the program's
// manifest declares.
std::string WindowsVersion() {
  using RtlGetVersion = LONG(WINAPI*)(OSVERSIONINFOW*);
  const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  const auto get = reinterpret_cast<RtlGetVersion>(
      reinterpret_cast<void (*)()>(ntdll ? GetProcAddress(ntdll, "RtlGetVersion") : nullptr));
  OSVERSIONINFOW info{};
  info.dwOSVersionInfoSize = sizeof info;
  if (!get || get(&info) != 0) return "Windows";
  return "Windows " + std::to_string(info.dwMajorVersion) + "." +
         std::to_string(info.dwMinorVersion) + "." + std::to_string(info.dwBuildNumber);
}

// The modes on Windows: the console, the window, Winsock, the platform
// bundle.
class WinProgram final : public tolvex::ProgramHost {
 public:
  WinProgram(HINSTANCE instance, int showCommand) : instance_(instance), show_(showCommand) {}

  void WriteOut(const std::string& text) override { tolvex::win::WriteOut(text); }
  void WriteError(const std::string& text) override {
    tolvex::win::WriteStandardError(tolvex::win::WideFromCp932(text));
  }

  int WithPlatform(tolvex::JobMode mode, const std::filesystem::path& workDir,
                   const std::function<int(tolvex::PlatformBundle&)>& body) override {
    tolvex::win::WinPlatform platform(instance_, show_, mode);
    return platform.Serve(workDir, body);
  }

  // The event source in HKEY_LOCAL_MACHINE, its message file this exe.
  int RegisterEventLog(std::string_view lineEnd) override {
    std::wstring exe(MAX_PATH, L'\0');
    DWORD length = 0;
    while ((length = GetModuleFileNameW(nullptr, exe.data(), static_cast<DWORD>(exe.size()))) ==
           exe.size()) {
      exe.resize(exe.size() * 2);
    }
    exe.resize(length);
    std::string line;
    const int status =
        tolvex::win::RegisterEventLogStatus(tolvex::win::RegisterEventSourceKey(exe), line);
    line.append(lineEnd);
    if (status == tolvex::kExitOk) {
      WriteOut(line);
    } else {
      WriteError(line);
    }
    return status;
  }

 private:
  HINSTANCE instance_;
  int show_;
};

}  // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int showCommand) {
  const std::vector<std::string> owned = Arguments();
  const std::vector<std::string_view> args(owned.begin(), owned.end());
  WinProgram program(instance, showCommand);
  const std::string windows = " (" + WindowsVersion() + ")";
  const tolvex::VersionFacts version{TOLVEX_VERSION,       TOLVEX_COMMIT,
                                     TOLVEX_BUILD_DATE,    tolvex::kCompilerText,
                                     "SChannel" + windows, "WinHTTP" + windows};
  return tolvex::RunProgram(args, "tolvex.exe", version, "\r\n", program);
}
