// A small SMTP-side peer for the integration tests: listens on a loopback
// address, accepts connections on its own thread and runs a script against
// each. Every read waits at most a bounded time, so a script always ends.
#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

#include <asio/io_context.hpp>

namespace tolvex::posix::test {

using namespace std::chrono_literals;

class Peer {
 public:
  explicit Peer(int fd) : fd_(fd) {}
  ~Peer();
  Peer(const Peer&) = delete;
  Peer& operator=(const Peer&) = delete;

  bool Send(std::string_view bytes);
  // Everything up to and including the first `terminator`; nullopt on
  // timeout or end of stream.
  std::optional<std::string> ReadUntil(std::string_view terminator,
                                       std::chrono::milliseconds timeout = 10s);
  std::optional<std::string> ReadLine(std::chrono::milliseconds timeout = 10s) {
    return ReadUntil("\r\n", timeout);
  }
  // True when the other side closed the connection within `timeout`.
  bool WaitForEof(std::chrono::milliseconds timeout = 10s);
  int Fd() const { return fd_; }
  void Close();

 private:
  // Reads once more into pending_; false on timeout, EOF or error.
  bool Fill(std::chrono::steady_clock::time_point until);

  int fd_;
  std::string pending_;
  bool eof_ = false;
};

class ScriptedServer {
 public:
  // `address` is an IPv4 or IPv6 literal; port 0 picks a free port.
  ScriptedServer(const std::string& address, int port);
  ~ScriptedServer();
  ScriptedServer(const ScriptedServer&) = delete;
  ScriptedServer& operator=(const ScriptedServer&) = delete;

  int Port() const { return port_; }
  // Accepts `connections` connections one after another and runs `script`
  // on each, on the server thread.
  void Serve(std::function<void(Peer&)> script, int connections = 1);
  // Waits for the server thread to finish.
  void Join();

 private:
  int listenFd_ = -1;
  int port_ = 0;
  std::thread thread_;
};

// Runs the loop until `done` holds or `limit` has passed; true when done.
bool RunUntil(asio::io_context& io, const std::function<bool()>& done,
              std::chrono::milliseconds limit = 10s);
// Runs the loop for `span` of wall time.
void RunFor(asio::io_context& io, std::chrono::milliseconds span);

// SMTP transparency done the plain way, to compare the socket's output with.
std::string ReferenceStuffing(std::string_view data);

}  // namespace tolvex::posix::test
