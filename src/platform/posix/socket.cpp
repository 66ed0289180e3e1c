// The SMTP client socket on Asio: connect, the shared send queue, bounded reads.
#include "platform/posix/socket.hpp"

#include <asio/connect.hpp>
#include <asio/post.hpp>
#include <asio/ssl/error.hpp>
#include <asio/write.hpp>

#include <algorithm>

namespace tolvex::posix {
namespace {
constexpr std::size_t kReadBytes = 64 * 1024;

// What the log says about a connection that failed or went away.
std::string LossReason(const asio::error_code& ec) {
  if (ec == asio::error::connection_refused) return "connection refused";
  if (ec == asio::error::eof || ec == asio::ssl::error::stream_truncated)
    return "connection closed by the server";
  if (ec == asio::error::connection_reset) return "connection reset by the server";
  if (ec == asio::error::timed_out) return "connection timed out";
  if (ec == asio::error::host_unreachable || ec == asio::error::network_unreachable)
    return "host unreachable";
  return "connection failed: " + ec.message();
}
}  // namespace

AsioSocket::AsioSocket(asio::io_context& io, EventGate& gate, std::size_t chunkBytes)
    : io_(io), gate_(gate), chunkBytes_(std::max<std::size_t>(chunkBytes, 16)) {}

AsioSocket::~AsioSocket() { Close(); }

void AsioSocket::Connect() {
  Close();
  auto c = std::make_shared<Connection>(io_, chunkBytes_);
  conn_ = c;
  // No host: nothing to connect to. Like any failed connect this raises no
  // event; the session gives up through its time-out.
  if (remoteHost_.empty()) {
    c->state = SocketState::Error;
    return;
  }
  c->state = SocketState::Resolving;
  c->resolver.async_resolve(
      HostForResolver(remoteHost_), std::to_string(remotePort_),
      [this, c](const asio::error_code& ec, const asio::ip::tcp::resolver::results_type& results) {
        if (c->closed) return;
        if (ec) {
          c->state = SocketState::Error;
          ReportLoss(c, "cannot resolve " + remoteHost_ + ": " + ec.message());
          return;
        }
        c->state = SocketState::Connecting;
        asio::async_connect(c->socket, results,
                            [this, c](const asio::error_code& cec, const asio::ip::tcp::endpoint&) {
                              if (c->closed) return;
                              if (cec) {
                                c->state = SocketState::Error;
                                ReportLoss(c, LossReason(cec));
                                return;
                              }
                              asio::error_code ignored;
                              c->socket.set_option(asio::ip::tcp::no_delay(true), ignored);
                              c->state = SocketState::Connected;
                              c->readBuffer.resize(kReadBytes);
                              StartRead(c);
                              gate_.Deliver([this, c] {
                                if (Current(c) && events_) events_->WSOCK_Connect();
                              });
                            });
      });
}

SocketState AsioSocket::State() const { return conn_ ? conn_->state : SocketState::Closed; }

std::size_t AsioSocket::BytesWaiting() const { return conn_ ? conn_->received.Waiting() : 0; }

std::uint64_t AsioSocket::BytesAccepted() const { return conn_ ? conn_->sends.BytesAccepted() : 0; }

std::string AsioSocket::LocalAddress() const {
  if (!conn_ || conn_->closed) return {};
  asio::error_code ec;
  const asio::ip::tcp::endpoint local = conn_->socket.local_endpoint(ec);
  if (ec) return {};
  return local.address().to_string();
}

// Reads while there is room for what arrives; a full receive buffer pauses
// reading until GetData takes from it.
void AsioSocket::StartRead(const ConnectionPtr& c) {
  if (c->closed || c->reading || c->handshaking || c->received.Full() ||
      c->state != SocketState::Connected) {
    return;
  }
  c->reading = true;
  const std::size_t room = std::min(c->readBuffer.size(), c->received.Room());
  const bool overTls = c->tls != nullptr;
  auto done = [this, c, overTls](const asio::error_code& ec, std::size_t n) {
    c->reading = false;
    if (c->closed) return;
    if (ec == asio::error::operation_aborted) {
      StartRead(c);  // the plain read StartTls cancelled: read on through TLS
      return;
    }
    if (ec) {
      // The server went away. No event: the session notices through its
      // replies or its time-out.
      const bool eof = ec == asio::error::eof || ec == asio::ssl::error::stream_truncated;
      c->state = eof ? SocketState::PeerClosed : SocketState::Error;
      ReportLoss(c, LossReason(ec));
      return;
    }
    if (overTls != (c->tls != nullptr)) {
      StartRead(c);  // plain bytes that came before TLS: dropped
      return;
    }
    c->received.Append(std::string_view(c->readBuffer.data(), n));
    gate_.Deliver([this, c] {
      if (!Current(c) || !events_) return;
      if (c->received.Waiting() == 0) return;  // an earlier arrival already took these bytes
      events_->WSOCK_DataArrival(c->received.WaitingCount());
    });
    StartRead(c);
  };
  if (overTls) {
    c->tls->GetStream().async_read_some(asio::buffer(c->readBuffer.data(), room), std::move(done));
  } else {
    c->socket.async_read_some(asio::buffer(c->readBuffer.data(), room), std::move(done));
  }
}

void AsioSocket::GetData(std::string& out, std::int32_t maxBytes) {
  out.clear();
  if (!conn_) return;
  conn_->received.Take(out, maxBytes);
  StartRead(conn_);
}

void AsioSocket::SendData(std::string text) {
  if (!conn_ || conn_->closed || conn_->state != SocketState::Connected) return;
  conn_->sends.PushText(std::move(text));
  WriteNext(conn_);
}

void AsioSocket::SendMessageData(ByteSource& source) {
  if (!conn_ || conn_->closed || conn_->state != SocketState::Connected) return;
  conn_->sends.PushSource(source);
  WriteNext(conn_);
}

void AsioSocket::DeliverCompletions(const ConnectionPtr& c) {
  for (int n = c->sends.TakeCompleted(); n > 0; --n) {
    gate_.Deliver([this, c] {
      if (Current(c) && events_) events_->WSOCK_SendComplete();
    });
  }
}

void AsioSocket::Fail(const ConnectionPtr& c) {
  // Nothing more can be sent on this connection; no completion follows.
  c->state = SocketState::Error;
  c->sends.Clear();
}

void AsioSocket::WriteNext(const ConnectionPtr& c) {
  if (c->closed || c->writing) return;
  const std::string_view pending = c->sends.Pending();
  const bool failed = pending.empty() && c->sends.Failed();
  if (!pending.empty()) {
    c->writing = true;
    auto done = [this, c](const asio::error_code& ec, std::size_t n) {
      c->writing = false;
      if (c->closed) {
        c->sends.Clear();  // the write Close left running is over
        return;
      }
      if (ec) {
        Fail(c);
        return;
      }
      c->sends.Consume(n);
      WriteNext(c);
    };
    if (c->tls) {
      asio::async_write(c->tls->GetStream(), asio::buffer(pending.data(), pending.size()),
                        std::move(done));
    } else {
      asio::async_write(c->socket, asio::buffer(pending.data(), pending.size()), std::move(done));
    }
  }
  // After the write is under way: a completion handler that sends again
  // finds the socket writing and queues behind it.
  DeliverCompletions(c);
  if (failed) Fail(c);
}

// Delivered between ticks like every event; the plain session ignores it
// and notices through its time-out, as before.
void AsioSocket::ReportLoss(const ConnectionPtr& c, std::string reason) {
  gate_.Deliver([this, c, reason = std::move(reason)] {
    if (Current(c) && events_) events_->WSOCK_Error(reason);
  });
}

void AsioSocket::FailTls(const ConnectionPtr& c, std::string reason) {
  Fail(c);
  // Reported from the loop, never inside the call that asked for TLS.
  asio::post(io_, [this, c, reason = std::move(reason)] {
    gate_.Deliver([this, c, reason] {
      if (Current(c) && events_) events_->WSOCK_Error(reason);
    });
  });
}

void AsioSocket::StartTls(const TlsRequest& request) {
  ConnectionPtr c = conn_;
  if (!c) {
    asio::post(io_, [this] {
      gate_.Deliver([this] {
        if (!conn_ && events_) events_->WSOCK_Error("TLS: not connected");
      });
    });
    return;
  }
  if (c->closed) return;
  if (c->state != SocketState::Connected || c->tls || c->writing || !c->sends.Empty()) {
    FailTls(c, "TLS: the connection is not ready for it");
    return;
  }
  std::string reason;
  c->tls = AsioTls::Create(c->socket, request, reason);
  if (!c->tls) {
    FailTls(c, reason);
    return;
  }
  // What came before TLS is not to be trusted; the plain read is stopped
  // so it cannot take the server's handshake bytes.
  c->received.Clear();
  c->handshaking = true;
  asio::error_code ignored;
  c->socket.cancel(ignored);
  c->tls->GetStream().async_handshake(asio::ssl::stream_base::client,
                                      [this, c](const asio::error_code& ec) {
                                        c->handshaking = false;
                                        if (c->closed) return;
                                        if (ec) {
                                          const std::string reason = c->tls->HandshakeReason(ec);
                                          Fail(c);
                                          gate_.Deliver([this, c, reason] {
                                            if (Current(c) && events_) events_->WSOCK_Error(reason);
                                          });
                                          return;
                                        }
                                        c->tlsUp = true;
                                        StartRead(c);
                                        gate_.Deliver([this, c] {
                                          if (Current(c) && events_) events_->WSOCK_SendComplete();
                                        });
                                      });
}

TlsInfo AsioSocket::TlsPeer() const {
  if (!conn_ || !conn_->tls || !conn_->tlsUp || conn_->state == SocketState::Error) return {};
  return conn_->tls->Info();
}

void AsioSocket::Close() {
  if (!conn_) return;
  ConnectionPtr c = std::move(conn_);
  // Buffers stay with the connection object until its last handler has
  // run, so an aborted write never points at freed memory.
  c->closed = true;
  // A TLS session ends with close_notify (RFC 8446), so the server can tell
  // the end from a cut connection; not in the middle of a record.
  if (c->tls && c->tlsUp && !c->writing && c->state == SocketState::Connected) {
    c->tls->SendCloseNotify();
  }
  // The queue holds the caller's message source, which may go once Close
  // has returned: nothing may be left pointing at it. A write under way
  // still reads the queue's buffers; its handler drops them.
  if (c->writing) {
    c->sends.ForgetSources();
  } else {
    c->sends.Clear();
  }
  asio::error_code ignored;
  c->resolver.cancel();
  c->socket.shutdown(asio::ip::tcp::socket::shutdown_both, ignored);
  c->socket.close(ignored);
}

}  // namespace tolvex::posix
