#include "proxy/handshake.hpp"

#include <array>
#include <utility>

#include "base/ascii.hpp"
#include "base/base64.hpp"

namespace tolvex {
namespace {

using Kind = ProxyHandshake::Step::Kind;

// The scheme's length when `value` begins with `scheme` (any case), else 0.
std::size_t SchemeLength(std::string_view value, std::string_view scheme) {
  if (value.size() < scheme.size()) return 0;
  return SameAscii(value.substr(0, scheme.size()), scheme) ? scheme.size() : 0;
}

bool PlainHostChar(char c) {
  const auto u = static_cast<unsigned char>(c);
  return u > 0x20 && u < 0x7F && c != '/' && c != '?' && c != '#' && c != '@' && c != '[' &&
         c != ']';
}

// "host:port" as CONNECT and Host: name it, an IPv6 address in brackets.
std::string Authority(const std::string& host, std::int32_t port) {
  const bool bare6 = host.find(':') != std::string::npos && !host.starts_with('[');
  return (bare6 ? "[" + host + "]" : host) + ":" + std::to_string(port);
}

// The host as SOCKS5 names it: without IPv6 brackets.
std::string_view SocksHost(std::string_view host) {
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
    return host.substr(1, host.size() - 2);
  }
  return host;
}

ProxyHandshake::Step Send(std::string bytes) {
  ProxyHandshake::Step step;
  step.kind = Kind::Send;
  step.bytes = std::move(bytes);
  return step;
}

ProxyHandshake::Step Open(std::string rest) {
  ProxyHandshake::Step step;
  step.kind = Kind::Open;
  step.bytes = std::move(rest);
  return step;
}

}  // namespace

std::string ParseProxyUrl(std::string_view value, ProxySettings& out) {
  ProxySettings parsed;
  if (SameAscii(value, "none")) {
    out.kind = ProxyKind::None;
    return {};
  }
  std::size_t at = SchemeLength(value, "http://");
  parsed.kind = ProxyKind::Http;
  if (at == 0) {
    at = SchemeLength(value, "socks5://");
    parsed.kind = ProxyKind::Socks5;
  }
  if (at == 0) return "is not http://host:port, socks5://host:port or none";
  std::string_view rest = value.substr(at);
  if (rest.ends_with('/')) rest.remove_suffix(1);
  const std::size_t userEnd = rest.rfind('@');
  if (userEnd != std::string_view::npos) {
    const std::string_view user = rest.substr(0, userEnd);
    if (user.find(':') != std::string_view::npos) {
      return "holds a password: give it in " + std::string(kProxyPasswordVariable) +
             " (or the credential store) instead";
    }
    if (user.empty()) return "has an empty user name before @";
    for (char c : user) {
      if (!PlainHostChar(c)) return "has a user name with a character a URL cannot hold";
    }
    parsed.user = user;
    rest.remove_prefix(userEnd + 1);
  }
  std::string_view host;
  std::string_view port;
  if (rest.starts_with('[')) {
    const std::size_t close = rest.find(']');
    if (close == std::string_view::npos || close + 1 >= rest.size() || rest[close + 1] != ':') {
      return "has no port after the IPv6 address";
    }
    host = rest.substr(0, close + 1);
    port = rest.substr(close + 2);
    if (host.size() == 2) return "has no host";
  } else {
    const std::size_t colon = rest.rfind(':');
    if (colon == std::string_view::npos) return "has no port (host:port)";
    host = rest.substr(0, colon);
    port = rest.substr(colon + 1);
    if (host.empty()) return "has no host";
    for (char c : host) {
      if (!PlainHostChar(c) || c == ':') return "has a host name with a character it cannot hold";
    }
  }
  if (!ParsePort(port, parsed.port)) return "has no port from 1 to 65535";
  parsed.host = host;
  out = std::move(parsed);
  return {};
}

std::string_view SocksReplyName(unsigned code) {
  static constexpr std::array<std::string_view, 9> kNames = {"succeeded",
                                                             "general SOCKS server failure",
                                                             "connection not allowed by ruleset",
                                                             "network unreachable",
                                                             "host unreachable",
                                                             "connection refused",
                                                             "TTL expired",
                                                             "command not supported",
                                                             "address type not supported"};
  return code < kNames.size() ? kNames[code] : std::string_view("unassigned");
}

ProxyHandshake::ProxyHandshake(const ProxySettings& proxy, std::string host, std::int32_t port)
    : proxy_(proxy), host_(std::move(host)), port_(port) {}

ProxyHandshake::~ProxyHandshake() { WipeString(in_); }

std::string ProxyHandshake::Start() {
  in_.clear();
  answer_.clear();
  if (proxy_.kind == ProxyKind::Socks5) {
    phase_ = Phase::SocksMethod;
    // No authentication, and user/password when a user is given.
    return proxy_.user.empty() ? std::string("\x05\x01\x00", 3)
                               : std::string("\x05\x02\x00\x02", 4);
  }
  phase_ = Phase::HttpReply;
  const std::string authority = Authority(host_, port_);
  std::string text = "CONNECT " + authority + " HTTP/1.1\r\nHost: " + authority + "\r\n";
  if (!proxy_.user.empty()) {
    std::string pair = proxy_.user + ":";
    pair += proxy_.password.View();
    text += "Proxy-Authorization: Basic ";
    AppendBase64(pair, text);
    text += "\r\n";
    WipeString(pair);
  }
  return text + "\r\n";
}

ProxyHandshake::Step ProxyHandshake::Refuse(ProxyRefusal refusal, std::string text) {
  phase_ = Phase::Done;
  WipeString(in_);
  Step step;
  step.kind = Kind::Refused;
  step.refusal = refusal;
  step.text = std::move(text);
  return step;
}

