// The socket contract against the Asio socket and a peer thread on
// loopback (free ports, so no privileges are needed).
#include <openssl/ssl.h>

#include <mutex>

#include "contract/socket_contract.hpp"
#include "platform/posix/socket.hpp"
#include "scripted_server.hpp"
#include "tls_peer.hpp"

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
  std::string ServeTls(contract::TlsPeer kind) {
    static const TestPki good = MakeTestPki({"mail.tolvex.test"}, {"127.0.0.1"});
    static const TestPki other = IssueServer(good, {"elsewhere.tolvex.test"}, {});
    server_.emplace("127.0.0.1", 0);
    server_->Serve([this, kind](Peer& p) {
      if (kind == contract::TlsPeer::Hangup) {
        p.ReadUntil("\x01\x02never", 2s);  // takes the ClientHello, then closes
        return;
      }
      std::string got;
      ServeTlsEcho(p.Fd(), kind == contract::TlsPeer::Good ? good : other, got);
      std::lock_guard<std::mutex> lock(mu_);
      received_ += got;
    });
    caPem_ = good.caPem;
    return "127.0.0.1";
  }
  // A good peer that allows only what `limits` says.
  std::string ServeLimitedTls(const TlsLimits& limits) {
    static const TestPki good = MakeTestPki({"mail.tolvex.test"}, {"127.0.0.1"});
    server_.emplace("127.0.0.1", 0);
    server_->Serve([limits](Peer& p) {
      std::string got;
      ServeTlsEcho(p.Fd(), good, got, limits);
    });
    caPem_ = good.caPem;
    return "127.0.0.1";
  }
  TlsRequest Request(bool trust) { return TlsRequest{"mail.tolvex.test", trust ? caPem_ : ""}; }
  std::int32_t Port() const { return server_ ? server_->Port() : 0; }
  std::string Received() {
    std::lock_guard<std::mutex> lock(mu_);
    return received_;
  }
  bool RunUntil(const std::function<bool()>& done, int ms) {
    return test::RunUntil(io_, done, std::chrono::milliseconds(ms));
  }
  void RunFor(int ms) { test::RunFor(io_, std::chrono::milliseconds(ms)); }
  // The server thread writes received_ under mu_ until the close releases
  // it: join it before those members die.
  ~AsioHarness() {
    sock_.Close();
    server_.reset();
  }

 private:
  asio::io_context io_;
  EventGate gate_{io_};
  AsioSocket sock_{io_, gate_, 4096};
  std::optional<ScriptedServer> server_;
  std::mutex mu_;
  std::string received_;
  std::string caPem_ = "-----BEGIN CERTIFICATE-----";
};

// A peer refusing the versions or the ciphers the client offers: the
// reasons the session counts as permanent (SChannel's: tls_engine_test).
TEST(AsioTlsRefusal, VersionsOrCiphersThePeerRefuses) {
  const struct {
    TlsLimits limits;
    std::string reason;
  } cases[] = {
      {{TLS1_1_VERSION, ""}, kTlsVersionRefused},
      {{0, "TLS_AES_128_CCM_8_SHA256"},
       std::string(kTlsNoSharedCipher) + " (the server sent alert handshake failure)"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.reason);
    AsioHarness h;
    contract::Events events(h.Sock());
    h.Attach(&events);
    const std::string address = h.ServeLimitedTls(c.limits);
    h.Sock().SetRemotePort(h.Port());
    h.Sock().SetRemoteHost(address);
    h.Sock().Connect();
    ASSERT_TRUE(h.RunUntil([&] { return events.connects == 1; }, 10000));
    h.Sock().StartTls(h.Request(true));
    ASSERT_TRUE(h.RunUntil([&] { return !events.errors.empty(); }, 20000));
    EXPECT_EQ(events.errors, std::vector<std::string>{c.reason});
    EXPECT_EQ(events.completes, 0);
  }
}

}  // namespace
}  // namespace tolvex::posix::test

namespace tolvex::contract {
INSTANTIATE_TYPED_TEST_SUITE_P(Asio, SocketContract, posix::test::AsioHarness);
}  // namespace tolvex::contract
