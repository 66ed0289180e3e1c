// One run on Linux: the event loop, the run control and the signals.
#include "platform/posix/platform.hpp"

#include <signal.h>

#include <chrono>
#include <csignal>
#include <initializer_list>
#include <iostream>
#include <thread>

#include "app/form1.hpp"
#include "app/login_mode.hpp"
#include "app/probe_mode.hpp"
#include "platform/native_path.hpp"
#include "platform/posix/browser_sign_in.hpp"
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
      tmrWait_(io_, gate_, options.minute),
      tmrMore_(io_, gate_, options.minute),
      tmrSMTP_(io_, gate_, options.tick),
      socket_(io_, gate_, options.chunkBytes),
      window_(*options.err, options.statusLine, [this](int) { EndLoop(); }) {}

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

int PosixPlatform::RunProbe(const std::filesystem::path& workDir, std::ostream& out) {
  PosixWorkFolder files(workDir);
  Probe probe(ProbePorts{socket_, tmrSMTP_, files, window_, out,
                         [](std::string_view text) { return Cp932ToUtf8(text); }});
  ProcessSecrets secrets;
  CurlHttps https;
  FileSignInStore signIns(FileSignInStore::DefaultFolder());
  probe.SetSecrets(&secrets, &https, &signIns);
  tmrSMTP_.SetCallback([this, &probe] {
    probe.tmrSMTP_Timer();
    if (probe.Ended()) EndLoop();
  });
  socket_.SetEvents(&probe);
  if (probe.Start()) io_.run();
  gate_.Close();
  Detach();
  return probe.ExitStatus();
}

int PosixPlatform::Run(const std::filesystem::path& workDir) {
  PosixWorkFolder files(workDir);
  Form1 form(FormPorts{window_, socket_, tmrWait_, tmrMore_, tmrSMTP_, clock_, files});
  CurlHttps https(&endingSignal);
  form.SetHttps(&https);
  FileSignInStore signIns(FileSignInStore::DefaultFolder());
  form.SetSignInStore(&signIns);
  tmrWait_.SetCallback([&form] { form.tmrWait_Timer(); });
  tmrMore_.SetCallback([&form] { form.tmrMore_Timer(); });
  tmrSMTP_.SetCallback([&form] { form.tmrSMTP_Timer(); });
  socket_.SetEvents(&form);
  onSignal_ = [&form](int exitCode) { form.Terminate(exitCode); };

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
  asio::post(io_, [this, &form] { gate_.Deliver([&form] { form.Form_Load(); }); });
  io_.run();

  // Nothing of this run may fire once Form1 is gone.
  gate_.Close();
  deadline_.cancel();
  if (signals_) {
    asio::error_code ignored;
    signals_->cancel(ignored);
    signals_->clear(ignored);
    signals_.reset();
  }
  Detach();
  if (deadlineHit && !window_.Ended()) return kRunDeadlineExceeded;
  return window_.ExitCode();
}

int RunLogin(const std::filesystem::path& workDir, std::ostream& out) {
  PosixWorkFolder files(workDir);
  TerminalWindow window(std::cerr, false, nullptr);
  ProcessSecrets secrets;
  CurlHttps https;
  FileSignInStore signIns(FileSignInStore::DefaultFolder());
  PosixBrowserSignIn browser;
  return tolvex::RunLogin(LoginPorts{
      files, window, secrets, https, signIns, out,
      [](std::string_view text) { return Cp932ToUtf8(text); },
      [](std::int64_t seconds) { std::this_thread::sleep_for(std::chrono::seconds(seconds)); },
      &browser});
}

}  // namespace tolvex::posix