ProxyHandshake::Step ProxyHandshake::Take(std::string_view data) {
  in_.append(data);
  if (phase_ == Phase::Done) return Step{};
  return phase_ == Phase::HttpReply ? TakeHttp() : TakeSocks();
}

ProxyHandshake::Step ProxyHandshake::TakeHttp() {
  std::size_t end = in_.find("\r\n\r\n");
  std::size_t blank = 4;
  if (const std::size_t lf = in_.find("\n\n"); lf < end) {
    end = lf;
    blank = 2;
  }
  if (end == std::string::npos) {
    if (in_.size() > kMaxProxyHead) {
      return Refuse(ProxyRefusal::Refused, "proxy reply head longer than 16 KiB");
    }
    return Step{};
  }
  std::string line = in_.substr(0, in_.find('\n'));
  if (line.ends_with('\r')) line.pop_back();
  if (line.size() > 200) line.resize(200);
  answer_ = line;
  // "HTTP/1.1 200 Connection established"
  const bool http = line.starts_with("HTTP/");
  const std::size_t space = line.find(' ');
  int code = 0;
  if (http && space != std::string::npos && space + 4 <= line.size()) {
    for (std::size_t i = space + 1; i < space + 4; ++i) {
      const char c = line[i];
      if (c < '0' || c > '9') {
        code = 0;
        break;
      }
      code = code * 10 + (c - '0');
    }
  }
  if (code < 100) return Refuse(ProxyRefusal::Refused, "not an HTTP proxy's reply: " + line);
  if (code >= 200 && code < 300) {
    phase_ = Phase::Done;
    std::string rest = in_.substr(end + blank);
    in_.clear();
    return Open(std::move(rest));
  }
  const ProxyRefusal refusal = code == 407                                 ? ProxyRefusal::Denied
                               : code == 502 || code == 503 || code == 504 ? ProxyRefusal::ForNow
                                                                           : ProxyRefusal::Refused;
  return Refuse(refusal, "proxy refused the tunnel: " + line);
}

std::string ProxyHandshake::SocksRequest() const {
  const std::string_view host = SocksHost(host_);
  std::string request("\x05\x01\x00\x03", 4);
  request += static_cast<char>(host.size());
  request += host;
  request += static_cast<char>((port_ >> 8) & 0xFF);
  request += static_cast<char>(port_ & 0xFF);
  return request;
}

ProxyHandshake::Step ProxyHandshake::TakeSocks() {
  const auto byte = [this](std::size_t i) { return static_cast<unsigned char>(in_[i]); };
  if (in_.size() < 2) return Step{};
  if (phase_ != Phase::SocksAuth && byte(0) != 5) {
    answer_ = "not a SOCKS5 reply";
    return Refuse(ProxyRefusal::Refused, "not a SOCKS5 proxy's reply");
  }
  if (phase_ == Phase::SocksMethod) {
    const unsigned method = byte(1);
    in_.erase(0, 2);
    if (SocksHost(host_).size() > 255) {
      return Refuse(ProxyRefusal::Refused, "the mail server's name is too long for SOCKS5");
    }
    if (method == 0) {
      phase_ = Phase::SocksReply;
      return Send(SocksRequest());
    }
    if (method == 2 && !proxy_.user.empty()) {
      if (proxy_.user.size() > 255 || proxy_.password.Size() > 255) {
        return Refuse(ProxyRefusal::Denied, "SOCKS5 user or password longer than 255 bytes");
      }
      phase_ = Phase::SocksAuth;
      std::string auth(1, '\x01');
      auth += static_cast<char>(proxy_.user.size());
      auth += proxy_.user;
      auth += static_cast<char>(proxy_.password.Size());
      auth += proxy_.password.View();
      return Send(std::move(auth));
    }
    answer_ = "SOCKS5 method " + std::to_string(method);
    return Refuse(
        ProxyRefusal::Denied,
        proxy_.user.empty()
            ? "SOCKS5 proxy asks for authentication: give a user (socks5://user@host:port)"
            : "SOCKS5 proxy accepts none of the methods offered");
  }
  if (phase_ == Phase::SocksAuth) {
    const unsigned status = byte(1);
    in_.erase(0, 2);
    if (status != 0) {
      answer_ = "SOCKS5 authentication status " + std::to_string(status);
      return Refuse(ProxyRefusal::Denied, "SOCKS5 proxy refused the user and password");
    }
    phase_ = Phase::SocksReply;
    return Send(SocksRequest());
  }
  const unsigned code = byte(1);
  answer_ = "SOCKS5 reply " + std::to_string(code) + " (" + std::string(SocksReplyName(code)) + ")";
  if (code != 0) {
    const ProxyRefusal refusal =
        code == 4 || code == 6 ? ProxyRefusal::ForNow : ProxyRefusal::Refused;
    return Refuse(refusal, "SOCKS5 proxy refused the connection: " + answer_);
  }
  if (in_.size() < 5) return Step{};
  std::size_t length = 0;
  switch (byte(3)) {
    case 1:
      length = 4 + 4 + 2;
      break;
    case 3:
      length = 5 + byte(4) + 2;
      break;
    case 4:
      length = 4 + 16 + 2;
      break;
    default:
      return Refuse(ProxyRefusal::Refused, "SOCKS5 reply with an unknown address type");
  }
  if (in_.size() < length) return Step{};
  phase_ = Phase::Done;
  std::string rest = in_.substr(length);
  in_.clear();
  return Open(std::move(rest));
}

}  // namespace tolvex
