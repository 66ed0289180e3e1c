// The small platform surface that run control and the SMTP session drive:
// timers, the socket, the window and the clock. Linux and Windows each
// implement it; tests implement it with fakes and virtual time. Every call
// and every event happens on one thread.
#pragma once

#include <cstdint>
#include <string>

#include "base/failure.hpp"
#include "base/proxy.hpp"

namespace tolvex {

// A periodic timer whose ticks arrive on the event thread while enabled.
// The period is fixed by whoever creates it (60000 ms or 100 ms in the
// shipped program).
class Timer {
 public:
  virtual ~Timer() = default;
  virtual void SetEnabled(bool enabled) = 0;
  virtual bool Enabled() const = 0;
};

// Receives the socket's events, delivered between timer ticks, never nested.
class SocketEvents {
 public:
  virtual ~SocketEvents() = default;
  virtual void WSOCK_Connect() = 0;
  virtual void WSOCK_DataArrival(std::int32_t bytesWaiting) = 0;
  virtual void WSOCK_SendComplete() = 0;
  // The connection failed with a reason worth logging: a TLS handshake
  // that did not succeed, a connect that failed ("connection refused"), or
  // the connection lost ("connection closed by the server"). The plain
  // session ignores it and goes by its time-out.
  virtual void WSOCK_Error(const std::string& reason) { (void)reason; }
  // The proxy (#PRX) did not open the way to the mail server: `text` says
  // why (its status line or SOCKS reply), `refusal` how lasting that is.
  virtual void WSOCK_ProxyRefused(ProxyRefusal refusal, const std::string& text) {
    (void)refusal;
    WSOCK_Error(text);
  }
};

// What a TLS handshake is checked against: the server's name (sent as SNI
// unless it is an address, and matched with the certificate) and extra
// trusted CA certificates (PEM text, may be empty) besides the system's.
struct TlsRequest {
  std::string host;
  std::string caPem;
};

// How a failed handshake's reason begins where the outcome depends on it:
// the server's certificate refused ("certificate verify failed: ..."), or
// the peer refusing the TLS versions or the ciphers this client offers,
// which no later attempt changes. Every other reason (the connection cut)
// may pass another time.
inline constexpr char kTlsCertificateRefused[] = "certificate";
inline constexpr char kTlsVersionRefused[] = "handshake: protocol version";
inline constexpr char kTlsNoSharedCipher[] = "handshake: no shared cipher";

// The TLS connection as set up, for display: "TLS 1.3",
// "TLS_AES_256_GCM_SHA384", the server certificate's subject and issuer,
// and its expiry ("2027-01-06 12:00:00 UTC"). Empty before TLS.
struct TlsInfo {
  std::string version;
  std::string cipher;
  std::string subject;
  std::string issuer;
  std::string notAfter;
};

// The socket's states, numbered as the run control reads them.
enum class SocketState : std::int16_t {
  Closed = 0,
  Resolving = 4,
  Connecting = 6,
  Connected = 7,
  PeerClosed = 8,
  Error = 9,
};

// A stream of bytes handed to the socket piece by piece, so a large message
// is never copied whole.
class ByteSource {
 public:
  virtual ~ByteSource() = default;
  // Writes the next at most `cap` bytes into `buf` and returns how many.
  // Returns 0 only once Done() or Failed().
  virtual std::size_t Fill(char* buf, std::size_t cap) = 0;
  // Every byte has been produced.
  virtual bool Done() const = 0;
  // The rest cannot be produced (a read error): the send cannot complete.
  virtual bool Failed() const { return false; }
};

// One TCP client socket. Connect and the sends return at once and report
// through SocketEvents. A failed connect raises WSOCK_Error only. Sends are taken
// only while the socket is connected; otherwise they are dropped and no
// completion follows.
class Socket {
 public:
  virtual ~Socket() = default;
  virtual void SetRemotePort(std::int32_t port) = 0;
  // A host name, an IPv4 address, or an IPv6 address with or without
  // brackets ("::1", "[::1]").
  virtual void SetRemoteHost(const std::string& host) = 0;
  virtual void Connect() = 0;
  virtual SocketState State() const = 0;
  // Queues a command text; one WSOCK_SendComplete follows once its last
  // byte has been handed to the network.
  virtual void SendData(std::string text) = 0;
  // Queues a stream; one WSOCK_SendComplete follows once its last byte has
  // been handed to the network. `source` must stay alive until then or
  // until Close.
  virtual void SendMessageData(ByteSource& source) = 0;
  // Replaces `out` with at most `maxBytes` waiting bytes and consumes them.
  virtual void GetData(std::string& out, std::int32_t maxBytes) = 0;
  // Bytes of this connection handed to the network so far.
  virtual std::uint64_t BytesAccepted() const = 0;
  // The connection's own address as text ("192.0.2.10", "2001:db8::1"),
  // empty while not connected.
  virtual std::string LocalAddress() const { return {}; }
  // Turns the connection into a TLS client connection. Taken only while
  // connected with every send completed; received bytes not yet taken are
  // dropped (they came before TLS). Success is reported by one
  // WSOCK_SendComplete, after which sends are encrypted and arrivals
  // decrypted; failure by one WSOCK_Error with a short readable reason,
  // after which the connection is unusable (State() is Error). Certificates
  // are always verified, against the system's trusted CAs plus
  // request.caPem, with the host name checked.
  virtual void StartTls(const TlsRequest& request) = 0;
  // The TLS connection's parameters once StartTls has succeeded.
  virtual TlsInfo TlsPeer() const { return {}; }
  // Closes the connection; no further event of it is delivered.
  virtual void Close() = 0;
};

// What each platform's socket keeps alike: where it connects and whom it
// tells of its events.
class ClientSocket : public Socket {
 public:
  void SetEvents(SocketEvents* events) { events_ = events; }
  void SetRemotePort(std::int32_t port) override { remotePort_ = port; }
  void SetRemoteHost(const std::string& host) override { remoteHost_ = host; }
  std::int32_t RemotePort() const { return remotePort_; }
  const std::string& RemoteHost() const { return remoteHost_; }

