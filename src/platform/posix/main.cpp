// The tolvex program: one run in the current directory, or one of the
// command line's other modes.
#include <unistd.h>

#include <csignal>
#include <string_view>
#include <vector>

#include "app/program.hpp"
#include "platform/posix/fd_stream.hpp"
#include "platform/posix/https.hpp"
#include "platform/posix/platform.hpp"
#include "platform/posix/tls.hpp"
#include "tolvex/build_info.hpp"

#ifndef TOLVEX_VERSION
#define TOLVEX_VERSION "0"
#endif

namespace {

using namespace tolvex;

// The modes on Linux: the terminal, Asio, the platform bundle.
class PosixProgram final : public ProgramHost {
 public:
  void WriteOut(const std::string& text) override { posix::WriteAll(STDOUT_FILENO, text); }
  void WriteError(const std::string& text) override { posix::WriteAll(STDERR_FILENO, text); }

  int WithPlatform(JobMode mode, const std::filesystem::path& workDir,
                   const std::function<int(PlatformBundle&)>& body) override {
    // A server that drops the connection must not kill the process: writes
    // then fail with an error instead. --check is left as a filter is.
    if (mode != JobMode::Check) std::signal(SIGPIPE, SIG_IGN);
    posix::PlatformOptions options;
    options.statusLine = mode == JobMode::Run && ::isatty(STDERR_FILENO) == 1;
    options.handleSignals = mode == JobMode::Run;
    posix::PosixPlatform platform(options);
    return platform.Serve(workDir, body);
  }
};

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string_view> args(argv + (argc > 0 ? 1 : 0), argv + (argc > 0 ? argc : 0));
  PosixProgram program;
  const VersionFacts version{TOLVEX_VERSION,
                             TOLVEX_COMMIT,
                             TOLVEX_BUILD_DATE,
                             kCompilerText,
                             posix::TlsLibraryVersion(),
                             posix::HttpsLibraryVersion()};
  return RunProgram(args, "tolvex", version, "\n", program);
}
