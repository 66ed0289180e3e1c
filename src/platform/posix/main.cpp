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
#include "app/submission_setup.hpp"
#include "platform/native_path.hpp"
#include "platform/posix/posix_platform.hpp"
#include "platform/posix/posix_work_folder.hpp"
#include "platform/posix/terminal_window.hpp"

#ifndef TOLVEX_VERSION
#define TOLVEX_VERSION "0"
#endif

int main(int argc, char** argv) {
  using namespace tolvex;
  std::vector<std::string_view> args(argv + (argc > 0 ? 1 : 0), argv + (argc > 0 ? argc : 0));
  const CommandLine cl = ParseCommandLine(args);
  switch (cl.action) {
    case CommandLineAction::Help:
      std::cout << UsageText("tolvex") << std::flush;
      return kExitOk;
    case CommandLineAction::Version:
      std::cout << VersionText("tolvex", TOLVEX_VERSION) << std::flush;
      return kExitOk;
    case CommandLineAction::Error:
      std::cerr << "tolvex: " << cl.error << "\nTry 'tolvex --help'.\n";
      return kExitUsage;
    case CommandLineAction::Run:
    case CommandLineAction::Check:
    case CommandLineAction::Probe:
    case CommandLineAction::Login:
      break;
  }

  std::error_code ec;
  const std::filesystem::path workDir = std::filesystem::current_path(ec);
  if (ec) {
    std::cerr << "tolvex: cannot determine the current directory: " << ec.message() << '\n';
    return kExitNoInput;
  }
  if (cl.action == CommandLineAction::Check) {
    posix::PosixWorkFolder files(workDir);
    posix::TerminalWindow window(std::cerr, false, nullptr);
    posix::SystemClock clock;
    ProcessSecrets secrets;
    posix::FileSignInStore signIns(posix::FileSignInStore::DefaultFolder());
    return RunCheck(
        files, window, cl.raw, std::cout, [](std::string_view text) { return Cp932ToUtf8(text); },
        clock, secrets, &signIns);
  }

  // A server that drops the connection must not kill the process: writes
  // then fail with an error instead.
  std::signal(SIGPIPE, SIG_IGN);

  if (cl.action == CommandLineAction::Login) return posix::RunLogin(workDir, std::cout);
  if (cl.action == CommandLineAction::Probe) {
    posix::PlatformOptions options;
    options.handleSignals = false;
    posix::PosixPlatform platform(options);
    return platform.RunProbe(workDir, std::cout);
  }

  posix::PlatformOptions options;
  options.statusLine = ::isatty(STDERR_FILENO) == 1;
  posix::PosixPlatform platform(options);
  return platform.Run(workDir);
}
