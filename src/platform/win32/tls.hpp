// A TLS client session on the system's TLS (SChannel) that works on byte
// buffers only: the caller moves bytes between it and the network, so any
// event loop can drive it without blocking (no socket inside, no call ever
// waits). The server certificate is always verified (cert_check.hpp);
// there is no way to turn that off.
//
// Driving it:
//   SchannelTls tls(L"mail.example.jp", L"");   // or a PEM file of extra CAs
//   tls.Start(out);                    send `out` (the ClientHello)
//   on bytes from the network:  tls.Receive(bytes, out, plain);
//                               send `out`, hand `plain` to the protocol
//   when the state is Open:     tls.Encrypt(text, out); send `out`
//   on end of stream:           tls.PeerClosed();
//   to finish:                  tls.Shutdown(out); send `out`, close
// Each call appends to its output strings. After Failed, `out` may still
// hold an alert for the server: send it, then close the connection.
#pragma once

#ifndef SECURITY_WIN32
#define SECURITY_WIN32
#endif
// SCH_CREDENTIALS (TLS 1.3 on newer Windows) is declared under this name.
#ifndef SCHANNEL_USE_BLACKLISTS
#define SCHANNEL_USE_BLACKLISTS
#endif
#include <windows.h>
// after windows.h
#include <wincrypt.h>
// after windows.h and wincrypt.h
#include <subauth.h>
// after subauth.h
#include <schannel.h>
#include <security.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/win32/cert_check.hpp"

namespace tolvex::win {

struct TlsPeerInfo {
  std::string version;  // "TLS 1.3"
  std::string cipher;   // "TLS_AES_256_GCM_SHA384"
  std::string subject;  // the server certificate's, UTF-8: "CN=mail.example.jp"
  std::string issuer;
  std::string notAfter;  // "2026-01-06 12:00:00 UTC"
};

class SchannelTls {
 public:
  enum class State { Handshaking, Open, Failed, Closed };

  // Bytes a server may send before its handshake is done (certificate
  // chains are far smaller); more fails the session, so a peer cannot make
  // it, or SChannel under it, hold ever more.
  static constexpr std::size_t kMaxHandshakeBytes = 256 * 1024;

  // host: server name for SNI and the certificate's name check; an IP
  // literal (no SNI then) is checked against IP subjectAltNames.
  // caFile: native path of a PEM file of extra trusted CA certificates;
  // empty = the system store only.
  SchannelTls(std::wstring host, std::wstring caFile);
  ~SchannelTls();
  // Extra trusted CA certificates as PEM text, instead of a file (before
  // Start).
  void SetCaPem(std::string pem) { caPem_ = std::move(pem); }
  SchannelTls(const SchannelTls&) = delete;
  SchannelTls& operator=(const SchannelTls&) = delete;

  // Appends the ClientHello to `out`. Handshaking, or Failed (CA file, no
  // TLS provider).
  State Start(std::string& out);
  // Bytes from the network, any amount, cut anywhere: handshake replies go
  // to `out`, decrypted data to `plain`; an incomplete record is kept for
  // the next call. Closed once the server's close_notify has come.
  State Receive(std::string_view in, std::string& out, std::string& plain);
  // Open only (false otherwise): encrypts `plain` into records in `out`.
  bool Encrypt(std::string_view plain, std::string& out);
  // The TCP connection ended: Failed during the handshake ("connection
  // closed during handshake"), Closed when it was open.
  State PeerClosed();
  // Ends the session (Closed). True when close_notify bytes were appended
  // to `out` (false before Open, after Failed, or a second time).
  bool Shutdown(std::string& out);

  State GetState() const { return state_; }
  // Short and readable, never empty after Failed.
  const std::string& FailureReason() const { return reason_; }
  // After Open.
  TlsPeerInfo PeerInfo() const { return peer_; }
  // True when Closed came from the server's close_notify rather than the
  // end of the TCP stream.
  bool CloseNotifyReceived() const { return closeNotify_; }

 private:
  bool AcquireCredentials();
  // One InitializeSecurityContext call on the whole records waiting.
  SECURITY_STATUS CallIsc(bool withInput, std::size_t inputBytes, std::string& out,
                          std::size_t& consumed);
  void DriveHandshake(std::string& out);
  void FinishHandshake();
  void DrivePostHandshake(std::string& out);
  void DecryptRecords(std::string& out, std::string& plain);
  // Frames the new waiting records; reads plaintext ones during the first
  // handshake. False (and Failed) on bytes that are not TLS.
  bool ScanRecords();
  std::string HandshakeReason(SECURITY_STATUS status) const;
  State Fail(std::string reason);
  std::string_view Pending() const { return std::string_view(in_).substr(head_); }
  void Consume(std::size_t n);

  std::wstring host_;
  std::wstring caFile_;
  std::string caPem_;
  CaStore ca_;
  CredHandle cred_{};
  CtxtHandle ctx_{};
  bool haveCred_ = false;
  bool haveCtx_ = false;
  bool started_ = false;
  bool everOpen_ = false;
  bool renegotiating_ = false;
  bool renegotiationSentBytes_ = false;
  int renegotiationCalls_ = 0;
  bool closeNotify_ = false;
  bool shutdownDone_ = false;
  State state_ = State::Handshaking;
  std::string reason_;
  TlsPeerInfo peer_;
  SecPkgContext_StreamSizes sizes_{};

  std::string in_;  // bytes from the network not yet used, from head_
  std::size_t head_ = 0;
  std::size_t framed_ = 0;  // pending bytes that are whole records, scanned
  std::size_t handshakeBytes_ = 0;
  // What the server's plaintext handshake told (for reasons and PeerInfo).
  std::uint16_t helloVersion_ = 0;
  std::uint16_t helloSuite_ = 0;
  bool helloFinal_ = false;
  int peerAlert_ = -1;
};

}  // namespace tolvex::win
