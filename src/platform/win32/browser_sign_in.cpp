#include "platform/win32/browser_sign_in.hpp"

#include <winsock2.h>
// after winsock2.h
#include <windows.h>
// after windows.h
#include <shellapi.h>

#include <chrono>

#include "platform/win32/win_text.hpp"

namespace tolvex::win {
WinBrowserSignIn::~WinBrowserSignIn() {
  for (const auto& c : waiting_.Entries()) closesocket(c.handle);
  if (answering_ != INVALID_SOCKET) closesocket(answering_);
  if (listener_ != INVALID_SOCKET) closesocket(listener_);
}

int WinBrowserSignIn::Listen(std::string& error) {
  listener_ = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (listener_ == INVALID_SOCKET) {
    error = "Winsock error " + std::to_string(WSAGetLastError());
    return 0;
  }
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = 0;
  int size = sizeof address;
  if (bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      listen(listener_, SOMAXCONN) != 0 ||
      getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
    error = "Winsock error " + std::to_string(WSAGetLastError());
    closesocket(listener_);
    listener_ = INVALID_SOCKET;
    return 0;
  }
  return ntohs(address.sin_port);
}

std::optional<Secret> WinBrowserSignIn::NextRequest(std::int64_t seconds) {
  if (answering_ != INVALID_SOCKET) {
    closesocket(answering_);
    answering_ = INVALID_SOCKET;
  }
  if (listener_ == INVALID_SOCKET) return std::nullopt;
  using Clock = std::chrono::steady_clock;
  const auto millis = [] {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now().time_since_epoch())
        .count();
  };
  const std::int64_t deadline = millis() + seconds * 1000;
  auto& entries = waiting_.Entries();
  for (;;) {
    const std::int64_t now = millis();
    for (SOCKET s : waiting_.TakeExpired(now)) closesocket(s);
    const std::int64_t left = deadline - now;
    if (left <= 0) return std::nullopt;
    // The listener is asked only while a new connection may be taken.
    const bool taking = waiting_.MayTake(now);
    std::vector<WSAPOLLFD> fds;
    if (taking) fds.push_back({listener_, POLLRDNORM, 0});
    for (const auto& c : entries) fds.push_back({c.handle, POLLRDNORM, 0});
    const std::size_t first = taking ? 1 : 0;
    const int ready = WSAPoll(fds.data(), static_cast<ULONG>(fds.size()),
                              static_cast<INT>(waiting_.NextDue(now, left)));
    if (ready == SOCKET_ERROR) return std::nullopt;
    if (ready == 0) continue;
    // Read what has come first, then take a new connection.
    for (std::size_t i = fds.size(); i-- > first;) {
      if (fds[i].revents == 0) continue;
      auto& c = entries[i - first];
      char buffer[2048];
      const int got = recv(c.handle, buffer, sizeof buffer, 0);
      if (got <= 0 || c.head.Size() + static_cast<std::size_t>(got) > kMaxRequestHead) {
        WipeBytes(buffer, sizeof buffer);
        closesocket(waiting_.Take(i - first).handle);
        continue;
      }
      c.head.Append(std::string_view(buffer, static_cast<std::size_t>(got)));
      WipeBytes(buffer, sizeof buffer);
      if (RequestHeadComplete(c.head.View())) {
        auto done = waiting_.Take(i - first);
        answering_ = done.handle;
        return done.head;
      }
    }
    if (taking && (fds[0].revents & POLLRDNORM)) {
      const SOCKET s = accept(listener_, nullptr, nullptr);
      if (s != INVALID_SOCKET) {
        if (std::optional<SOCKET> oldest = waiting_.MakeRoom()) closesocket(*oldest);
        waiting_.Add(s, millis());
      }
    }
  }
}

void WinBrowserSignIn::Answer(int status, std::string_view html) {
  if (answering_ == INVALID_SOCKET) return;
  const std::string reply = LoopbackResponse(status, html);
  std::string_view rest = reply;
  while (!rest.empty()) {
    const int sent = send(answering_, rest.data(), static_cast<int>(rest.size()), 0);
    if (sent <= 0) break;
    rest.remove_prefix(static_cast<std::size_t>(sent));
  }
  shutdown(answering_, SD_SEND);
  closesocket(answering_);
  answering_ = INVALID_SOCKET;
}

bool WinBrowserSignIn::OpenBrowser(const std::string& url) {
  const std::wstring wide = WideFromCp932(url);
  const HINSTANCE result =
      ShellExecuteW(nullptr, L"open", wide.c_str(), nullptr, nullptr, SW_SHOWNORMAL);
  return reinterpret_cast<INT_PTR>(result) > 32;
}

}  // namespace tolvex::win