 protected:
  SocketEvents* events_ = nullptr;
  std::int32_t remotePort_ = 0;
  std::string remoteHost_;
};

// The main window and what stands in for it (a terminal status line on
// Linux). Texts are code page 932.
class Window {
 public:
  virtual ~Window() = default;
  virtual void SetCaption(const std::string& caption) = 0;
  virtual void HideDebugButton() = 0;
  virtual void ShowMinimized() = 0;
  virtual void Hide() = 0;
  virtual void AddTrayIcon() = 0;
  virtual void DeleteTrayIcon() = 0;
  // Reports one failure to the user (a line on standard error).
  virtual void ReportFailure(const Failure& failure) = 0;
  // Tells the user something the run goes on after (a line of UTF-8 text on
  // standard error); by default nothing.
  virtual void ReportNotice(const std::string& /*utf8*/) {}
  // Ends the process's event loop; the program exits with `exitCode` once
  // the current handler has returned. Nothing runs after it.
  virtual void EndProcess(int exitCode) = 0;
};

// A local date and time with its offset from UTC.
struct LocalTime {
  int year = 0;
  int month = 1;    // 1-12
  int day = 1;      // 1-31
  int weekday = 0;  // 0 = Sunday
  int hour = 0;
  int minute = 0;
  int second = 0;
  int utcOffsetMinutes = 0;  // east of UTC positive
};

// Seconds since 1970-01-01 00:00:00 UTC of a local date and time (days from
// the civil date by H. Hinnant's algorithm, March-based years).
inline std::int64_t UnixSeconds(const LocalTime& t) {
  const std::int64_t y = t.year - (t.month <= 2 ? 1 : 0);
  const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
  const std::int64_t yoe = y - era * 400;
  const std::int64_t doy = (153 * (t.month + (t.month > 2 ? -3 : 9)) + 2) / 5 + t.day - 1;
  const std::int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  const std::int64_t days = era * 146097 + doe - 719468;
  return days * 86400 + t.hour * 3600 + t.minute * 60 + t.second -
         std::int64_t{t.utcOffsetMinutes} * 60;
}

// The time of day for the log and the message, and the time that never
// goes back for lifetimes and deadlines (a token's, --login's).
class Clock {
 public:
  virtual ~Clock() = default;
  // Local date and time text for the log record, in the platform's formats.
  virtual std::string LogDateTime() = 0;
  virtual LocalTime Now() = 0;
  // Seconds on a clock that never goes back.
  virtual std::int64_t SteadySeconds() = 0;
  // Blocks the thread for `seconds` (between --login's polls).
  virtual void Wait(std::int64_t seconds) = 0;
};

}  // namespace tolvex
