// The SMTP session on its own: the scripted socket, a virtual 100 ms timer
// and a host that records what the session tells run control. No Form1,
// no files.
#pragma once

#include <string>
#include <vector>

#include "smtp/smtp_session.hpp"
#include "support/fake_platform.hpp"

namespace tolvex::test {

struct HostCall {
  std::string what;  // "log" or "ended"
  SmtpStep step;
  std::string reply;
  bool catchAll = false;
  Millis at = 0;
  FailureClass failure = FailureClass::None;  // "ended" only
  bool atTick = false;                        // told during a tmrSMTP tick
  bool accepted = false;                      // "ended": the server had the message
};

class SessionRig : public SessionHost, public SocketEvents {
 public:
  explicit SessionRig(ServerScript script = AcceptingServer());

  // Fills ToAddr 1..n and ToCount.
  void Recipients(const std::vector<std::string>& to);
  void Start() { session.Start(); }
  // MailData from bytes in memory.
  void SetMail(const std::string& message);
  // Runs ticks until a session ends (or time `limit`); true when one did.
  bool RunUntilEnded(Millis limit = 10 * 60000);
  bool Ended() const;
  // The states the session passed through, in order, as numbers.
  std::vector<int> Steps() const;
  // The command texts sent, the message as "<message>".
  std::vector<std::string> Commands() const;

  // SocketEvents, forwarded to the session.
  void WSOCK_Connect() override { session.WSOCK_Connect(); }
  void WSOCK_DataArrival(std::int32_t n) override { session.WSOCK_DataArrival(n); }
  void WSOCK_SendComplete() override { session.WSOCK_SendComplete(); }
  void WSOCK_Error(const std::string& reason) override { session.WSOCK_Error(reason); }

  // SessionHost
  void LogSession(SmtpStep endStep, std::string_view reply) override;
  void DeliveryEnded(const DeliveryEnd& end) override;
  void Notice(std::string_view text) override { notices.emplace_back(text); }

  VirtualScheduler scheduler;
  FakeTimer& tmrSMTP;
  FakeSocket socket;
  RunState st;
  SmtpSession session;
  std::vector<HostCall> host;
  std::vector<std::string> notices;  // what the session told the user
  std::vector<SmtpStep> steps;       // every change of smtpSTEP
  int endings = 0;
  bool inTick = false;
};

}  // namespace tolvex::test
