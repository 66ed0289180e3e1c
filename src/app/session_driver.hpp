// The session's share of the platform's events, written once for run
// control and --probe: the tmrSMTP tick and the socket's events (WSOCK_*)
// go to the mode's SMTP session while the mode has not ended.
#pragma once

#include <cstdint>
#include <string>

#include "app/platform_bundle.hpp"
#include "smtp/smtp_session.hpp"

namespace tolvex {

class SessionDriver : public LoopEvents {
 public:
  void tmrSMTP_Timer() override {
    if (!Ended()) session_.tmrSMTP_Timer();
  }
  void WSOCK_Connect() override {
    if (!Ended()) session_.WSOCK_Connect();
  }
  void WSOCK_DataArrival(std::int32_t bytesWaiting) override {
    if (!Ended()) session_.WSOCK_DataArrival(bytesWaiting);
  }
  void WSOCK_SendComplete() override {
    if (!Ended()) session_.WSOCK_SendComplete();
  }
  void WSOCK_Error(const std::string& reason) override {
    if (!Ended()) session_.WSOCK_Error(reason);
  }

 protected:
  // `session` is the mode's own member; only the reference is kept here.
  explicit SessionDriver(SmtpSession& session) : session_(session) {}

 private:
  SmtpSession& session_;
};

}  // namespace tolvex
