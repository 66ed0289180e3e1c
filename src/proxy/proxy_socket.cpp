#include "proxy/proxy_socket.hpp"

#include <utility>

namespace tolvex {

ProxySocket::~ProxySocket() = default;

void ProxySocket::Tunnel(const ProxySettings* proxy, std::string host, std::int32_t port) {
  proxy_ = proxy && proxy->Tunnels() ? proxy : nullptr;
  host_ = std::move(host);
  port_ = port;
}

std::string ProxySocket::Through() const {
  if (!proxy_) return {};
  return proxy_->Shown();
}

void ProxySocket::Connect() {
  early_.clear();
  handshakeBytes_ = 0;
  if (!proxy_) {
    phase_ = Phase::Direct;
    inner_.Connect();
    return;
  }
  phase_ = Phase::Connecting;
  handshake_ = std::make_unique<ProxyHandshake>(*proxy_, host_, port_);
  inner_.SetRemoteHost(proxy_->host);
  inner_.SetRemotePort(proxy_->port);
  inner_.Connect();
}

SocketState ProxySocket::State() const {
  switch (phase_) {
    case Phase::Connecting:
    case Phase::Handshake:
      return SocketState::Connecting;
    case Phase::Refused:
      return SocketState::Error;
    case Phase::Direct:
    case Phase::Open:
      break;
  }
  return inner_.State();
}

void ProxySocket::GetData(std::string& out, std::int32_t maxBytes) {
  if (early_.empty()) {
    inner_.GetData(out, maxBytes);
    return;
  }
  const std::size_t n = maxBytes < 0 ? 0 : std::min(early_.size(), std::size_t(maxBytes));
  out.assign(early_, 0, n);
  early_.erase(0, n);
}

void ProxySocket::StartTls(const TlsRequest& request) {
  early_.clear();  // came before TLS, like the inner socket's unread bytes
  inner_.StartTls(request);
}

void ProxySocket::Close() {
  early_.clear();
  if (phase_ != Phase::Direct) phase_ = Phase::Open;
  inner_.Close();
}

void ProxySocket::WSOCK_Connect() {
  if (phase_ != Phase::Connecting) {
    if (events_) events_->WSOCK_Connect();
    return;
  }
  if (inner_.State() != SocketState::Connected) {
    Refuse(ProxyRefusal::ForNow, "proxy " + proxy_->Shown() + " not reachable");
    return;
  }
  phase_ = Phase::Handshake;
  std::string first = handshake_->Start();
  handshakeBytes_ += first.size();
  inner_.SendData(std::move(first));
}

void ProxySocket::WSOCK_DataArrival(std::int32_t bytesWaiting) {
  if (phase_ != Phase::Handshake) {
    if (phase_ != Phase::Refused && events_) events_->WSOCK_DataArrival(bytesWaiting);
    return;
  }
  std::string piece;
  inner_.GetData(piece, bytesWaiting);
  Follow(handshake_->Take(piece));
}

void ProxySocket::Follow(ProxyHandshake::Step step) {
  using Kind = ProxyHandshake::Step::Kind;
  switch (step.kind) {
    case Kind::Wait:
      return;
    case Kind::Send:
      handshakeBytes_ += step.bytes.size();
      inner_.SendData(std::move(step.bytes));
      return;
    case Kind::Refused:
      Refuse(step.refusal, step.text);
      return;
    case Kind::Open:
      phase_ = Phase::Open;
      early_ = std::move(step.bytes);
      if (!events_) return;
      events_->WSOCK_Connect();
      if (phase_ == Phase::Open && !early_.empty()) {
        events_->WSOCK_DataArrival(static_cast<std::int32_t>(early_.size()));
      }
      return;
  }
}

void ProxySocket::WSOCK_SendComplete() {
  if (phase_ == Phase::Handshake || phase_ == Phase::Connecting || phase_ == Phase::Refused) return;
  if (events_) events_->WSOCK_SendComplete();
}

void ProxySocket::WSOCK_Error(const std::string& reason) {
  const std::string where = proxy_ ? proxy_->Shown() : std::string();
  if (phase_ == Phase::Connecting) {
    Refuse(ProxyRefusal::ForNow, "proxy " + where + " not reachable: " + reason);
  } else if (phase_ == Phase::Handshake) {
    Refuse(ProxyRefusal::ForNow,
           "proxy " + where + " closed the connection in its handshake: " + reason);
  } else if (phase_ != Phase::Refused && events_) {
    events_->WSOCK_Error(reason);
  }
}

void ProxySocket::Refuse(ProxyRefusal refusal, const std::string& text) {
  phase_ = Phase::Refused;
  inner_.Close();
  if (events_) events_->WSOCK_ProxyRefused(refusal, text);
}

}  // namespace tolvex
