// tolvex::Socket over Winsock, event-driven on the thread's message loop
// (WSAAsyncSelect). Host names are resolved on a short-lived worker thread
// so Connect returns at once; every event is delivered from the message
// loop, never from inside a call into the socket.
#pragma once

#include <winsock2.h>
#include <ws2tcpip.h>
// after winsock2.h
#include <windows.h>

#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "app/platform.hpp"
#include "platform/win32/message_window.hpp"
#include "smtp/dot_stuffer.hpp"

namespace tolvex::win {

class WinsockSocket final : public Socket {
 public:
  static constexpr std::int16_t kStateClosed = 0;
  static constexpr std::int16_t kStateResolving = 4;
  static constexpr std::int16_t kStateConnecting = 6;
  static constexpr std::int16_t kStateClosing = 8;  // the peer has closed
  static constexpr std::int16_t kStateError = 9;

  // `gate` (optional) closed means: raise no further event.
  explicit WinsockSocket(const EventGate* gate = nullptr, std::size_t chunkBytes = 64 * 1024);
  ~WinsockSocket() override;
  WinsockSocket(const WinsockSocket&) = delete;
  WinsockSocket& operator=(const WinsockSocket&) = delete;

  void SetEvents(SocketEvents* events) { events_ = events; }

  void SetLocalPort(std::int32_t port) override { localPort_ = port; }
  void SetRemotePort(std::int32_t port) override { remotePort_ = port; }
  void SetRemoteHost(const std::string& host) override { remoteHost_ = host; }
  void Connect() override;
  std::int16_t State() const override { return state_; }
  void SendData(std::string text) override;
  void SendMessageData(std::string_view mail) override;
  void GetData(std::string& out, std::int32_t maxBytes) override;
  void Close() override;

  std::int32_t LocalPort() const { return localPort_; }
  std::int32_t RemotePort() const { return remotePort_; }
  const std::string& RemoteHost() const { return remoteHost_; }
  // Bytes queued for sending and not yet handed to the network.
  bool SendPending() const { return !queue_.empty(); }

 private:
  struct Outgoing {
    std::string text;                   // a command, owned
    std::optional<DotStuffer> stuffer;  // or the message, streamed
    std::size_t pos = 0;                // bytes of `text` already sent
  };

  bool OnMessage(UINT msg, WPARAM wParam, LPARAM lParam);
  void OnResolved(struct ResolveJob* job);
  void TryNextAddress();
  void OnConnectResult(int error);
  void OnReadable();
  void OnPeerClosed();
  void Flush();
  void Fail();
  void ReleaseSocket();
  bool Deliverable() const { return events_ && (!gate_ || gate_->open); }
  UINT SelectMessage() const;

  const EventGate* gate_;
  SocketEvents* events_ = nullptr;
  MessageWindow window_;
  std::int32_t localPort_ = 0;
  std::int32_t remotePort_ = 0;
  std::string remoteHost_;
  std::int16_t state_ = kStateClosed;
  SOCKET sock_ = INVALID_SOCKET;
  unsigned generation_ = 0;  // connection number: older ones' messages are dropped
  std::vector<std::vector<unsigned char>> addresses_;  // sockaddr bytes to try
  std::size_t nextAddress_ = 0;
  std::string inbox_;
  std::deque<Outgoing> queue_;
  std::string chunk_;  // the stuffed bytes of the message being sent
  std::size_t chunkPos_ = 0;
  std::size_t chunkBytes_;
};

}  // namespace tolvex::win
