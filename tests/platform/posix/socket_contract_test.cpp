// The socket contract against the Asio socket and a peer thread on
// loopback (free ports, so no privileges are needed).
#include <mutex>

#include "contract/socket_contract.hpp"
#include "platform/posix/asio_socket.hpp"
#include "scripted_server.hpp"

namespace tolvex::posix::test {
namespace {

class AsioHarness {
 public:
  Socket& Sock() { return sock_; }
  void Attach(SocketEvents* events) { sock_.SetEvents(events); }
  void Serve(const std::string& address, const std::string& greeting) {
    server_.emplace(address, 0);
    server_->Serve([this, greeting](Peer& p) {
      p.Send(greeting);
      while (auto line = p.ReadUntil("\r\n", 5s)) {
        {
          std::lock_guard<std::mutex> lock(mu_);
          received_ += *line;
        }
        if (*line == "PING\r\n") p.Send("PONG\r\n");
      }
    });
  }
  std::int32_t Port() const { return server_ ? server_->Port() : 0; }
  std::string Received() {
    std::lock_guard<std::mutex> lock(mu_);
    return received_;
  }
  bool RunUntil(const std::function<bool()>& done, int ms) {
    return test::RunUntil(io_, done, std::chrono::milliseconds(ms));
  }
  void RunFor(int ms) { test::RunFor(io_, std::chrono::milliseconds(ms)); }
  ~AsioHarness() { sock_.Close(); }

 private:
  asio::io_context io_;
  EventGate gate_{io_};
  AsioSocket sock_{io_, gate_, 4096};
  std::optional<ScriptedServer> server_;
  std::mutex mu_;
  std::string received_;
};

}  // namespace
}  // namespace tolvex::posix::test

namespace tolvex::contract {
INSTANTIATE_TYPED_TEST_SUITE_P(Asio, SocketContract, posix::test::AsioHarness);
}  // namespace tolvex::contract
