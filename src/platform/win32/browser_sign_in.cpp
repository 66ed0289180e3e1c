#include "platform/win32/browser_sign_in.hpp"

#include <winsock2.h>
// after winsock2.h
#include <windows.h>
// after windows.h
#include <shellapi.h>

#include "platform/win32/win_text.hpp"

namespace tolvex::win {
WinLoopbackSockets::~WinLoopbackSockets() {
  if (listener != INVALID_SOCKET) closesocket(listener);
}

std::optional<LoopbackSockets::Handle> WinLoopbackSockets::Accept() {
  const SOCKET s = accept(listener, nullptr, nullptr);
  if (s == INVALID_SOCKET) return std::nullopt;
  return s;
}

bool WinLoopbackSockets::Wait(bool withListener, const std::vector<Handle>& connections,
                              std::int64_t ms, Readiness& ready) {
  std::vector<WSAPOLLFD> fds;
  if (withListener) fds.push_back({listener, POLLRDNORM, 0});
  for (SOCKET c : connections) fds.push_back({c, POLLRDNORM, 0});
  if (WSAPoll(fds.data(), static_cast<ULONG>(fds.size()), static_cast<INT>(ms)) == SOCKET_ERROR) {
    return false;
  }
  const std::size_t first = withListener ? 1 : 0;
  ready.listener = withListener && (fds[0].revents & POLLRDNORM);
  for (std::size_t i = first; i < fds.size(); ++i)
    ready.connections[i - first] = fds[i].revents != 0;
  return true;
}

std::int64_t WinLoopbackSockets::Read(Handle connection, char* buffer, std::size_t size) {
  return recv(connection, buffer, static_cast<int>(size), 0);
}

void WinLoopbackSockets::Close(Handle connection) { closesocket(connection); }

WinBrowserSignIn::~WinBrowserSignIn() {
  if (answering_ != INVALID_SOCKET) closesocket(answering_);
}

int WinBrowserSignIn::Listen(std::string& error) {
  sockets_.listener = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (sockets_.listener == INVALID_SOCKET) {
    error = "Winsock error " + std::to_string(WSAGetLastError());
    return 0;
  }
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = 0;
  int size = sizeof address;
  if (bind(sockets_.listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      listen(sockets_.listener, SOMAXCONN) != 0 ||
      getsockname(sockets_.listener, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
    error = "Winsock error " + std::to_string(WSAGetLastError());
    closesocket(sockets_.listener);
    sockets_.listener = INVALID_SOCKET;
    return 0;
  }
  return ntohs(address.sin_port);
}

std::optional<Secret> WinBrowserSignIn::NextRequest(std::int64_t seconds) {
  if (answering_ != INVALID_SOCKET) {
    closesocket(answering_);
    answering_ = INVALID_SOCKET;
  }
  if (sockets_.listener == INVALID_SOCKET) return std::nullopt;
  std::optional<LoopbackRequests::Request> request = requests_.Next(seconds);
  if (!request) return std::nullopt;
  answering_ = request->connection;
  return std::move(request->head);
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
