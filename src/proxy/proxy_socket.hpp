// The connection to the mail server through a proxy, as a Socket: it
// connects its inner socket to the proxy, runs the handshake on the inner
// socket's events, and only then tells its own events of the connection.
// From there on it passes everything through, so the session, STARTTLS
// (checked against the mail server's name) and implicit TLS work as on a
// direct connection. Without a proxy to tunnel through it passes
// everything through from the start.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "base/platform.hpp"
#include "base/proxy.hpp"
#include "proxy/handshake.hpp"

namespace tolvex {

class ProxySocket final : public Socket, public SocketEvents {
 public:
  explicit ProxySocket(Socket& inner) : inner_(inner) {}
  ~ProxySocket() override;

  // Whom the connection's events go to.
  void SetEvents(SocketEvents* events) { events_ = events; }
  // Connections from now on go through `proxy` (kept by the caller; null
  // or one that does not tunnel: directly) to `host` and `port`.
  void Tunnel(const ProxySettings* proxy, std::string host, std::int32_t port);
  // Where the last connection went through ("" directly) and what the
  // proxy answered.
  std::string Through() const;
  std::string ProxyAnswer() const { return handshake_ ? handshake_->Answer() : std::string(); }

  // Socket
  void SetRemotePort(std::int32_t port) override { inner_.SetRemotePort(port); }
  void SetRemoteHost(const std::string& host) override { inner_.SetRemoteHost(host); }
  void Connect() override;
  SocketState State() const override;
  void SendData(std::string text) override { inner_.SendData(std::move(text)); }
  void SendMessageData(ByteSource& source) override { inner_.SendMessageData(source); }
  void GetData(std::string& out, std::int32_t maxBytes) override;
  std::uint64_t BytesAccepted() const override { return inner_.BytesAccepted() - handshakeBytes_; }
  std::string LocalAddress() const override { return inner_.LocalAddress(); }
  void StartTls(const TlsRequest& request) override;
  TlsInfo TlsPeer() const override { return inner_.TlsPeer(); }
  void Close() override;

  // SocketEvents: the inner socket's.
  void WSOCK_Connect() override;
  void WSOCK_DataArrival(std::int32_t bytesWaiting) override;
  void WSOCK_SendComplete() override;
  void WSOCK_Error(const std::string& reason) override;

 private:
  enum class Phase : std::uint8_t { Direct, Connecting, Handshake, Open, Refused };
  void Follow(ProxyHandshake::Step step);
  void Refuse(ProxyRefusal refusal, const std::string& text);

  Socket& inner_;
  SocketEvents* events_ = nullptr;
  const ProxySettings* proxy_ = nullptr;
  std::string host_;
  std::int32_t port_ = 0;
  Phase phase_ = Phase::Direct;
  std::unique_ptr<ProxyHandshake> handshake_;
  std::uint64_t handshakeBytes_ = 0;
  std::string early_;  // what the server sent with the proxy's reply, not yet taken
};

}  // namespace tolvex
