// The SMTP client socket on standalone Asio. Everything runs on the event
// loop's thread; events reach SocketEvents through the EventGate, so they
// arrive between timer ticks and never inside another handler.
//
// Each Connect creates a fresh connection object that owns the Asio socket
// and its buffers. Close marks it closed and drops it; handlers of a dropped
// connection still in flight find it closed and do nothing, so no event of
// a closed connection is ever delivered.
//
// StartTls puts an AsioTls stream over the connection's TCP socket; from
// its handshake on, reads and writes go through it.
#pragma once

#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "base/platform.hpp"
#include "base/socket_buffers.hpp"
#include "platform/posix/event_gate.hpp"
#include "platform/posix/tls.hpp"

namespace tolvex::posix {

class AsioSocket : public ClientSocket {
 public:
  // Bytes of a streamed message taken per write.
  static constexpr std::size_t kDefaultChunk = 64 * 1024;

  AsioSocket(asio::io_context& io, EventGate& gate, std::size_t chunkBytes = kDefaultChunk);
  ~AsioSocket() override;
  AsioSocket(const AsioSocket&) = delete;
  AsioSocket& operator=(const AsioSocket&) = delete;

  void Connect() override;
  SocketState State() const override;
  void SendData(std::string text) override;
  void SendMessageData(ByteSource& source) override;
  void GetData(std::string& out, std::int32_t maxBytes) override;
  std::uint64_t BytesAccepted() const override;
  std::string LocalAddress() const override;
  void StartTls(const TlsRequest& request) override;
  TlsInfo TlsPeer() const override;
  void Close() override;

  // Bytes received and not yet taken by GetData.
  std::size_t BytesWaiting() const;

 private:
  struct Connection {
    Connection(asio::io_context& io, std::size_t chunkBytes)
        : resolver(io), socket(io), sends(chunkBytes) {}
    asio::ip::tcp::resolver resolver;
    asio::ip::tcp::socket socket;
    SocketState state = SocketState::Closed;
    bool closed = false;
    bool writing = false;
    bool reading = false;
    std::vector<char> readBuffer;
    ReceiveBuffer received;
    SendQueue sends;
    // After the socket it runs over, so it goes first.
    std::unique_ptr<AsioTls> tls;
    bool handshaking = false;
    bool tlsUp = false;  // the handshake succeeded
  };
  using ConnectionPtr = std::shared_ptr<Connection>;

  void StartRead(const ConnectionPtr& c);
  void WriteNext(const ConnectionPtr& c);
  void DeliverCompletions(const ConnectionPtr& c);
  void Fail(const ConnectionPtr& c);
  void FailTls(const ConnectionPtr& c, std::string reason);
  // The connection failed or went away: one WSOCK_Error with `reason`.
  void ReportLoss(const ConnectionPtr& c, std::string reason);
  bool Current(const ConnectionPtr& c) const { return c == conn_ && !c->closed; }

  asio::io_context& io_;
  EventGate& gate_;
  std::size_t chunkBytes_;
  ConnectionPtr conn_;
};

}  // namespace tolvex::posix
