// The proxies' handshakes as pure code: the bytes to send and the replies
// judged, whatever carries them. HTTP: CONNECT host:port (with
// Proxy-Authorization: Basic when a user is given), a 2xx status line and
// the head up to its blank line open the tunnel. SOCKS5 (RFC 1928): the
// mail server's name sent for the proxy to resolve, user and password
// (RFC 1929) when a user is given.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "base/proxy.hpp"

namespace tolvex {

// "#PRX=" value: http://[user@]host:port, socks5://[user@]host:port or
// none (schemes and none in any case). Empty on success, else what is
// wrong; a password in the URL is refused.
std::string ParseProxyUrl(std::string_view value, ProxySettings& out);

// The longest HTTP reply head taken before the proxy is given up.
inline constexpr std::size_t kMaxProxyHead = 16 * 1024;

class ProxyHandshake {
 public:
  struct Step {
    enum class Kind : std::uint8_t { Wait, Send, Open, Refused };
    Kind kind = Kind::Wait;
    std::string bytes;  // Send: what goes to the proxy; Open: what came after the reply
    ProxyRefusal refusal = ProxyRefusal::Refused;  // Refused: the class
    std::string text;                              // Refused: why
  };

  // To `host` (as #HOS is written; an IPv6 address with or without
  // brackets) and `port`, through `proxy`, which must tunnel.
  ProxyHandshake(const ProxySettings& proxy, std::string host, std::int32_t port);
  ~ProxyHandshake();
  ProxyHandshake(const ProxyHandshake&) = delete;
  ProxyHandshake& operator=(const ProxyHandshake&) = delete;

  // The first bytes, sent once the connection to the proxy is made.
  std::string Start();
  // Takes what the proxy sent next and says what follows.
  Step Take(std::string_view data);
  // What the proxy answered last: its status line, or the SOCKS reply.
  const std::string& Answer() const { return answer_; }

 private:
  enum class Phase : std::uint8_t { HttpReply, SocksMethod, SocksAuth, SocksReply, Done };
  Step TakeHttp();
  Step TakeSocks();
  Step Refuse(ProxyRefusal refusal, std::string text);
  std::string SocksRequest() const;

  const ProxySettings& proxy_;
  std::string host_;
  std::int32_t port_;
  Phase phase_ = Phase::Done;
  std::string in_;
  std::string answer_;
};

// The name RFC 1928 gives a SOCKS5 reply code ("host unreachable").
std::string_view SocksReplyName(unsigned code);

}  // namespace tolvex
