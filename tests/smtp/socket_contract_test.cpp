// The socket contract against the scripted fake socket the session and run
// control tests use, so the fake cannot drift from the real sockets.
#include "contract/socket_contract.hpp"
#include "support/fake_platform.hpp"

namespace tolvex::test {
namespace {

class FakeHarness {
 public:
  FakeHarness() : socket_(scheduler_) {}
  Socket& Sock() { return socket_; }
  void Attach(SocketEvents* events) { socket_.Attach(*events); }
  void Serve(const std::string&, const std::string& greeting) {
    socket_.Script().greeting = greeting;
    socket_.Script().reply = [](const std::string& c) {
      return c == "PING\r\n" ? std::string("PONG\r\n") : std::string();
    };
  }
  std::int32_t Port() const { return 25; }
  std::string Received() const { return socket_.wire; }
  bool RunUntil(const std::function<bool()>& done, int) {
    while (!done()) {
      if (!socket_.Deliver()) return done();
    }
    return true;
  }
  void RunFor(int) {
    while (socket_.Deliver()) {
    }
  }

 private:
  VirtualScheduler scheduler_;
  FakeSocket socket_;
};

}  // namespace
}  // namespace tolvex::test

namespace tolvex::contract {
INSTANTIATE_TYPED_TEST_SUITE_P(Fake, SocketContract, test::FakeHarness);
}  // namespace tolvex::contract
