// The tolvex program: one run in the current directory.
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <string_view>
#include <system_error>
#include <vector>

#include "app/failure.hpp"
#include "platform/posix/command_line.hpp"
#include "platform/posix/posix_platform.hpp"

#ifndef TOLVEX_VERSION
#define TOLVEX_VERSION "0"
#endif

int main(int argc, char** argv) {
  using namespace tolvex::posix;
  std::vector<std::string_view> args(argv + (argc > 0 ? 1 : 0), argv + (argc > 0 ? argc : 0));
  const CommandLine cl = ParseCommandLine(args);
  switch (cl.action) {
    case CommandLineAction::Help:
      std::cout << UsageText() << std::flush;
      return tolvex::kExitOk;
    case CommandLineAction::Version:
      std::cout << VersionText(TOLVEX_VERSION) << std::flush;
      return tolvex::kExitOk;
    case CommandLineAction::Error:
      std::cerr << "tolvex: " << cl.error << "\nTry 'tolvex --help'.\n";
      return tolvex::kExitUsage;
    case CommandLineAction::Run:
      break;
  }

  // A server that drops the connection must not kill the process: writes
  // then fail with an error instead.
  std::signal(SIGPIPE, SIG_IGN);

  std::error_code ec;
  const std::filesystem::path workDir = std::filesystem::current_path(ec);
  if (ec) {
    std::cerr << "tolvex: cannot determine the current directory: " << ec.message() << '\n';
    return tolvex::kExitNoInput;
  }
  PlatformOptions options;
  options.statusLine = ::isatty(STDERR_FILENO) == 1;
  PosixPlatform platform(options);
  return platform.Run(workDir);
}
