// The submission directives. Values are taken like every other directive's
// (the text after "=", spaces trimmed). "#SEC" values are compared without
// regard to ASCII case; a value is never echoed for "#PAS".
#include "command/submission_directives.hpp"

#include <array>
#include <cstdint>
#include <string>
#include <utility>

#include "base/ascii.hpp"
#include "base/sjis_text.hpp"
#include "command/command_file.hpp"
#include "compose/text_functions.hpp"
#include "oauth/token.hpp"
#include "proxy/handshake.hpp"

namespace tolvex {
namespace {

std::string Quoted(std::string_view key, std::string_view value) {
  std::string s = "\"";
  s += key;
  s += "\" value \"";
  s += value;
  s += "\"";
  return s;
}

// "#DSN=failure,delay": a comma list of success, failure and delay, any
// case, or never alone. Empty on success, else what is wrong.
std::string ParseDsn(std::string_view value, DsnRequest& out) {
  if (value.empty()) return "is empty";
  DsnRequest dsn;
  bool others = false;
  while (true) {
    const std::size_t comma = value.find(',');
    const std::string_view word = sjis::Trim(value.substr(0, comma));
    if (SameAscii(word, "never")) {
      dsn.never = true;
    } else {
      others = true;
      if (SameAscii(word, "success")) {
        dsn.success = true;
      } else if (SameAscii(word, "failure")) {
        dsn.failure = true;
      } else if (SameAscii(word, "delay")) {
        dsn.delay = true;
      } else {
        return "is not a list of success, failure, delay (or never alone)";
      }
    }
    if (comma == std::string_view::npos) break;
    value.remove_prefix(comma + 1);
  }
  if (dsn.never && others) return "has never with other values: never stands alone";
  out = dsn;
  return {};
}

}  // namespace

bool IsSubmissionKeyword(std::string_view key) {
  static constexpr std::array<std::string_view, 14> kKeys = {"#POR", "#SEC", "#USR", "#PAS", "#CAF",
                                                             "#AUT", "#OAU", "#OID", "#OSC", "#OTE",
                                                             "#OSP", "#OAZ", "#DSN", "#PRX"};
  for (std::string_view k : kKeys) {
    if (k == key) return true;
  }
  return false;
}

Status SubmissionDirective(std::string_view key, std::string_view line, std::size_t lineNo,
                           Submission& s) {
  std::string value = ValueAfter(line, '=');
  if (key == "#POR") {
    if (!ParsePort(value, s.port)) {
      return BadLine(lineNo, Quoted(key, value) + " is not a port number from 1 to 65535");
    }
  } else if (key == "#SEC") {
    if (SameAscii(value, "none")) {
      s.security = Security::None;
    } else if (SameAscii(value, "starttls")) {
      s.security = Security::StartTls;
    } else if (SameAscii(value, "tls")) {
      s.security = Security::Tls;
    } else {
      return BadLine(lineNo, Quoted(key, value) + " is not one of none, starttls, tls");
    }
  } else if (key == "#USR") {
    if (value.empty()) return BadLine(lineNo, "\"#USR\" has no user name");
    s.user = std::move(value);
  } else if (key == "#PAS") {
    if (value.empty()) {
      WipeString(value);
      return BadLine(lineNo, "\"#PAS\" has no password");
    }
    s.password.Assign(value);
    s.origin = SecretOrigin::CommandFile;
  } else if (key == "#CAF") {
    if (value.empty()) return BadLine(lineNo, "\"#CAF\" names no file");
    s.caFile = std::move(value);
  } else if (key == "#AUT") {
    static constexpr std::array<std::pair<std::string_view, AuthChoice>, 5> kChoices = {{
        {"auto", AuthChoice::Auto},
        {"plain", AuthChoice::Plain},
        {"login", AuthChoice::Login},
        {"xoauth2", AuthChoice::XOAuth2},
        {"oauthbearer", AuthChoice::OAuthBearer},
    }};
    bool known = false;
    for (const auto& [name, choice] : kChoices) {
      if (SameAscii(value, name)) {
        s.auth = choice;
        known = true;
      }
    }
    if (!known) {
      return BadLine(
          lineNo, Quoted(key, value) + " is not one of auto, plain, login, xoauth2, oauthbearer");
    }
  } else if (key == "#OAU") {
    if (!oauth::IsProviderName(value) && !IsHttpsUrl(value)) {
      return BadLine(lineNo, Quoted(key, value) + " is not microsoft, google or an https:// URL");
    }
    s.oauth.provider = std::move(value);
  } else if (key == "#OID") {
    if (value.empty()) return BadLine(lineNo, "\"#OID\" has no client id");
    s.oauth.clientId = std::move(value);
  } else if (key == "#OSC") {
    if (value.empty()) {
      WipeString(value);
      return BadLine(lineNo, "\"#OSC\" has no client secret");
    }
    s.oauth.clientSecret.Assign(value);
    s.oauth.secretOrigin = SecretOrigin::CommandFile;
  } else if (key == "#OTE") {
    if (value.empty()) return BadLine(lineNo, "\"#OTE\" has no tenant");
    s.oauth.tenant = std::move(value);
  } else if (key == "#OSP") {
    if (value.empty()) return BadLine(lineNo, "\"#OSP\" has no scope");
    s.oauth.scope = std::move(value);
  } else if (key == "#OAZ") {
    if (!IsHttpsUrl(value)) {
      return BadLine(lineNo, Quoted(key, value) + " is not an https:// URL");
    }
    s.oauth.authorizeUrl = std::move(value);
  } else if (key == "#PRX") {
    // Never echoed: it may hold a password, which is refused.
    const std::string wrong = ParseProxyUrl(value, s.proxy);
    WipeString(value);
    if (!wrong.empty()) return BadLine(lineNo, "\"#PRX\" " + wrong);
  } else if (key == "#DSN") {
    const std::string wrong = ParseDsn(value, s.dsn);
    if (!wrong.empty()) return BadLine(lineNo, Quoted(key, value) + " " + wrong);
  }
  WipeString(value);
  return std::nullopt;
}

Status CheckSubmission(const Submission& s) {
  if (s.Authenticates() && s.security == Security::Unset) {
    return Failure{FailureKind::CommandFileBad,
                   std::string(kCommandFileName) +
                       ": \"#USR\" sends the password only over TLS: add \"#SEC=starttls\" or "
                       "\"#SEC=tls\" (or \"#SEC=none\" for a relay without TLS)"};
  }
  const auto bad = [](std::string text) {
    return Failure{FailureKind::CommandFileBad, std::string(kCommandFileName) + ": " + text};
  };
  if (s.dsn.Asked() && !s.Extended()) {
    return bad(
        "\"#DSN\" asks for delivery status notifications, which need EHLO: add \"#SEC\" (or "
        "\"#USR\")");
  }
  const bool tokenMechanism = s.auth == AuthChoice::XOAuth2 || s.auth == AuthChoice::OAuthBearer;
  if (tokenMechanism && !s.oauth.Configured()) {
    return bad("\"#AUT\" names a token mechanism: add \"#OAU\" (where tokens come from)");
  }
  if (!s.oauth.authorizeUrl.empty() &&
      (!s.oauth.Configured() || oauth::IsProviderName(s.oauth.provider))) {
    return bad("\"#OAZ\" belongs to a token endpoint of its own: add \"#OAU=https://...\"");
  }
  if (s.oauth.Configured() && s.auth != AuthChoice::Plain && s.auth != AuthChoice::Login) {
    if (!s.Authenticates()) return bad("\"#OAU\" needs \"#USR\", the mailbox to send as");
    if (s.oauth.clientId.empty()) return bad("\"#OAU\" needs \"#OID\", the client id");
    if (oauth::TokenUrl(s.oauth).empty()) {
      return bad("\"#OAU=microsoft\" needs \"#OTE\", the tenant (id or domain)");
    }
  }
  return std::nullopt;
}

}  // namespace tolvex
