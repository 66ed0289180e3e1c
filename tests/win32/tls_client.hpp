// Test driver for SchannelTls: a blocking Winsock connection to one of the
// TLS peers of tls_server.py (127.0.0.N port 4465) with the session in
// between; bytes can be handed to the session in small pieces to cut
// records anywhere.
#pragma once

#include <winsock2.h>
#include <ws2tcpip.h>
// after winsock2.h
#include <windows.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/win32/tls.hpp"

namespace tolvex::win::test {

inline constexpr unsigned short kTlsPort = 4465;

// A path from the environment tools/test-win.sh sets (empty when unset).
inline std::wstring EnvPath(const wchar_t* name) {
  const wchar_t* v = _wgetenv(name);
  return v ? std::wstring(v) : std::wstring();
}

// Whether a ClientHello record offers TLS 1.3 (in supported_versions).
inline bool OffersTls13(const std::string& hello) {
  auto byte = [&](std::size_t i) {
    return i < hello.size() ? static_cast<unsigned char>(hello[i]) : 0u;
  };
  auto word = [&](std::size_t i) { return byte(i) << 8 | byte(i + 1); };
  std::size_t p = 5 + 4 + 2 + 32;  // record and message headers, version, random
  p += 1 + byte(p);                // session id
  p += 2 + word(p);                // cipher suites
  p += 1 + byte(p);                // compression methods
  std::size_t end = p + 2 + word(p);
  for (p += 2; p + 4 <= end && p + 4 <= hello.size(); p += 4 + word(p + 2)) {
    if (word(p) != 43) continue;  // supported_versions
    for (std::size_t v = p + 5; v + 1 < p + 5 + byte(p + 4); v += 2)
      if (word(v) == 0x0304) return true;
  }
  return false;
}

class TlsClient {
 public:
  using State = SchannelTls::State;

  TlsClient(const char* address, std::wstring host, std::wstring caFile)
      : tls(std::move(host), std::move(caFile)) {
    WSADATA d;
    WSAStartup(MAKEWORD(2, 2), &d);
    sock_ = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    DWORD limit = 20000;  // a broken exchange fails instead of hanging
    setsockopt(sock_, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&limit), sizeof limit);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(kTlsPort);
    inet_pton(AF_INET, address, &a.sin_addr);
    connected_ = connect(sock_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  }
  ~TlsClient() {
    if (sock_ != INVALID_SOCKET) closesocket(sock_);
    WSACleanup();
  }

  bool Connected() const { return connected_; }
  std::size_t feedBytes = 1 << 20;  // largest piece handed to Receive at once
  std::size_t readBytes = 256 * 1024;
  std::string plain;            // everything decrypted so far
  std::string clientHello;      // what Start gave
  std::size_t gatherBytes = 0;  // read at least this much before feeding
  std::size_t largestRead = 0;  // most bytes handed over in one read
  SchannelTls tls;

  State Handshake() {
    std::string out;
    tls.Start(out);
    clientHello = out;
    Send(out);
    while (tls.GetState() == State::Handshaking && ReadOnce()) {
    }
    return tls.GetState();
  }

  // Sends `data` in 64 KiB pieces, each time reading until its echo is
  // back (so neither side's buffers fill); returns what came back.
  std::string EchoRoundTrip(std::string_view data) {
    std::size_t start = plain.size();
    while (!data.empty()) {
      std::size_t n = std::min<std::size_t>(data.size(), 64 * 1024);
      std::string out;
      if (!tls.Encrypt(data.substr(0, n), out)) break;
      Send(out);
      std::size_t want = plain.size() + n;
      while (plain.size() < want && tls.GetState() == State::Open && ReadOnce()) {
      }
      data.remove_prefix(n);
    }
    return plain.substr(start);
  }

  // Reads until the session leaves Open.
  State ReadWhileOpen() {
    while (tls.GetState() == State::Open && ReadOnce()) {
    }
    return tls.GetState();
  }

  bool Send(const std::string& bytes) {
    std::size_t sent = 0;
    while (sent < bytes.size()) {
      int n = send(sock_, bytes.data() + sent, static_cast<int>(bytes.size() - sent), 0);
      if (n <= 0) return false;
      sent += static_cast<std::size_t>(n);
    }
    return true;
  }

  // Reads (at least gatherBytes when set) and hands the bytes to the
  // session in pieces of feedBytes; the end of the stream goes to
  // PeerClosed. False when nothing more can come.
  bool ReadOnce() {
    std::vector<char> buf(readBytes);
    std::string raw;
    int n = 0;
    do {
      n = recv(sock_, buf.data(), static_cast<int>(buf.size()), 0);
      if (n > 0) raw.append(buf.data(), static_cast<std::size_t>(n));
    } while (n > 0 && raw.size() < gatherBytes);
    std::string_view in(raw);
    largestRead = std::max(largestRead, raw.size());
    while (!in.empty()) {
      std::size_t k = std::min(in.size(), feedBytes);
      std::string out;
      tls.Receive(in.substr(0, k), out, plain);
      Send(out);
      in.remove_prefix(k);
    }
    if (n == 0) tls.PeerClosed();
    return n > 0;
  }

 private:
  SOCKET sock_ = INVALID_SOCKET;
  bool connected_ = false;
};

}  // namespace tolvex::win::test
