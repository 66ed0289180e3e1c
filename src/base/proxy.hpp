// The proxy a run goes through (#PRX): an HTTP proxy taking CONNECT, a
// SOCKS5 proxy, none at all, or, when #PRX is not written, the system's
// for HTTPS and none for SMTP. Its password never comes from the command
// file.
#pragma once

#include <cstdint>
#include <string>

#include "base/secret.hpp"

namespace tolvex {

enum class ProxyKind : std::uint8_t {
  System,  // no #PRX: HTTPS as the system says, SMTP directly
  None,    // #PRX=none: no proxy for anything
  Http,    // #PRX=http://[user@]host:port
  Socks5,  // #PRX=socks5://[user@]host:port
};

inline constexpr char kProxyPasswordVariable[] = "TOLVEX_PROXY_PASSWORD";

struct ProxySettings {
  ProxyKind kind = ProxyKind::System;
  std::string host;  // a name, an IPv4 address or an IPv6 address in brackets
  std::int32_t port = 0;
  std::string user;             // empty: no authentication
  Secret password;              // TOLVEX_PROXY_PASSWORD or the credential store
  bool passwordStored = false;  // it came from the credential store

  // Connections are made through it (the handshake first).
  bool Tunnels() const { return kind == ProxyKind::Http || kind == ProxyKind::Socks5; }
  // The URL as written, never with a password: "socks5://user@host:1080".
  std::string Shown() const {
    if (kind == ProxyKind::None) return "none";
    if (!Tunnels()) return {};
    std::string url = kind == ProxyKind::Http ? "http://" : "socks5://";
    if (!user.empty()) url += user + "@";
    return url + host + ":" + std::to_string(port);
  }
};

// Why a proxy did not open the way to the mail server, which decides the
// exit status whatever #SEC says.
enum class ProxyRefusal : std::uint8_t {
  ForNow,   // 502/503/504, not reachable, host unreachable, TTL expired: 75
  Denied,   // 407, SOCKS authentication refused: 77
  Refused,  // any other refusal: 69
};

}  // namespace tolvex
