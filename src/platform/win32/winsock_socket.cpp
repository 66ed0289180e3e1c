#include "platform/win32/winsock_socket.hpp"

#include <algorithm>
#include <climits>
#include <cstring>

namespace tolvex::win {

namespace {

constexpr UINT kMsgResolved = WM_APP + 1;  // wParam generation, lParam ResolveJob*
constexpr UINT kMsgSendDone = WM_APP + 2;  // wParam generation
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
      chunkBytes_(chunkBytes == 0 ? 1 : chunkBytes) {
  chunk_.reserve(chunkBytes_);
}

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

void WinsockSocket::Close() {
  ReleaseSocket();
  ++generation_;  // every message of the old connection is now stale
  state_ = kStateClosed;
  addresses_.clear();
  nextAddress_ = 0;
  inbox_.clear();
  queue_.clear();
  chunk_.clear();
  chunkPos_ = 0;
}

void WinsockSocket::Connect() {
  // A new connection replaces whatever the socket was doing.
  Close();
  if (remoteHost_.empty() || remotePort_ <= 0 || remotePort_ > 65535) {
    state_ = kStateError;  // nothing to connect to: no event follows
    return;
  }
  auto* job =
      new ResolveJob{remoteHost_, std::to_string(remotePort_), window_.Handle(), generation_, {}};
  state_ = kStateResolving;
  HANDLE thread = CreateThread(nullptr, 0, &ResolveThread, job, 0, nullptr);
  if (!thread) {
    delete job;
    state_ = kStateError;
    return;
  }
  CloseHandle(thread);
}

void WinsockSocket::OnResolved(ResolveJob* job) {
  addresses_ = std::move(job->addresses);
  nextAddress_ = 0;
  delete job;
  state_ = kStateConnecting;
  TryNextAddress();
}

void WinsockSocket::TryNextAddress() {
  ReleaseSocket();
  while (nextAddress_ < addresses_.size()) {
    const auto& bytes = addresses_[nextAddress_++];
    const auto* addr = reinterpret_cast<const sockaddr*>(bytes.data());
    SOCKET s = socket(addr->sa_family, SOCK_STREAM, IPPROTO_TCP);
    if (s == INVALID_SOCKET) continue;
    if (localPort_ > 0 && localPort_ <= 65535) {
      sockaddr_storage local{};
      int localLen = 0;
      if (addr->sa_family == AF_INET) {
        auto* a = reinterpret_cast<sockaddr_in*>(&local);
        a->sin_family = AF_INET;
        a->sin_port = htons(static_cast<u_short>(localPort_));
        localLen = sizeof(sockaddr_in);
      } else {
        auto* a = reinterpret_cast<sockaddr_in6*>(&local);
        a->sin6_family = AF_INET6;
        a->sin6_port = htons(static_cast<u_short>(localPort_));
        localLen = sizeof(sockaddr_in6);
      }
      if (bind(s, reinterpret_cast<sockaddr*>(&local), localLen) == SOCKET_ERROR) {
        closesocket(s);
        continue;
      }
    }
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
  // No address left: a failed connect raises no event.
  state_ = kStateError;
}

void WinsockSocket::OnConnectResult(int error) {
  if (error != 0) {
    TryNextAddress();
    return;
  }
  state_ = kStateConnected;
  addresses_.clear();
  if (Deliverable()) events_->WSOCK_Connect();
  if (state_ == kStateConnected && sock_ != INVALID_SOCKET) Flush();
}

void WinsockSocket::OnReadable() {
  char buf[16 * 1024];
  int n = recv(sock_, buf, sizeof buf, 0);
  if (n <= 0) return;  // FD_CLOSE or a later FD_READ tells the rest
  inbox_.append(buf, static_cast<std::size_t>(n));
  if (Deliverable())
    events_->WSOCK_DataArrival(
        static_cast<std::int32_t>(std::min<std::size_t>(inbox_.size(), INT32_MAX)));
}

void WinsockSocket::OnPeerClosed() {
  // Take what is still waiting, then the connection is over.
  char buf[16 * 1024];
  std::size_t before = inbox_.size();
  for (;;) {
    int n = recv(sock_, buf, sizeof buf, 0);
    if (n <= 0) break;
    inbox_.append(buf, static_cast<std::size_t>(n));
  }
  state_ = kStateClosing;
  unsigned generation = generation_;
  if (inbox_.size() > before && Deliverable()) {
    events_->WSOCK_DataArrival(
        static_cast<std::int32_t>(std::min<std::size_t>(inbox_.size(), INT32_MAX)));
  }
  if (generation == generation_) queue_.clear();  // nothing more can go out
}

void WinsockSocket::GetData(std::string& out, std::int32_t maxBytes) {
  std::size_t n = inbox_.size();
  if (maxBytes > 0) n = std::min(n, static_cast<std::size_t>(maxBytes));
  out.assign(inbox_, 0, n);
  inbox_.erase(0, n);
}

void WinsockSocket::SendData(std::string text) {
  if (state_ != kStateConnected) return;  // no connection: no completion
  Outgoing item;
  item.text = std::move(text);
  queue_.push_back(std::move(item));
  if (queue_.size() == 1) Flush();
}

void WinsockSocket::SendMessageData(std::string_view mail) {
  if (state_ != kStateConnected) return;
  Outgoing item;
  item.stuffer.emplace(mail);
  queue_.push_back(std::move(item));
  if (queue_.size() == 1) Flush();
}

void WinsockSocket::Fail() {
  ReleaseSocket();
  state_ = kStateError;
  queue_.clear();
  chunk_.clear();
  chunkPos_ = 0;
}

// Hands queued bytes to Winsock until it would block (FD_WRITE resumes)
// or the queue is empty. Each finished item posts its own completion, so
// the event arrives from the message loop and never inside SendData.
void WinsockSocket::Flush() {
  while (!queue_.empty() && sock_ != INVALID_SOCKET) {
    Outgoing& item = queue_.front();
    const char* data;
    std::size_t left;
    if (item.stuffer) {
      if (chunkPos_ == chunk_.size()) {
        chunk_.resize(chunkBytes_);
        std::size_t n = item.stuffer->Fill(chunk_.data(), chunk_.size());
        chunk_.resize(n);
        chunkPos_ = 0;
        if (n == 0 && item.stuffer->Done()) {
          queue_.pop_front();
          PostMessageW(window_.Handle(), kMsgSendDone, generation_, 0);
          continue;
        }
        if (n == 0) continue;
      }
      data = chunk_.data() + chunkPos_;
      left = chunk_.size() - chunkPos_;
    } else {
      data = item.text.data() + item.pos;
      left = item.text.size() - item.pos;
    }
    if (left > 0) {
      int r = send(sock_, data, static_cast<int>(std::min<std::size_t>(left, INT_MAX / 2)), 0);
      if (r == SOCKET_ERROR) {
        if (WSAGetLastError() == WSAEWOULDBLOCK) return;
        Fail();
        return;
      }
      if (item.stuffer) {
        chunkPos_ += static_cast<std::size_t>(r);
        continue;
      }
      item.pos += static_cast<std::size_t>(r);
      left -= static_cast<std::size_t>(r);
    }
    if (left == 0) {
      queue_.pop_front();
      PostMessageW(window_.Handle(), kMsgSendDone, generation_, 0);
    }
  }
}

bool WinsockSocket::OnMessage(UINT msg, WPARAM wParam, LPARAM lParam) {
  if (msg == kMsgResolved) {
    auto* job = reinterpret_cast<ResolveJob*>(lParam);
    if (static_cast<unsigned>(wParam) != generation_ || state_ != kStateResolving) {
      delete job;
    } else {
      OnResolved(job);
    }
    return true;
  }
  if (msg == kMsgSendDone) {
    if (static_cast<unsigned>(wParam) == generation_ && Deliverable())
      events_->WSOCK_SendComplete();
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
        OnPeerClosed();
        break;
      default:
        break;
    }
    return true;
  }
  return false;
}

}  // namespace tolvex::win
