// The mail-submission settings of a run: remote port (#POR), TLS (#SEC),
// SMTP AUTH credentials (#USR, #PAS or where else the secret comes from)
// and extra trusted CA certificates (#CAF). With none of #SEC and #USR
// written the session is the plain one: HELO, no TLS, no AUTH.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/proxy.hpp"
#include "base/secret.hpp"
#include "base/secret_registry.hpp"

namespace tolvex {

enum class Security : std::uint8_t {
  Unset,     // no #SEC line
  None,      // #SEC=none: no TLS, chosen on purpose
  StartTls,  // #SEC=starttls: EHLO, STARTTLS, handshake, EHLO again
  Tls,       // #SEC=tls: TLS from the first byte
};

// Where the AUTH secret came from (shown by --check, never the secret).
enum class SecretOrigin : std::uint8_t { None, CommandFile, Environment, CredentialStore };

inline constexpr char kPasswordVariable[] = "TOLVEX_PASSWORD";
inline constexpr char kClientSecretVariable[] = "TOLVEX_CLIENT_SECRET";

// #AUT: the SASL mechanism. Auto takes OAuth when #OAU is written, else
// PLAIN or LOGIN with the password.
enum class AuthChoice : std::uint8_t { Auto, Plain, Login, XOAuth2, OAuthBearer };

// #VIA: how the message goes out: an SMTP session, or handed as MIME to
// Microsoft Graph or the Gmail API over HTTPS.
enum class Via : std::uint8_t { Smtp, Graph, Gmail };

// OAuth 2.0 settings (#OAU, #OID, #OSC, #OTE, #OSP, #OAZ, #OSA) and the access
// token fetched for the next AUTH.
struct OAuthSettings {
  std::string provider;  // #OAU as written: "microsoft", "google" or an https:// URL
  std::string clientId;  // #OID
  Secret clientSecret;   // #OSC, TOLVEX_CLIENT_SECRET or the credential store
  SecretOrigin secretOrigin = SecretOrigin::None;
  std::string tenant;        // #OTE (Microsoft)
  std::string scope;         // #OSP; empty = the provider's default
  std::string authorizeUrl;  // #OAZ: the authorization endpoint of an endpoint of its own
  Secret accessToken;        // fetched before each connection
  bool signedIn = false;     // a sign-in of `tolvex --login` is stored: the refresh grant
  // #OSA: a Google service account's key file, and what start-up read from
  // it. Its signed token request (the JWT bearer grant) replaces the client.
  std::string serviceAccountFile;  // as written (code page 932)
  std::string clientEmail;         // the key's client_email: the token's issuer
  std::string tokenUri;            // the key's token_uri
  Secret privateKey;               // the key's private_key, PEM PKCS#8
  bool UsesServiceAccount() const { return !serviceAccountFile.empty(); }
  Via via = Via::Smtp;  // #VIA: the default scope is the transport's
  bool Configured() const { return !provider.empty() || UsesServiceAccount(); }
};

// #DSN: the delivery status notifications asked for (RFC 3461 NOTIFY).
// "never" stands alone; nothing set: none asked, no DSN parameter sent.
struct DsnRequest {
  bool success = false;
  bool failure = false;
  bool delay = false;
  bool never = false;
  bool Asked() const { return success || failure || delay || never; }
};

struct Submission {
  Security security = Security::Unset;
  std::int32_t port = 0;  // #POR; 0 = the default of the security
  std::string user;       // #USR; empty = no AUTH
  Secret password;        // the AUTH secret once start-up has found it
  SecretOrigin origin = SecretOrigin::None;
  std::string caFile;                  // #CAF as written (code page 932)
  std::string caPem;                   // its certificates, read at start-up
  std::string host;                    // #HOS as written: the TLS name and the stored credential's
  AuthChoice auth = AuthChoice::Auto;  // #AUT
  OAuthSettings oauth;
  DsnRequest dsn;       // #DSN; sent only when the server offers DSN
  std::string apiBase;  // #API: the API's base URL instead of its own; "" = its own
  ProxySettings proxy;  // #PRX
  // #HOS listing more than one host: each name in order (`host` is the
  // one the session goes to, the first at start-up); empty for one name.
  std::vector<std::string> hosts;
  // Every secret of the run and its forms: what a peer's text is masked
  // with before it goes to LOG.txt, the terminal or a kept file.
  SecretRegistry secrets;

  // EHLO, gathered replies and the states of TLS and AUTH.
  bool Extended() const { return security != Security::Unset || !user.empty(); }
  bool UsesTls() const { return security == Security::StartTls || security == Security::Tls; }
  bool Authenticates() const { return !user.empty(); }
  // AUTH with a token rather than the password.
  bool UsesOAuth() const {
    return Authenticates() && oauth.Configured() &&
           (ViaApi() || (auth != AuthChoice::Plain && auth != AuthChoice::Login));
  }
  // The message goes to an API over HTTPS, not to #HOS by SMTP.
  bool ViaApi() const { return oauth.via != Via::Smtp; }
  // The port to connect to: #POR, else 465 for TLS, 587 for STARTTLS, 25.
  std::int32_t RemotePort() const {
    if (port != 0) return port;
    if (security == Security::Tls) return 465;
    if (security == Security::StartTls) return 587;
    return 25;
  }
};

// Where a secret not written in the command file is looked for: the
// process environment and, on Windows, the Credential Manager.
class SecretSource {
 public:
  virtual ~SecretSource() = default;
  virtual std::optional<std::string> Environment(const char* name) = 0;
  // The stored generic credential `target` ("Tolvex:mail.example.jp").
  virtual std::optional<std::string> Stored(std::string_view target) = 0;
  // How a user stores one there ("the Credential Manager's generic
  // credential"); empty when there is no store.
  virtual std::string StoreName() const { return {}; }
};

}  // namespace tolvex
