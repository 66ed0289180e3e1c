// What a proxy answers in its handshake. Input: one byte choosing the
// proxy (HTTP or SOCKS5, with a user or without), then the replies, cut
// into the arrivals they come in at each "|||". The handshake ends at most
// once, in a tunnel or a refusal; what it hands on after the tunnel's
// reply is the input's own end; no text of it shows the password unless
// the proxy sent it (the session masks what a peer echoes).
#include <cstdint>
#include <string>

#include "fuzz_check.hpp"
#include "proxy/handshake.hpp"

using namespace tolvex;
using tolvex::fuzz::Escaped;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  static constexpr const char* kUrls[] = {"http://p:8080", "http://taro@p:8080", "socks5://p:1080",
                                          "socks5://taro@p:1080"};
  ProxySettings proxy;
  ParseProxyUrl(kUrls[data[0] % 4], proxy);
  const std::string password = "pw-\x95\x5c-secret";
  proxy.password.Assign(password);
  const std::string_view input = fuzz::AsText(data + 1, size - 1);
  ProxyHandshake handshake(proxy, (data[0] & 4) != 0 ? "2001:db8::25" : "mail.example.jp", 25);
  handshake.Start();
  const bool echoed = input.find(password) != std::string_view::npos;
  bool ended = false;
  std::string taken;
  for (std::string_view piece : fuzz::Split(input, "|||")) {
    taken.append(piece);
    const ProxyHandshake::Step step = handshake.Take(piece);
    using Kind = ProxyHandshake::Step::Kind;
    if (ended) {
      FUZZ_CHECK(step.kind == Kind::Wait, Escaped(input));
      continue;
    }
    if (step.kind == Kind::Open) {
      ended = true;
      FUZZ_CHECK(taken.ends_with(step.bytes), Escaped(step.bytes));
    } else if (step.kind == Kind::Refused) {
      ended = true;
      FUZZ_CHECK(!step.text.empty(), Escaped(input));
      FUZZ_CHECK(echoed || step.text.find(password) == std::string::npos, step.text);
    } else if (step.kind == Kind::Send) {
      FUZZ_CHECK(!step.bytes.empty() && step.bytes.size() <= 3 + 2 * 255 + 4, Escaped(step.bytes));
    }
    FUZZ_CHECK(handshake.Answer().size() <= 200 + 40, handshake.Answer());
    FUZZ_CHECK(echoed || handshake.Answer().find(password) == std::string::npos,
               handshake.Answer());
  }
  return 0;
}
