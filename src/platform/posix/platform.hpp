// Everything the modes need on Linux, on one io_context and one thread:
// the event loop with the signals that end a run, the three timers, the
// socket, the terminal window and the clock, and around them the rest of
// the platform bundle (the work folder, the secrets of the environment,
// libcurl, the sign-in store's files, the browser). The program builds it
// with the shipped periods; tests build the same thing with shortened ones.
#pragma once

#include <asio/io_context.hpp>
#include <asio/signal_set.hpp>
#include <asio/steady_timer.hpp>

#include <chrono>
#include <filesystem>
#include <functional>
#include <optional>

#include "app/platform_bundle.hpp"
#include "platform/posix/clock.hpp"
#include "platform/posix/event_gate.hpp"
#include "platform/posix/fd_stream.hpp"
#include "platform/posix/socket.hpp"
#include "platform/posix/timer.hpp"
#include "platform/posix/window.hpp"

namespace tolvex::posix {

struct PlatformOptions {
  std::chrono::milliseconds minute{60000};  // tmrWait and tmrMore
  std::chrono::milliseconds tick{100};      // tmrSMTP
  std::ostream* err = nullptr;              // none: standard error
  std::ostream* out = nullptr;  // what --check, --probe and --login print; none: standard output
  bool statusLine = false;      // show the caption (standard error is a terminal)
  bool handleSignals = true;    // SIGINT, SIGTERM and SIGHUP end the run
  std::size_t chunkBytes = AsioSocket::kDefaultChunk;
  // When set, a run still going after this long is stopped and Run returns
  // kRunDeadlineExceeded (a safety net for tests).
  std::optional<std::chrono::milliseconds> deadline;
};

inline constexpr int kRunDeadlineExceeded = -1;

class PosixPlatform final : public EventLoop {
 public:
  explicit PosixPlatform(const PlatformOptions& options = {});
  PosixPlatform(const PosixPlatform&) = delete;
  PosixPlatform& operator=(const PosixPlatform&) = delete;

  // Builds the platform bundle with `workDir` as the work folder and
  // returns what `mode` returns with it.
  int Serve(const std::filesystem::path& workDir, const std::function<int(PlatformBundle&)>& mode);

  // EventLoop: every event until the process is ended, or a mode that does
  // not end it (--probe) has ended after a timer's tick.
  int Run(LoopEvents& events, const std::function<void()>& first) override;

  asio::io_context& Io() { return io_; }

 private:
  void WaitForSignal();
  void EndLoop();
  void Detach();

  PlatformOptions options_;
  FdStream stdErr_{2};
  FdStream stdOut_{1};
  std::ostream& err_;
  std::ostream& out_;
  asio::io_context io_{1};  // one thread runs everything
  EventGate gate_{io_};
  AsioTimer tmrWait_;
  AsioTimer tmrMore_;
  AsioTimer tmrSMTP_;
  AsioSocket socket_;
  TerminalWindow window_;
  SystemClock clock_;
  std::optional<asio::signal_set> signals_;
  asio::steady_timer deadline_{io_};
  std::function<void(int)> onSignal_;
};

}  // namespace tolvex::posix
