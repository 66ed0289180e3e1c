// The tolvex program: one run in the current directory, or one of the
// command line's other modes.
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <string_view>
#include <system_error>
#include <vector>

#include "app/check_mode.hpp"
#include "app/command_line.hpp"
#include "app/exit_status.hpp"
#include "app/program.hpp"
#include "app/submission_setup.hpp"
#include "platform/native_path.hpp"
#include "platform/posix/platform.hpp"
#include "platform/posix/window.hpp"
#include "platform/posix/work_folder.hpp"

#ifndef TOLVEX_VERSION
#define TOLVEX_VERSION "0"
#endif

namespace {

using namespace tolvex;

// The modes on Linux: the terminal, the current directory, Asio.
class PosixProgram final : public ProgramHost {
 public:
  void WriteOut(const std::string& text) override { std::cout << text << std::flush; }
  void WriteError(const std::string& text) override { std::cerr << text; }

  int Check(bool raw) override {
    std::filesystem::path workDir;
    if (!WorkDir(workDir)) return kExitNoInput;
    posix::PosixWorkFolder files(workDir);
    posix::TerminalWindow window(std::cerr, false, nullptr);
    posix::SystemClock clock;
    ProcessSecrets secrets;
    posix::FileSignInStore signIns(posix::FileSignInStore::DefaultFolder());
    return RunCheck(
        files, window, raw, std::cout, [](std::string_view text) { return Cp932ToUtf8(text); },
        clock, secrets, &signIns);
  }

  int Login() override {
    std::filesystem::path workDir;
    if (!WorkDir(workDir)) return kExitNoInput;
    IgnoreSigpipe();
    return posix::RunLogin(workDir, std::cout);
  }

  int Probe() override {
    std::filesystem::path workDir;
    if (!WorkDir(workDir)) return kExitNoInput;
    IgnoreSigpipe();
    posix::PlatformOptions options;
    options.handleSignals = false;
    posix::PosixPlatform platform(options);
    return platform.RunProbe(workDir, std::cout);
  }

  int Run() override {
    std::filesystem::path workDir;
    if (!WorkDir(workDir)) return kExitNoInput;
    IgnoreSigpipe();
    posix::PlatformOptions options;
    options.statusLine = ::isatty(STDERR_FILENO) == 1;
    posix::PosixPlatform platform(options);
    return platform.Run(workDir);
  }

 private:
  static bool WorkDir(std::filesystem::path& dir) {
    std::error_code ec;
    dir = std::filesystem::current_path(ec);
    if (!ec) return true;
    std::cerr << "tolvex: cannot determine the current directory: " << ec.message() << '\n';
    return false;
  }

  // A server that drops the connection must not kill the process: writes
  // then fail with an error instead.
  static void IgnoreSigpipe() { std::signal(SIGPIPE, SIG_IGN); }
};

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string_view> args(argv + (argc > 0 ? 1 : 0), argv + (argc > 0 ? argc : 0));
  PosixProgram program;
  return RunProgram(args, "tolvex", TOLVEX_VERSION, "\n", program);
}
