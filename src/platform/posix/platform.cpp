// The platform bundle on Linux: the event loop and the signals.
#include "platform/posix/platform.hpp"

#include <signal.h>

#include <csignal>
#include <initializer_list>

#include "app/submission_setup.hpp"
#include "platform/native_path.hpp"
#include "platform/posix/browser_sign_in.hpp"
#include "platform/posix/crypto.hpp"
#include "platform/posix/event_log.hpp"
#include "platform/posix/https.hpp"
#include "platform/posix/sign_in_store.hpp"
#include "platform/posix/work_folder.hpp"

namespace tolvex::posix {
namespace {

// The signal that ends the run, noted where it arrives (on whichever thread
// takes it) before Asio's own handler passes it on to the event loop: a
// blocking token request looks at it and gives up at once.
volatile std::sig_atomic_t endingSignal = 0;
void (*asioHandler[NSIG])(int) = {};

void NoteEndingSignal(int signo) {
  endingSignal = signo;
  asioHandler[signo](signo);
}

// Put in front of the handlers Asio has installed for `signals`.
void NoteBeforeAsio(std::initializer_list<int> signals) {
  endingSignal = 0;
  for (int signo : signals) {
    struct sigaction action {};
    if (::sigaction(signo, nullptr, &action) != 0 || (action.sa_flags & SA_SIGINFO) ||
        action.sa_handler == SIG_DFL || action.sa_handler == SIG_IGN) {
      continue;
    }
    asioHandler[signo] = action.sa_handler;
    action.sa_handler = NoteEndingSignal;
    ::sigaction(signo, &action, nullptr);
  }
}

}  // namespace

PosixPlatform::PosixPlatform(const PlatformOptions& options)
    : options_(options),
      err_(options.err ? *options.err : stdErr_),
      out_(options.out ? *options.out : stdOut_),
      tmrWait_(io_, gate_, options.minute),
      tmrMore_(io_, gate_, options.minute),
      tmrSMTP_(io_, gate_, options.tick),
      socket_(io_, gate_, options.chunkBytes),
      window_(err_, options.statusLine, [this](int) { EndLoop(); }) {}

void PosixPlatform::EndLoop() {
  gate_.Close();
  io_.stop();
}

void PosixPlatform::WaitForSignal() {
  signals_->async_wait([this](const asio::error_code& ec, int signo) {
    if (ec) return;
    gate_.Deliver([this, signo] {
      if (onSignal_) onSignal_(128 + signo);
    });
    WaitForSignal();
  });
}

void PosixPlatform::Detach() {
  socket_.Close();
  socket_.SetEvents(nullptr);
  onSignal_ = nullptr;
  for (AsioTimer* t : {&tmrWait_, &tmrMore_, &tmrSMTP_}) {
    t->SetEnabled(false);
    t->SetCallback(nullptr);
  }
}

int PosixPlatform::Serve(const std::filesystem::path& workDir,
                         const std::function<int(PlatformBundle&)>& mode) {
  PosixWorkFolder files(workDir);
  ProcessSecrets secrets;  // the environment; Linux keeps no credentials
  CurlHttps https(&endingSignal);
  FileSignInStore signIns(FileSignInStore::DefaultFolder());
  PosixCrypto crypto;
  PosixBrowserSignIn browser;
  SyslogEventLog events;
  PlatformBundle bundle{files,    window_,
                        clock_,   tmrWait_,
                        tmrMore_, tmrSMTP_,
                        socket_,  *this,
                        secrets,  https,
                        signIns,  crypto,
                        &browser, out_,
                        out_,     [](std::string_view text) { return Cp932ToUtf8(text); },
                        events,   workDir.string()};
  return mode(bundle);
}

int PosixPlatform::Run(LoopEvents& events, const std::function<void()>& first) {
  // A mode that does not end the process itself stops the loop once it has
  // ended.
  const auto deliver = [this, &events](void (LoopEvents::*handler)()) {
    return [this, &events, handler] {
      (events.*handler)();
      if (events.Ended()) EndLoop();
    };
  };
  tmrWait_.SetCallback(deliver(&LoopEvents::tmrWait_Timer));
  tmrMore_.SetCallback(deliver(&LoopEvents::tmrMore_Timer));
  tmrSMTP_.SetCallback(deliver(&LoopEvents::tmrSMTP_Timer));
  socket_.SetEvents(&events);
  onSignal_ = [&events](int exitCode) { events.Terminate(exitCode); };

  if (options_.handleSignals) {
    signals_.emplace(io_, SIGINT, SIGTERM, SIGHUP);
    NoteBeforeAsio({SIGINT, SIGTERM, SIGHUP});
    WaitForSignal();
  }
  bool deadlineHit = false;
  if (options_.deadline) {
    deadline_.expires_after(*options_.deadline);
    deadline_.async_wait([this, &deadlineHit](const asio::error_code& ec) {
      if (ec) return;
      deadlineHit = true;
      EndLoop();
    });
  }
  asio::post(io_, [this, &events, &first] {
    gate_.Deliver([this, &events, &first] {
      first();
      if (events.Ended()) EndLoop();
    });
  });
  io_.run();

  // Nothing of this run may fire once the mode is gone.
  gate_.Close();
  deadline_.cancel();
  if (signals_) {
    asio::error_code ignored;
    signals_->cancel(ignored);
    signals_->clear(ignored);
    signals_.reset();
  }
  Detach();
  if (deadlineHit && !events.Ended()) return kRunDeadlineExceeded;
  return window_.Ended() ? window_.ExitCode() : events.ExitStatus();
}

}  // namespace tolvex::posix
