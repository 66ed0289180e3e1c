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

// "https://host[:port]", a "/" after it allowed: the paths are the API's.
bool IsApiBase(std::string_view value) {
  constexpr std::size_t kScheme = 8;  // "https://"
  if (!IsHttpsUrl(std::string(value))) return false;
  const std::size_t end = value.find_first_of("/?#", kScheme);
  return end == std::string_view::npos || end == value.size() - 1;
}

}  // namespace

bool IsSubmissionKeyword(std::string_view key) {
  static constexpr std::array<std::string_view, 17> kKeys = {
      "#POR", "#SEC", "#USR", "#PAS", "#CAF", "#AUT", "#OAU", "#OID", "#OSC",
      "#OTE", "#OSP", "#OAZ", "#DSN", "#OSA", "#VIA", "#API", "#PRX"};
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
  } else if (key == "#OSA") {
    if (value.empty()) return BadLine(lineNo, "\"#OSA\" names no key file");
    s.oauth.serviceAccountFile = std::move(value);
  } else if (key == "#VIA") {
    if (SameAscii(value, "smtp")) {
      s.oauth.via = Via::Smtp;
    } else if (SameAscii(value, "graph")) {
      s.oauth.via = Via::Graph;
    } else if (SameAscii(value, "gmail")) {
      s.oauth.via = Via::Gmail;
    } else {
      return BadLine(lineNo, Quoted(key, value) + " is not one of smtp, graph, gmail");
    }
  } else if (key == "#API") {
    if (!IsApiBase(value)) {
      return BadLine(lineNo, Quoted(key, value) + " is not an https://host[:port] base URL");
    }
    if (value.back() == '/') value.pop_back();
    s.apiBase = std::move(value);
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

namespace {

// An API transport needs a token for the mailbox; #HOS, #POR, #SEC, #AUT
// and #DSN are the SMTP session's and are left unused.
Status CheckApiTransport(const Submission& s) {
  const auto bad = [](std::string text) {
    return Failure{FailureKind::CommandFileBad, std::string(kCommandFileName) + ": " + text};
  };
  const char* via = s.oauth.via == Via::Graph ? "\"#VIA=graph\"" : "\"#VIA=gmail\"";
  if (!s.oauth.Configured()) {
    return bad(std::string(via) + " needs \"#OAU\" (where its tokens come from)");
  }
  if (!s.Authenticates()) return bad(std::string(via) + " needs \"#USR\", the mailbox to send as");
  if (s.oauth.UsesServiceAccount()) {
    // A Google key: its token is for Gmail, never for Microsoft Graph.
    if (s.oauth.via != Via::Gmail)
      return bad("\"#OSA\" is a Google service account: use \"#VIA=gmail\"");
    if (!s.oauth.provider.empty() && !SameAscii(s.oauth.provider, "google")) {
      return bad("\"#OSA\" is a Google service account: leave \"#OAU\" out (or write google)");
    }
    return std::nullopt;
  }
  if (s.oauth.clientId.empty()) return bad("\"#OAU\" needs \"#OID\", the client id");
  if (oauth::TokenUrl(s.oauth).empty()) {
    return bad("\"#OAU=microsoft\" needs \"#OTE\", the tenant (id or domain)");
  }
  if (!s.oauth.authorizeUrl.empty() && oauth::IsProviderName(s.oauth.provider)) {
    return bad("\"#OAZ\" belongs to a token endpoint of its own: add \"#OAU=https://...\"");
  }
  return std::nullopt;
}

}  // namespace

Status CheckSubmission(const Submission& s) {
  if (s.ViaApi()) return CheckApiTransport(s);
  if (!s.apiBase.empty()) {
    return Failure{FailureKind::CommandFileBad,
                   std::string(kCommandFileName) +
                       ": \"#API\" is the base URL of a mail API: add \"#VIA=graph\" or "
                       "\"#VIA=gmail\""};
  }
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
  if (s.oauth.UsesServiceAccount()) {
    // The key file is Google's, and its token serves token mechanisms only.
    if (!s.oauth.provider.empty() && !SameAscii(s.oauth.provider, "google")) {
      return bad("\"#OSA\" is a Google service account: leave \"#OAU\" out (or write google)");
    }
    if (s.auth == AuthChoice::Plain || s.auth == AuthChoice::Login) {
      return bad(
          "\"#OSA\" gives a token, not a password: \"#AUT\" may be auto, xoauth2 or "
          "oauthbearer");
    }
    if (!s.oauth.authorizeUrl.empty()) return bad("\"#OAZ\" is no part of \"#OSA\"");
    if (!s.Authenticates()) return bad("\"#OSA\" needs \"#USR\", the mailbox it acts for");
    return std::nullopt;
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
