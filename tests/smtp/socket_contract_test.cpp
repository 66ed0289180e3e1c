// The socket contract against the scripted fake socket the session and run
// control tests use, so the fake cannot drift from the real sockets.
#include "contract/socket_contract.hpp"
#include "support/fake_platform.hpp"

namespace tolvex::test {
namespace {

constexpr char kCa[] = "-----BEGIN CERTIFICATE-----\r\nfake\r\n";

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
  // Scripted: the checks a real TLS client makes, as reasons.
  std::string ServeTls(contract::TlsPeer kind) {
    ServerScript& script = socket_.Script();
    script.greeting = "";
    script.reply = [this](const std::string& c) {  // an echo
      return c == "<message>" ? socket_.CallsOf("SendMessageData").back().text : c;
    };
    script.tls = [kind](const TlsRequest& r) -> std::string {
      if (kind == contract::TlsPeer::Hangup) return "connection closed during handshake";
      if (r.caPem != kCa) return "certificate verify failed: unknown CA";
      if (kind == contract::TlsPeer::WrongName || r.host != "mail.tolvex.test") {
        return "certificate verify failed: host name mismatch";
      }
      return "";
    };
    script.tlsInfo.subject = "CN=mail.tolvex.test";
    return "127.0.0.1";
  }
  TlsRequest Request(bool trust) { return TlsRequest{"mail.tolvex.test", trust ? kCa : ""}; }
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
