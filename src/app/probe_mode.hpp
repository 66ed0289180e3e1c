// "--probe": reads command.txt, connects to its server with its security
// and prints what the server offers: the greeting, the EHLO capabilities,
// the TLS version, cipher and certificate, the AUTH mechanisms, then the
// replies to AUTH (with the configured password), MAIL FROM and every
// RCPT TO. It runs the session a delivery would run up to DATA, then sends
// RSET and QUIT: no mail is ever sent, no secret printed, no file written.
// With OAuth it asks for a token but never sends it, so the session ends
// after EHLO with QUIT, the envelope not tried. Exit 0 when every step was
// accepted, 69 when not.
#pragma once

#include <ostream>
#include <string>

#include "app/message_view.hpp"
#include "base/https.hpp"
#include "base/platform.hpp"
#include "base/run_state.hpp"
#include "base/sign_in_store.hpp"
#include "base/submission.hpp"
#include "base/work_folder.hpp"
#include "smtp/smtp_session.hpp"

namespace tolvex {

struct ProbePorts {
  Socket& socket;
  Timer& tmrSMTP;  // 100 ms
  WorkFolder& files;
  Window& window;  // the command file's window directives; failures
  std::ostream& out;
  DisplayText display;
};

class Probe : public SocketEvents, private SessionHost {
 public:
  explicit Probe(ProbePorts ports);

  // Reads command.txt and starts the session; false when start-up failed
  // (reported, ExitStatus set, nothing connected).
  bool Start();
  void tmrSMTP_Timer();
  void WSOCK_Connect() override;
  void WSOCK_DataArrival(std::int32_t bytesWaiting) override;
  void WSOCK_SendComplete() override;
  void WSOCK_Error(const std::string& reason) override;

  // The source of the AUTH password (when "#PAS" does not give it) and of
  // the OAuth client secret; the HTTPS client, with which the probe asks
  // for a token (and shows only whether it got one); the stored sign-ins
  // (a rotated refresh token is kept as a run keeps it).
  void SetSecrets(SecretSource* secrets, Https* https, SignInStore* signIns = nullptr) {
    secrets_ = secrets;
    https_ = https;
    signIns_ = signIns;
  }

  bool Ended() const { return ended_; }
  int ExitStatus() const { return exitStatus_; }

 private:
  void LogSession(SmtpStep endStep, std::string_view reply) override;
  void DeliveryEnded(const DeliveryEnd& end) override;
  void OnReply(SmtpStep step, std::string_view reply);
  void PrintReply(const char* label, std::string_view reply, std::string_view subject = {});
  void PrintTls();
  // "Token:" line; false when no token could be obtained.
  bool ProbeToken();

  ProbePorts p_;
  RunState st_;
  SmtpSession session_;
  SecretSource* secrets_ = nullptr;
  SignInStore* signIns_ = nullptr;
  Https* https_ = nullptr;
  bool tokenFailed_ = false;
  std::string lastCommand_;  // the HELO, EHLO, MAIL FROM or RCPT TO a refusal answers
  bool tlsShown_ = false;
  bool ended_ = false;
  int exitStatus_ = 0;
};

}  // namespace tolvex
