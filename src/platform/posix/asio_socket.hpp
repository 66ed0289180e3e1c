// The SMTP client socket on standalone Asio. Everything runs on the event
// loop's thread; events reach SocketEvents through the EventGate, so they
// arrive between timer ticks and never inside another handler.
//
// Each Connect creates a fresh connection object that owns the Asio socket
// and its buffers. Close marks it closed and drops it; handlers of a dropped
// connection still in flight find it closed and do nothing, so no event of
// a closed connection is ever delivered.
#pragma once

#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>

#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "app/platform.hpp"
#include "platform/posix/event_gate.hpp"
#include "smtp/dot_stuffer.hpp"

namespace tolvex::posix {

// Socket states as the run control reads them.
enum SocketState : std::int16_t {
  kSockClosed = 0,
  kSockResolving = 4,
  kSockConnecting = 6,
  kSockConnected = 7,
  kSockPeerClosed = 8,
  kSockError = 9,
};

class AsioSocket : public Socket {
 public:
  // Bytes of the message encoded per write; one buffer of this size is
  // reserved per connection.
  static constexpr std::size_t kDefaultChunk = 512 * 1024;

  AsioSocket(asio::io_context& io, EventGate& gate, std::size_t chunkBytes = kDefaultChunk);
  ~AsioSocket() override;
  AsioSocket(const AsioSocket&) = delete;
  AsioSocket& operator=(const AsioSocket&) = delete;

  void SetEvents(SocketEvents* events) { events_ = events; }

  void SetLocalPort(std::int32_t port) override { localPort_ = port; }
  void SetRemotePort(std::int32_t port) override { remotePort_ = port; }
  void SetRemoteHost(const std::string& host) override { remoteHost_ = host; }
  void Connect() override;
  std::int16_t State() const override;
  void SendData(std::string text) override;
  void SendMessageData(std::string_view mail) override;
  void GetData(std::string& out, std::int32_t maxBytes) override;
  void Close() override;

  std::int32_t LocalPort() const { return localPort_; }
  std::int32_t RemotePort() const { return remotePort_; }
  const std::string& RemoteHost() const { return remoteHost_; }
  // Bytes received and not yet taken by GetData.
  std::size_t BytesWaiting() const;

 private:
  struct Outgoing {
    std::string text;                  // a command, owned
    std::optional<DotStuffer> message; // or the message, encoded on the way
  };
  struct Connection {
    explicit Connection(asio::io_context& io) : resolver(io), socket(io) {}
    asio::ip::tcp::resolver resolver;
    asio::ip::tcp::socket socket;
    std::int16_t state = kSockClosed;
    bool closed = false;
    bool writing = false;
    std::vector<char> readBuffer;
    std::string received;         // waiting bytes start at receivedStart
    std::size_t receivedStart = 0;
    std::deque<Outgoing> queue;
    std::vector<char> chunk;      // encoded message bytes being written
  };
  using ConnectionPtr = std::shared_ptr<Connection>;

  void Enqueue(Outgoing item);
  void StartRead(const ConnectionPtr& c);
  void WriteNext(const ConnectionPtr& c);
  bool Current(const ConnectionPtr& c) const { return c == conn_ && !c->closed; }

  asio::io_context& io_;
  EventGate& gate_;
  std::size_t chunkBytes_;
  SocketEvents* events_ = nullptr;
  std::int32_t localPort_ = 0;
  std::int32_t remotePort_ = 0;
  std::string remoteHost_;
  ConnectionPtr conn_;
};

}  // namespace tolvex::posix
