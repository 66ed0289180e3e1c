// The session's share of the platform's events, written once for run
// control and --probe: the tmrSMTP tick and the socket's events (WSOCK_*)
// go to the mode's SMTP session while the mode has not ended. The socket's
// events pass through the connection (`Connection`, the proxy's handshake
// when #PRX names one), which is the socket the session is given.
#pragma once

#include <cstdint>
#include <string>

#include "app/platform_bundle.hpp"
#include "proxy/proxy_socket.hpp"
#include "smtp/smtp_session.hpp"

namespace tolvex {

class SessionDriver : public LoopEvents {
 public:
  void tmrSMTP_Timer() override {
    if (!Ended()) session_.tmrSMTP_Timer();
  }
  void WSOCK_Connect() override {
    if (!Ended()) connection_.WSOCK_Connect();
  }
  void WSOCK_DataArrival(std::int32_t bytesWaiting) override {
    if (!Ended()) connection_.WSOCK_DataArrival(bytesWaiting);
  }
  void WSOCK_SendComplete() override {
    if (!Ended()) connection_.WSOCK_SendComplete();
  }
  void WSOCK_Error(const std::string& reason) override {
    if (!Ended()) connection_.WSOCK_Error(reason);
  }

 protected:
  // `session` is the mode's own member, built on Connection(); only the
  // reference is kept here.
  SessionDriver(SmtpSession& session, Socket& socket)
      : session_(session), connection_(socket), toSession_(session) {
    connection_.SetEvents(&toSession_);
  }
  ProxySocket& Connection() { return connection_; }

 private:
  // The connection's events, once the proxy has had its share.
  class ToSession final : public SocketEvents {
   public:
    explicit ToSession(SmtpSession& session) : s_(session) {}
    void WSOCK_Connect() override { s_.WSOCK_Connect(); }
    void WSOCK_DataArrival(std::int32_t bytesWaiting) override {
      s_.WSOCK_DataArrival(bytesWaiting);
    }
    void WSOCK_SendComplete() override { s_.WSOCK_SendComplete(); }
    void WSOCK_Error(const std::string& reason) override { s_.WSOCK_Error(reason); }
    void WSOCK_ProxyRefused(ProxyRefusal refusal, const std::string& text) override {
      s_.WSOCK_ProxyRefused(refusal, text);
    }

   private:
    SmtpSession& s_;
  };

  SmtpSession& session_;
  ProxySocket connection_;
  ToSession toSession_;
};

}  // namespace tolvex
