// tolvex::Socket over Winsock, event-driven on the thread's message loop
// (WSAAsyncSelect). Host names are resolved on a short-lived worker thread
// so Connect returns at once; every event is delivered from the message
// loop, never from inside a call into the socket.
//
// StartTls hands the connection to an SchannelTls session: its handshake
// and records are driven from the same notifications, plaintext queued by
// SendData is encrypted piece by piece as Winsock takes the records, and
// nothing ever waits.
#pragma once

#include <winsock2.h>
#include <ws2tcpip.h>
// after winsock2.h
#include <windows.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "base/platform.hpp"
#include "base/socket_buffers.hpp"
#include "platform/win32/message_window.hpp"
#include "platform/win32/tls.hpp"

namespace tolvex::win {

class WinsockSocket final : public ClientSocket {
 public:
  // `gate` (optional) closed means: raise no further event.
  explicit WinsockSocket(const EventGate* gate = nullptr, std::size_t chunkBytes = 64 * 1024);
  ~WinsockSocket() override;
  WinsockSocket(const WinsockSocket&) = delete;
  WinsockSocket& operator=(const WinsockSocket&) = delete;

  void Connect() override;
  SocketState State() const override { return state_; }
  void SendData(std::string text) override;
  void SendMessageData(ByteSource& source) override;
  void GetData(std::string& out, std::int32_t maxBytes) override;
  std::uint64_t BytesAccepted() const override { return sends_.BytesAccepted(); }
  std::string LocalAddress() const override;
  void StartTls(const TlsRequest& request) override;
  TlsInfo TlsPeer() const override;
  void Close() override;

  // Bytes queued for sending and not yet handed to the network.
  bool SendPending() const { return !sends_.Empty() || wireSent_ < wire_.size(); }

 private:
  bool OnMessage(UINT msg, WPARAM wParam, LPARAM lParam);
  void OnResolved(struct ResolveJob* job);
  void TryNextAddress();
  void OnConnectResult(int error);
  void OnReadable();
  void OnPeerClosed(int error);
  // Takes what fits the receive buffer; false when the peer has closed.
  bool ReadAvailable();
  void RaiseArrival();
  // Bytes read from the network: through TLS when it is on.
  void TakeIn(std::string_view bytes);
  void TlsFailed();
  // Reports a failure of the connection (a TLS handshake, a connect, the
  // peer going away) by one WSOCK_Error from the loop.
  void PostTlsFailure(std::string reason);
  void Flush();
  void RaiseCompletions();
  void Fail();
  void ReleaseSocket();
  bool Deliverable() const { return events_ && (!gate_ || gate_->open); }
  UINT SelectMessage() const;

  const EventGate* gate_;
  MessageWindow window_;
  SocketState state_ = SocketState::Closed;
  SOCKET sock_ = INVALID_SOCKET;
  unsigned generation_ = 0;  // connection number: older ones' messages are dropped
  std::vector<std::vector<unsigned char>> addresses_;  // sockaddr bytes to try
  std::size_t nextAddress_ = 0;
  int lastConnectError_ = 0;  // of the last address tried
  ReceiveBuffer received_;
  SendQueue sends_;
  bool readPaused_ = false;  // the receive buffer was full: a read is owed
  std::unique_ptr<SchannelTls> tls_;
  bool tlsOpen_ = false;  // the handshake has succeeded
  std::string wire_;      // TLS records for the network, sent before anything else
  std::size_t wireSent_ = 0;
  std::string tlsFailure_;  // the reason the posted failure event carries
};

}  // namespace tolvex::win
