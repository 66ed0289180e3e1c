#include "platform/posix/asio_socket.hpp"

#include <asio/connect.hpp>
#include <asio/write.hpp>

#include <algorithm>
#include <limits>

namespace tolvex::posix {
namespace {

constexpr std::size_t kReadBytes = 64 * 1024;

// "[::1]" is accepted as well as "::1".
std::string HostForResolver(const std::string& host) {
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
    return host.substr(1, host.size() - 2);
  }
  return host;
}

}  // namespace

AsioSocket::AsioSocket(asio::io_context& io, EventGate& gate, std::size_t chunkBytes)
    : io_(io), gate_(gate), chunkBytes_(std::max<std::size_t>(chunkBytes, 16)) {}

AsioSocket::~AsioSocket() { Close(); }

void AsioSocket::Connect() {
  Close();
  auto c = std::make_shared<Connection>(io_);
  conn_ = c;
  // No host: nothing to connect to. Like any failed connect this raises no
  // event; the session gives up through its time-out.
  if (remoteHost_.empty()) {
    c->state = kSockError;
    return;
  }
  c->state = kSockResolving;
  // The local port stays the system's choice: the run control only ever
  // asks for 0.
  c->resolver.async_resolve(
      HostForResolver(remoteHost_), std::to_string(remotePort_),
      [this, c](const asio::error_code& ec, const asio::ip::tcp::resolver::results_type& results) {
        if (c->closed) return;
        if (ec) {
          c->state = kSockError;
          return;
        }
        c->state = kSockConnecting;
        asio::async_connect(c->socket, results,
                            [this, c](const asio::error_code& cec, const asio::ip::tcp::endpoint&) {
                              if (c->closed) return;
                              if (cec) {
                                c->state = kSockError;
                                return;
                              }
                              asio::error_code ignored;
                              c->socket.set_option(asio::ip::tcp::no_delay(true), ignored);
                              c->state = kSockConnected;
                              c->readBuffer.resize(kReadBytes);
                              StartRead(c);
                              gate_.Deliver([this, c] {
                                if (Current(c) && events_) events_->WSOCK_Connect();
                              });
                              WriteNext(c);  // anything queued while connecting
                            });
      });
}

std::int16_t AsioSocket::State() const { return conn_ ? conn_->state : std::int16_t{kSockClosed}; }

std::size_t AsioSocket::BytesWaiting() const {
  return conn_ ? conn_->received.size() - conn_->receivedStart : 0;
}

void AsioSocket::StartRead(const ConnectionPtr& c) {
  c->socket.async_read_some(
      asio::buffer(c->readBuffer), [this, c](const asio::error_code& ec, std::size_t n) {
        if (c->closed) return;
        if (ec) {
          // The server went away. No event: the session notices through its
          // replies or its time-out.
          c->state = ec == asio::error::eof ? kSockPeerClosed : kSockError;
          return;
        }
        c->received.append(c->readBuffer.data(), n);
        gate_.Deliver([this, c] {
          if (!Current(c) || !events_) return;
          const std::size_t waiting = c->received.size() - c->receivedStart;
          if (waiting == 0) return;  // an earlier arrival already took these bytes
          const auto count = static_cast<std::int32_t>(
              std::min<std::size_t>(waiting, std::numeric_limits<std::int32_t>::max()));
          events_->WSOCK_DataArrival(count);
        });
        if (!c->closed) StartRead(c);
      });
}

void AsioSocket::GetData(std::string& out, std::int32_t maxBytes) {
  out.clear();
  if (!conn_) return;
  Connection& c = *conn_;
  const std::size_t waiting = c.received.size() - c.receivedStart;
  const std::size_t n =
      maxBytes <= 0 ? waiting : std::min<std::size_t>(waiting, static_cast<std::size_t>(maxBytes));
  out.assign(c.received, c.receivedStart, n);
  c.receivedStart += n;
  // Drop consumed bytes once they make up the larger part of the buffer, so
  // taking small pieces of a large arrival stays linear.
  if (c.receivedStart == c.received.size()) {
    c.received.clear();
    c.receivedStart = 0;
  } else if (c.receivedStart > c.received.size() / 2) {
    c.received.erase(0, c.receivedStart);
    c.receivedStart = 0;
  }
}

void AsioSocket::SendData(std::string text) {
  Outgoing item;
  item.text = std::move(text);
  Enqueue(std::move(item));
}

void AsioSocket::SendMessageData(std::string_view mail) {
  Outgoing item;
  item.message.emplace(mail);
  Enqueue(std::move(item));
}

void AsioSocket::Enqueue(Outgoing item) {
  // Without a connection the bytes have nowhere to go and no completion
  // follows; the session ends through its time-out.
  if (!conn_ || conn_->closed || conn_->state == kSockError || conn_->state == kSockPeerClosed) return;
  conn_->queue.push_back(std::move(item));
  if (conn_->state == kSockConnected) WriteNext(conn_);
}

void AsioSocket::WriteNext(const ConnectionPtr& c) {
  if (c->closed || c->writing || c->queue.empty()) return;
  Outgoing& item = c->queue.front();
  asio::const_buffer buffer;
  if (item.message) {
    if (c->chunk.size() != chunkBytes_) c->chunk.resize(chunkBytes_);
    const std::size_t n = item.message->Fill(c->chunk.data(), c->chunk.size());
    buffer = asio::buffer(c->chunk.data(), n);
  } else {
    buffer = asio::buffer(item.text);
  }
  c->writing = true;
  asio::async_write(c->socket, buffer, [this, c](const asio::error_code& ec, std::size_t) {
    c->writing = false;
    if (c->closed) return;
    if (ec) {
      // Nothing more can be sent on this connection; no completion follows.
      c->state = kSockError;
      c->queue.clear();
      return;
    }
    Outgoing& done = c->queue.front();
    if (!done.message || done.message->Done()) {
      c->queue.pop_front();
      gate_.Deliver([this, c] {
        if (Current(c) && events_) events_->WSOCK_SendComplete();
      });
    }
    WriteNext(c);
  });
}

void AsioSocket::Close() {
  if (!conn_) return;
  ConnectionPtr c = std::move(conn_);
  // Buffers stay with the connection object until its last handler has
  // run, so an aborted write never points at freed memory.
  c->closed = true;
  asio::error_code ignored;
  c->resolver.cancel();
  c->socket.shutdown(asio::ip::tcp::socket::shutdown_both, ignored);
  c->socket.close(ignored);
}

}  // namespace tolvex::posix
