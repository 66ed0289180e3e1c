// The socket contract against the Winsock socket under Wine, with a peer
// on a worker thread (loopback, free ports).
#include <winsock2.h>
#include <ws2tcpip.h>
// after winsock2.h
#include <windows.h>

#include <cstring>

#include "contract/socket_contract.hpp"
#include "platform/win32/socket.hpp"
#include "pump.hpp"

namespace tolvex::win::test {
namespace {

class WinsockHarness {
 public:
  WinsockHarness() {
    WSADATA d;
    WSAStartup(MAKEWORD(2, 2), &d);
    InitializeCriticalSection(&mu_);
  }
  ~WinsockHarness() {
    sock_.Close();
    if (listener_ != INVALID_SOCKET) closesocket(listener_);
    if (thread_) {
      WaitForSingleObject(thread_, 10000);
      CloseHandle(thread_);
    }
    DeleteCriticalSection(&mu_);
    WSACleanup();
  }
  Socket& Sock() { return sock_; }
  void Attach(SocketEvents* events) { sock_.SetEvents(events); }

  void Serve(const std::string& address, const std::string& greeting) {
    greeting_ = greeting;
    addrinfo hints{};
    hints.ai_flags = AI_NUMERICHOST | AI_PASSIVE;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* ai = nullptr;
    if (getaddrinfo(address.c_str(), "0", &hints, &ai) != 0) return;
    listener_ = socket(ai->ai_family, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_storage bound{};
    int len = sizeof bound;
    if (bind(listener_, ai->ai_addr, static_cast<int>(ai->ai_addrlen)) == 0 &&
        listen(listener_, 1) == 0 &&
        getsockname(listener_, reinterpret_cast<sockaddr*>(&bound), &len) == 0) {
      port_ = ntohs(ai->ai_family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(&bound)->sin6_port
                                              : reinterpret_cast<sockaddr_in*>(&bound)->sin_port);
    }
    freeaddrinfo(ai);
    thread_ = CreateThread(nullptr, 0, &Run, this, 0, nullptr);
  }
  // The TLS peers of tls_server.py (started by tools/test-win.sh), port
  // 4465: an echo with a certificate for mail.tolvex.test, one for another
  // name, one that hangs up after the ClientHello.
  std::string ServeTls(contract::TlsPeer kind) {
    port_ = 4465;
    switch (kind) {
      case contract::TlsPeer::Good:
        return "127.0.0.141";
      case contract::TlsPeer::WrongName:
        return "127.0.0.144";
      case contract::TlsPeer::Hangup:
        return "127.0.0.149";
    }
    return "";
  }
  TlsRequest Request(bool trust) {
    std::string pem;
    if (trust) {
      HANDLE f = CreateFileW(_wgetenv(L"TOLVEX_TLS_CA") ? _wgetenv(L"TOLVEX_TLS_CA") : L"",
                             GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
      char buf[4096];
      DWORD n = 0;
      while (f != INVALID_HANDLE_VALUE && ReadFile(f, buf, sizeof buf, &n, nullptr) && n > 0)
        pem.append(buf, n);
      if (f != INVALID_HANDLE_VALUE) CloseHandle(f);
    }
    return TlsRequest{"mail.tolvex.test", pem};
  }
  std::int32_t Port() const { return port_; }
  std::string Received() {
    EnterCriticalSection(&mu_);
    std::string copy = received_;
    LeaveCriticalSection(&mu_);
    return copy;
  }
  bool RunUntil(const std::function<bool()>& done, int ms) {
    return PumpUntil(done, static_cast<DWORD>(ms));
  }
  void RunFor(int ms) { PumpFor(static_cast<DWORD>(ms)); }

 private:
  static DWORD WINAPI Run(LPVOID self) {
    static_cast<WinsockHarness*>(self)->Peer();
    return 0;
  }
  // Greets, then answers each PING line until the client goes away.
  void Peer() {
    SOCKET c = accept(listener_, nullptr, nullptr);
    if (c == INVALID_SOCKET) return;
    send(c, greeting_.data(), static_cast<int>(greeting_.size()), 0);
    std::string line;
    char buf[4096];
    for (;;) {
      const int n = recv(c, buf, sizeof buf, 0);
      if (n <= 0) break;
      EnterCriticalSection(&mu_);
      received_.append(buf, static_cast<std::size_t>(n));
      LeaveCriticalSection(&mu_);
      line.append(buf, static_cast<std::size_t>(n));
      for (std::size_t end; (end = line.find("\r\n")) != std::string::npos;
           line.erase(0, end + 2)) {
        if (line.compare(0, end + 2, "PING\r\n") == 0) send(c, "PONG\r\n", 6, 0);
      }
    }
    closesocket(c);
  }

  EventGate gate_;
  WinsockSocket sock_{&gate_, 4096};
  SOCKET listener_ = INVALID_SOCKET;
  HANDLE thread_ = nullptr;
  int port_ = 0;
  std::string greeting_;
  CRITICAL_SECTION mu_;
  std::string received_;
};

}  // namespace
}  // namespace tolvex::win::test

namespace tolvex::contract {
INSTANTIATE_TYPED_TEST_SUITE_P(Winsock, SocketContract, win::test::WinsockHarness);
}  // namespace tolvex::contract
