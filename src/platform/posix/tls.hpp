// TLS for the Asio socket: an OpenSSL client stream (asio::ssl::stream) over
// the connection's own TCP socket, on the same io_context. TLS 1.2 at
// least, SNI for host names, the certificate always verified against the
// system's trusted CAs plus the request's, and its name (or address)
// checked. Reasons for a failed handshake are short and readable.
#pragma once

#include <asio/ip/tcp.hpp>
#include <asio/ssl/context.hpp>
#include <asio/ssl/stream.hpp>

#include <memory>
#include <string>

#include "base/platform.hpp"

namespace tolvex::posix {

// The TLS library the process runs on: "OpenSSL 3.0.17".
std::string TlsLibraryVersion();

class AsioTls {
 public:
  using Stream = asio::ssl::stream<asio::ip::tcp::socket&>;

  // Null, with `reason` set, when the request cannot be used (no usable
  // CA certificate in it, no TLS library context).
  static std::unique_ptr<AsioTls> Create(asio::ip::tcp::socket& socket, const TlsRequest& request,
                                         std::string& reason);

  Stream& GetStream() { return stream_; }
  // Why the handshake ended with `ec`: "certificate verify failed: host
  // name mismatch", "handshake: protocol version", ...
  std::string HandshakeReason(const asio::error_code& ec) const;
  TlsInfo Info() const;
  // Sends the close_notify alert, as far as the socket takes it at once;
  // the server's own alert is not waited for.
  void SendCloseNotify();

 private:
  AsioTls(asio::ip::tcp::socket& socket, asio::ssl::context context);

  asio::ssl::context context_;
  Stream stream_;
};

// True for an IPv4 or IPv6 address literal (without brackets).
bool IsAddressLiteral(const std::string& host);

}  // namespace tolvex::posix
