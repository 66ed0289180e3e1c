// The SMTP client socket on Winsock, driven by the message loop.
#include "platform/win32/socket.hpp"

#include <algorithm>
#include <climits>
#include <cstring>

#include "platform/win32/win_text.hpp"

namespace tolvex::win {

namespace {

constexpr UINT kMsgResolved = WM_APP + 1;    // wParam generation, lParam ResolveJob*
constexpr UINT kMsgSendDone = WM_APP + 2;    // wParam generation, lParam completions
constexpr UINT kMsgResumeRead = WM_APP + 3;  // wParam generation
constexpr UINT kMsgTlsFailed = WM_APP + 4;   // wParam generation
// Plaintext encrypted at a time: the records of one piece are handed to
// Winsock before the next is taken.
constexpr std::size_t kTlsPiece = 64 * 1024;
// WSAAsyncSelect notifications use one message number per connection
// (cycling through this range), so a notification that was already queued
// for a closed socket is never taken for one of its successor, even when
// Winsock hands out the same socket handle again.
constexpr UINT kMsgSelectBase = WM_APP + 0x100;
constexpr UINT kMsgSelectCount = 0x1000;

}  // namespace

// Name resolution off the window thread: getaddrinfo may wait for DNS.
struct ResolveJob {
  std::string host;
  std::string port;
  HWND hwnd;
  unsigned generation;
  std::vector<std::vector<unsigned char>> addresses;
};

namespace {

DWORD WINAPI ResolveThread(LPVOID param) {
  auto* job = static_cast<ResolveJob*>(param);
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_protocol = IPPROTO_TCP;
  addrinfo* list = nullptr;
  if (getaddrinfo(job->host.c_str(), job->port.c_str(), &hints, &list) == 0) {
    for (addrinfo* ai = list; ai; ai = ai->ai_next) {
      if (ai->ai_family != AF_INET && ai->ai_family != AF_INET6) continue;
      auto* bytes = reinterpret_cast<const unsigned char*>(ai->ai_addr);
      job->addresses.emplace_back(bytes, bytes + ai->ai_addrlen);
    }
    freeaddrinfo(list);
  }
  if (!PostMessageW(job->hwnd, kMsgResolved, job->generation, reinterpret_cast<LPARAM>(job))) {
    delete job;  // the socket is gone
  }
  return 0;
}

}  // namespace

WinsockSocket::WinsockSocket(const EventGate* gate, std::size_t chunkBytes)
    : gate_(gate),
      window_([this](UINT msg, WPARAM wParam, LPARAM lParam) {
        return OnMessage(msg, wParam, lParam);
      }),
      sends_(chunkBytes) {}

WinsockSocket::~WinsockSocket() {
  ReleaseSocket();
  // Drop resolver results still queued for this window.
  MSG m;
  while (window_.Handle() &&
         PeekMessageW(&m, window_.Handle(), kMsgResolved, kMsgResolved, PM_REMOVE)) {
    delete reinterpret_cast<ResolveJob*>(m.lParam);
  }
}

UINT WinsockSocket::SelectMessage() const {
  return kMsgSelectBase + (generation_ % kMsgSelectCount);
}

void WinsockSocket::ReleaseSocket() {
  if (sock_ != INVALID_SOCKET) {
    closesocket(sock_);  // also cancels the WSAAsyncSelect registration
    sock_ = INVALID_SOCKET;
  }
}

std::string WinsockSocket::LocalAddress() const {
  if (sock_ == INVALID_SOCKET || state_ != SocketState::Connected) return {};
  sockaddr_storage local{};
  int size = sizeof(local);
  if (getsockname(sock_, reinterpret_cast<sockaddr*>(&local), &size) != 0) return {};
  char text[INET6_ADDRSTRLEN] = {};
  const void* address =
      local.ss_family == AF_INET6
          ? static_cast<const void*>(&reinterpret_cast<sockaddr_in6*>(&local)->sin6_addr)
          : static_cast<const void*>(&reinterpret_cast<sockaddr_in*>(&local)->sin_addr);
  if (inet_ntop(local.ss_family, address, text, sizeof(text)) == nullptr) return {};
  return text;
}

void WinsockSocket::Close() {
  // A TLS session ends with close_notify, sent as far as Winsock takes it
  // at once; not in the middle of a record.
  if (tls_ && tlsOpen_ && sock_ != INVALID_SOCKET && state_ == SocketState::Connected &&
      wireSent_ == wire_.size()) {
    std::string notify;
    if (tls_->Shutdown(notify) && !notify.empty()) {
      send(sock_, notify.data(), static_cast<int>(notify.size()), 0);
    }
  }
  ReleaseSocket();
  ++generation_;  // every message of the old connection is now stale
  state_ = SocketState::Closed;
  addresses_.clear();
  nextAddress_ = 0;
  received_.Clear();
  sends_.Clear();
  readPaused_ = false;
  tls_.reset();
  tlsOpen_ = false;
  wire_.clear();
  wireSent_ = 0;
}

void WinsockSocket::Connect() {
  // A new connection replaces whatever the socket was doing.
  Close();
  if (remoteHost_.empty() || remotePort_ <= 0 || remotePort_ > 65535) {
    state_ = SocketState::Error;  // nothing to connect to: no event follows
    return;
  }
  auto* job = new ResolveJob{
      HostForResolver(remoteHost_), std::to_string(remotePort_), window_.Handle(), generation_, {}};
  state_ = SocketState::Resolving;
  HANDLE thread = CreateThread(nullptr, 0, &ResolveThread, job, 0, nullptr);
  if (!thread) {
    delete job;
    state_ = SocketState::Error;
    return;
  }
  CloseHandle(thread);
}

void WinsockSocket::OnResolved(ResolveJob* job) {
  addresses_ = std::move(job->addresses);
  lastConnectError_ = 0;
  nextAddress_ = 0;
  delete job;
  state_ = SocketState::Connecting;
  TryNextAddress();
}

void WinsockSocket::TryNextAddress() {
  ReleaseSocket();
  while (nextAddress_ < addresses_.size()) {
    const auto& bytes = addresses_[nextAddress_++];
    const auto* addr = reinterpret_cast<const sockaddr*>(bytes.data());
    SOCKET s = socket(addr->sa_family, SOCK_STREAM, IPPROTO_TCP);
    if (s == INVALID_SOCKET) continue;
    // WSAAsyncSelect also makes the socket non-blocking.
    if (WSAAsyncSelect(s, window_.Handle(), SelectMessage(),
                       FD_CONNECT | FD_READ | FD_WRITE | FD_CLOSE) == SOCKET_ERROR) {
      closesocket(s);
      continue;
    }
    if (connect(s, addr, static_cast<int>(bytes.size())) == SOCKET_ERROR &&
        WSAGetLastError() != WSAEWOULDBLOCK) {
      closesocket(s);
      continue;
    }
    sock_ = s;
    return;  // FD_CONNECT reports the outcome
  }
  // No address left: one error event with the reason (the plain session
  // ignores it and waits for its time-out).
  state_ = SocketState::Error;
  std::string reason;
  switch (lastConnectError_) {
    case 0:
      reason = "cannot resolve " + remoteHost_;
      break;
    case WSAECONNREFUSED:
      reason = "connection refused";
      break;
    case WSAETIMEDOUT:
      reason = "connection timed out";
      break;
    case WSAEHOSTUNREACH:
    case WSAENETUNREACH:
      reason = "host unreachable";
      break;
    default:
      reason = "connection failed (error " + std::to_string(lastConnectError_) + ")";
      break;
  }
  PostTlsFailure(std::move(reason));
}

void WinsockSocket::OnConnectResult(int error) {
  if (error != 0) {
    lastConnectError_ = error;
    TryNextAddress();
    return;
  }
  state_ = SocketState::Connected;
  addresses_.clear();
  if (Deliverable()) events_->WSOCK_Connect();
}

bool WinsockSocket::ReadAvailable() {
  char buf[16 * 1024];
  while (sock_ != INVALID_SOCKET) {
    const std::size_t room = std::min(sizeof buf, received_.Room());
    if (room == 0) {
      readPaused_ = true;  // GetData makes room and reads on
      return true;
    }
    const int n = recv(sock_, buf, static_cast<int>(room), 0);
    if (n == 0) return false;
    if (n < 0) return true;  // would block: FD_READ or FD_CLOSE tells the rest
    TakeIn(std::string_view(buf, static_cast<std::size_t>(n)));
  }
  return true;
}

void WinsockSocket::TakeIn(std::string_view bytes) {
  if (!tls_) {
    received_.Append(bytes);
    return;
  }
  std::string out;
  std::string plain;
  const SchannelTls::State state = tls_->Receive(bytes, out, plain);
  wire_ += out;
  received_.Append(plain);
  if (state == SchannelTls::State::Failed) {
    TlsFailed();
    return;
  }
  if (state == SchannelTls::State::Closed) state_ = SocketState::PeerClosed;
  if (state == SchannelTls::State::Open && !tlsOpen_) {
    tlsOpen_ = true;
    // The handshake ends like a send: one completion, from the loop.
    PostMessageW(window_.Handle(), kMsgSendDone, generation_, 1);
  }
  Flush();
}

// The handshake (or a record) failed: the alert goes out if it can, the
// connection is over, and the reason is reported from the loop.
void WinsockSocket::TlsFailed() {
  if (sock_ != INVALID_SOCKET && wireSent_ < wire_.size()) {
    send(sock_, wire_.data() + wireSent_, static_cast<int>(wire_.size() - wireSent_), 0);
  }
  std::string reason = tls_ ? tls_->FailureReason() : std::string();
  Fail();
  if (tlsOpen_) return;  // after the handshake: no event, like a lost connection
  PostTlsFailure(reason.empty() ? std::string("TLS handshake failed") : std::move(reason));
}

void WinsockSocket::PostTlsFailure(std::string reason) {
  tlsFailure_ = std::move(reason);
  PostMessageW(window_.Handle(), kMsgTlsFailed, generation_, 0);
}

void WinsockSocket::StartTls(const TlsRequest& request) {
  if (state_ != SocketState::Connected || tls_ || SendPending()) {
    PostTlsFailure("TLS: the connection is not ready for it");
    return;
  }
  // Bytes that came before TLS are not to be trusted.
  received_.Clear();
  readPaused_ = false;
  tls_ = std::make_unique<SchannelTls>(WideFromCp932(HostForResolver(request.host)), L"");
  tls_->SetCaPem(request.caPem);
  std::string hello;
  if (tls_->Start(hello) == SchannelTls::State::Failed) {
    TlsFailed();
    return;
  }
  wire_ += hello;
  Flush();
}

TlsInfo WinsockSocket::TlsPeer() const {
  if (!tls_ || !tlsOpen_) return {};
  const TlsPeerInfo p = tls_->PeerInfo();
  return TlsInfo{p.version, p.cipher, p.subject, p.issuer, p.notAfter};
}

void WinsockSocket::RaiseArrival() {
  if (received_.Waiting() > 0 && Deliverable()) {
    events_->WSOCK_DataArrival(received_.WaitingCount());
  }
}

void WinsockSocket::OnReadable() {
  const std::size_t before = received_.Waiting();
  ReadAvailable();
  if (received_.Waiting() > before) RaiseArrival();
}

void WinsockSocket::OnPeerClosed(int error) {
  // Take what is still waiting, then the connection is over.
  const std::size_t before = received_.Waiting();
  ReadAvailable();
  if (tls_ && !tlsOpen_ && state_ == SocketState::Connected) {
    tls_->PeerClosed();
    TlsFailed();  // "connection closed during handshake"
    return;
  }
  if (state_ == SocketState::Error) return;
  state_ = SocketState::PeerClosed;
  const unsigned generation = generation_;
  if (received_.Waiting() > before) RaiseArrival();
  if (generation != generation_) return;  // closed by the arrival's handler
  sends_.Clear();                         // nothing more can go out
  PostTlsFailure(error == WSAECONNRESET ? "connection reset by the server"
                                        : "connection closed by the server");
}

void WinsockSocket::GetData(std::string& out, std::int32_t maxBytes) {
  received_.Take(out, maxBytes);
  if (readPaused_ && !received_.Full()) {
    readPaused_ = false;
    PostMessageW(window_.Handle(), kMsgResumeRead, generation_, 0);
  }
}

void WinsockSocket::SendData(std::string text) {
  if (state_ != SocketState::Connected) return;  // no connection: no completion
  sends_.PushText(std::move(text));
  Flush();
}

void WinsockSocket::SendMessageData(ByteSource& source) {
  if (state_ != SocketState::Connected) return;
  sends_.PushSource(source);
  Flush();
}

void WinsockSocket::Fail() {
  ReleaseSocket();
  state_ = SocketState::Error;
  sends_.Clear();
  wire_.clear();
  wireSent_ = 0;
}

// Completions are posted, so the event arrives from the message loop and
// never inside SendData.
void WinsockSocket::RaiseCompletions() {
  const int done = sends_.TakeCompleted();
  if (done > 0) PostMessageW(window_.Handle(), kMsgSendDone, generation_, done);
}

// Hands queued bytes to Winsock until it would block (FD_WRITE resumes)
// or the queue is empty. Under TLS the records waiting go first; the next
// piece of plaintext is encrypted only once they are all taken.
void WinsockSocket::Flush() {
  while (sock_ != INVALID_SOCKET) {
    if (wireSent_ < wire_.size()) {
      const int r =
          send(sock_, wire_.data() + wireSent_,
               static_cast<int>(std::min<std::size_t>(wire_.size() - wireSent_, INT_MAX / 2)), 0);
      if (r == SOCKET_ERROR) {
        if (WSAGetLastError() != WSAEWOULDBLOCK) Fail();
        return;
      }
      wireSent_ += static_cast<std::size_t>(r);
      if (wireSent_ == wire_.size()) {
        wire_.clear();
        wireSent_ = 0;
      }
      continue;
    }
    if (tls_ && !tlsOpen_) return;  // nothing but the handshake until it is done
    const std::string_view pending = sends_.Pending();
    if (pending.empty()) {
      RaiseCompletions();
      if (sends_.Failed()) Fail();
      return;
    }
    if (tls_) {
      const std::size_t n = std::min(pending.size(), kTlsPiece);
      if (!tls_->Encrypt(pending.substr(0, n), wire_)) {
        Fail();
        return;
      }
      sends_.Consume(n);
      continue;
    }
    const int r = send(sock_, pending.data(),
                       static_cast<int>(std::min<std::size_t>(pending.size(), INT_MAX / 2)), 0);
    if (r == SOCKET_ERROR) {
      RaiseCompletions();
      if (WSAGetLastError() != WSAEWOULDBLOCK) Fail();
      return;
    }
    sends_.Consume(static_cast<std::size_t>(r));
  }
}

bool WinsockSocket::OnMessage(UINT msg, WPARAM wParam, LPARAM lParam) {
  if (msg == kMsgResolved) {
    auto* job = reinterpret_cast<ResolveJob*>(lParam);
    if (static_cast<unsigned>(wParam) != generation_ || state_ != SocketState::Resolving) {
      delete job;
    } else {
      OnResolved(job);
    }
    return true;
  }
  if (msg == kMsgSendDone) {
    for (LPARAM n = lParam; n > 0 && static_cast<unsigned>(wParam) == generation_; --n) {
      if (Deliverable()) events_->WSOCK_SendComplete();
    }
    return true;
  }
  if (msg == kMsgTlsFailed) {
    if (static_cast<unsigned>(wParam) == generation_ && Deliverable()) {
      events_->WSOCK_Error(tlsFailure_);
    }
    return true;
  }
  if (msg == kMsgResumeRead) {
    if (static_cast<unsigned>(wParam) == generation_ && sock_ != INVALID_SOCKET) OnReadable();
    return true;
  }
  if (msg >= kMsgSelectBase && msg < kMsgSelectBase + kMsgSelectCount) {
    if (msg != SelectMessage() || static_cast<SOCKET>(wParam) != sock_ || sock_ == INVALID_SOCKET) {
      return true;  // a closed connection's notification
    }
    int error = WSAGETSELECTERROR(lParam);
    switch (WSAGETSELECTEVENT(lParam)) {
      case FD_CONNECT:
        OnConnectResult(error);
        break;
      case FD_READ:
        OnReadable();
        break;
      case FD_WRITE:
        Flush();
        break;
      case FD_CLOSE:
        OnPeerClosed(error);
        break;
      default:
        break;
    }
    return true;
  }
  return false;
}

}  // namespace tolvex::win
