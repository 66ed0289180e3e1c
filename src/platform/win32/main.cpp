// The Windows program: one run with its window in the current directory,
// or one of the command line's other modes. The process's exit code is the
// one run control ends it with.
#include <windows.h>
// after windows.h
#include <shellapi.h>

#include <string>
#include <vector>

#include "app/program.hpp"
#include "platform/win32/console_output.hpp"
#include "platform/win32/platform.hpp"
#include "platform/win32/win_text.hpp"

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

 private:
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
