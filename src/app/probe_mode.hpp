// "--probe": reads command.txt, connects to its server with its security
// and prints what the server offers: the greeting, the EHLO capabilities,
// the TLS version, cipher and certificate, the AUTH mechanisms, then the
// replies to AUTH (with the configured password), MAIL FROM and every
// RCPT TO. It runs the session a delivery would run up to DATA, then sends
// RSET and QUIT: no mail is ever sent, no secret printed, no file written.
// With OAuth it asks for a token but never sends it, so the session ends
// after EHLO with QUIT, the envelope not tried. With #HOS listing several
// hosts each is probed in turn and reported on its own. Exit 0 when every
// step was accepted (on every host), 69 when not.
#pragma once

#include <string>

#include "app/platform_bundle.hpp"
#include "app/session_driver.hpp"
#include "base/run_state.hpp"
#include "base/sign_in_store.hpp"
#include "smtp/smtp_session.hpp"

namespace tolvex {

// The probe on the platform's event loop. Returns the exit status.
int RunProbe(PlatformBundle& platform);

// What it prints goes to `out`; the window takes the command file's window
// directives and the failures. The password (when "#PAS" does not give it)
// and the OAuth client secret come from the secrets; the token is asked
// for over HTTPS (only whether one came is shown), a stored sign-in used
// and a rotated refresh token kept as a run keeps it. The tmrSMTP tick and
// the socket's events reach the session through SessionDriver.
class Probe : public SessionDriver, private SessionHost {
 public:
  explicit Probe(PlatformBundle& platform);

  // Reads command.txt and starts the session; false when start-up failed
  // (reported, ExitStatus set, nothing connected).
  bool Start();

  bool Ended() const override { return ended_; }
  int ExitStatus() const override { return exitStatus_; }

 private:
  void LogSession(SmtpStep endStep, std::string_view reply) override;
  void DeliveryEnded(const DeliveryEnd& end) override;
  void OnReply(SmtpStep step, std::string_view reply);
  void PrintReply(const char* label, std::string_view reply, std::string_view subject = {});
  void PrintTls();
  void PrintProxyAnswer();
  // "Token:" line; false when no token could be obtained.
  bool ProbeToken();
  // #VIA: the token and the endpoint only; ends the probe.
  void ProbeApi();
  // The "Server:" line of the host probed now.
  void PrintServer();
  // #HOS's list: the session to the next host, started; false when none is left.
  bool NextHost();

  PlatformBundle& p_;
  RunState st_;
  SmtpSession session_;
  StoredSignIn signIn_;  // what the store keeps for the job's OAuth settings
  bool tokenFailed_ = false;
  bool tokenRefused_ = false;  // the token endpoint refused (not only failed)
  std::string lastCommand_;    // the HELO, EHLO, MAIL FROM or RCPT TO a refusal answers
  bool tlsShown_ = false;
  bool proxyShown_ = false;
  bool ended_ = false;
  int exitStatus_ = 0;
  std::size_t hostIndex_ = 0;  // #HOS's list: the host probed now
};

}  // namespace tolvex
