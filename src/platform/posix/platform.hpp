// Everything the run control needs on Linux, on one io_context and one
// thread: the three timers, the socket, the terminal window, the clock and
// the signals that end a run. The program builds it with the shipped
// periods; tests build the same thing with shortened ones.
#pragma once

#include <asio/io_context.hpp>
#include <asio/signal_set.hpp>
#include <asio/steady_timer.hpp>

#include <chrono>
#include <filesystem>
#include <iostream>
#include <optional>

#include "platform/posix/clock.hpp"
#include "platform/posix/event_gate.hpp"
#include "platform/posix/https.hpp"
#include "platform/posix/sign_in_store.hpp"
#include "platform/posix/socket.hpp"
#include "platform/posix/timer.hpp"
#include "platform/posix/window.hpp"

namespace tolvex::posix {

struct PlatformOptions {
  std::chrono::milliseconds minute{60000};  // tmrWait and tmrMore
  std::chrono::milliseconds tick{100};      // tmrSMTP
  std::ostream* err = &std::cerr;
  bool statusLine = false;    // show the caption (standard error is a terminal)
  bool handleSignals = true;  // SIGINT, SIGTERM and SIGHUP end the run
  std::size_t chunkBytes = AsioSocket::kDefaultChunk;
  // When set, a run still going after this long is stopped and Run returns
  // kRunDeadlineExceeded (a safety net for tests).
  std::optional<std::chrono::milliseconds> deadline;
};

inline constexpr int kRunDeadlineExceeded = -1;

class PosixPlatform {
 public:
  explicit PosixPlatform(const PlatformOptions& options = {});
  PosixPlatform(const PosixPlatform&) = delete;
  PosixPlatform& operator=(const PosixPlatform&) = delete;

  // Runs one whole program run in `workDir`: Form_Load, then every event
  // until the run ends. Returns the exit status given to EndProcess.
  int Run(const std::filesystem::path& workDir);
  // "--probe" in `workDir`: the session up to the envelope, printed to `out`.
  // Returns the exit status.
  int RunProbe(const std::filesystem::path& workDir, std::ostream& out);

  asio::io_context& Io() { return io_; }
  EventGate& Gate() { return gate_; }
  AsioTimer& TmrWait() { return tmrWait_; }
  AsioTimer& TmrMore() { return tmrMore_; }
  AsioTimer& TmrSMTP() { return tmrSMTP_; }
  AsioSocket& Sock() { return socket_; }
  TerminalWindow& Win() { return window_; }
  SystemClock& SysClock() { return clock_; }

 private:
  void WaitForSignal();
  void EndLoop();
  void Detach();

  PlatformOptions options_;
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

// --login in `workDir`: the sign-in in a browser or by the device code, its
// instructions on `out`.
int RunLogin(const std::filesystem::path& workDir, std::ostream& out);

}  // namespace tolvex::posix
