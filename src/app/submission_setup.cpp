#include "app/submission_setup.hpp"

#include <cstdlib>

#include "oauth/service_account.hpp"
#include "oauth/token.hpp"

namespace tolvex {
namespace {

constexpr std::uint64_t kMaxCaFileBytes = 4 * 1024 * 1024;
constexpr char kPemBegin[] = "-----BEGIN CERTIFICATE-----";

Failure CaFailure(FailureKind kind, const std::string& name, std::string_view why) {
  std::string text = "command.txt: \"#CAF\" file ";
  text += name;
  text += ": ";
  text += why;
  return Failure{kind, std::move(text)};
}

Status ReadCaFile(Submission& s, WorkFolder& files) {
  IoError error;
  std::unique_ptr<InputFile> file = files.OpenRead(s.caFile, error);
  if (!file) return CaFailure(FailureKind::InputMissing, s.caFile, *error);
  if (file->Size() > kMaxCaFileBytes) {
    return CaFailure(FailureKind::CommandFileBad, s.caFile, "larger than 4 MiB");
  }
  std::string pem(static_cast<std::size_t>(file->Size()), '\0');
  if (IoError e = ReadExactly(*file, 0, pem.data(), pem.size())) {
    return CaFailure(FailureKind::InputMissing, s.caFile, *e);
  }
  if (pem.find(kPemBegin) == std::string::npos) {
    return CaFailure(FailureKind::CommandFileBad, s.caFile, "holds no PEM certificate");
  }
  s.caPem = std::move(pem);
  return std::nullopt;
}

// The key file of "#OSA": unreadable 66, not a service account key 65.
Status ReadServiceAccount(Submission& s, WorkFolder& files) {
  OAuthSettings& o = s.oauth;
  const auto failure = [&o](FailureKind kind, std::string_view why) {
    return Failure{kind,
                   "command.txt: \"#OSA\" file " + o.serviceAccountFile + ": " + std::string(why)};
  };
  IoError error;
  std::unique_ptr<InputFile> file = files.OpenRead(o.serviceAccountFile, error);
  if (!file) return failure(FailureKind::InputMissing, *error);
  if (file->Size() > oauth::kMaxKeyFileBytes) {
    return failure(FailureKind::CommandFileBad, "larger than 64 KiB: no service account key");
  }
  Secret json;
  char* bytes = json.Extend(static_cast<std::size_t>(file->Size()));
  if (IoError e = ReadExactly(*file, 0, bytes, json.Size())) {
    return failure(FailureKind::InputMissing, *e);
  }
  const std::string why = oauth::ReadServiceAccountKey(json.View(), o);
  if (!why.empty()) return failure(FailureKind::CommandFileBad, why);
  return std::nullopt;
}

}  // namespace

std::optional<std::string> ProcessSecrets::Environment(const char* name) {
  const char* value = std::getenv(name);
  if (value == nullptr) return std::nullopt;
  return std::string(value);
}

std::optional<std::string> ProcessSecrets::Stored(std::string_view) { return std::nullopt; }

std::string ProxyCredentialTarget(std::string_view host) {
  std::string target = "Tolvex:proxy:";
  target += host;
  return target;
}

std::string DescribeProxy(const ProxySettings& proxy) {
  switch (proxy.kind) {
    case ProxyKind::System:
      return {};
    case ProxyKind::None:
      return "none: SMTP and HTTPS connect directly (#PRX=none)";
    case ProxyKind::Http:
    case ProxyKind::Socks5:
      break;
  }
  std::string text = proxy.Shown();
  text += proxy.kind == ProxyKind::Http ? " (CONNECT)" : " (SOCKS5, the name resolved there)";
  if (!proxy.user.empty()) {
    text += ", password ";
    text += proxy.password.Empty() ? std::string("not looked up")
            : proxy.passwordStored ? std::string("from the credential store")
                                   : std::string("from ") + kProxyPasswordVariable;
  }
  return text;
}

std::string ClientSecretTarget(std::string_view clientId) {
  std::string target = "Tolvex:oauth:";
  target += clientId;
  return target;
}

std::string CredentialTarget(std::string_view host) {
  std::string target = "Tolvex:";
  target += host;
  return target;
}

namespace {

Status LookUpClientSecret(Submission& s, SecretSource& secrets) {
  OAuthSettings& o = s.oauth;
  if (!o.clientSecret.Empty() || o.UsesServiceAccount()) return std::nullopt;
  std::optional<std::string> found = secrets.Environment(kClientSecretVariable);
  if (found && !found->empty()) {
    o.secretOrigin = SecretOrigin::Environment;
  } else {
    if (found) WipeString(*found);
    found = secrets.Stored(ClientSecretTarget(o.clientId));
    if (found && !found->empty()) o.secretOrigin = SecretOrigin::CredentialStore;
  }
  if (found && !found->empty()) {
    o.clientSecret.Assign(*found);
    WipeString(*found);
    return std::nullopt;
  }
  if (found) WipeString(*found);
  // The refresh grant of a stored sign-in needs no secret (a public client).
  if (o.signedIn) return std::nullopt;
  // Google has no grant without a person: what is missing is the sign-in.
  if (o.provider == "google") {
    return Failure{FailureKind::CommandFileBad,
                   "command.txt: \"#OAU=google\" has no stored sign-in for " + s.user +
                       ": run tolvex --login in this folder"};
  }
  std::string text = "command.txt: \"#OID\" " + o.clientId + " has no client secret: give \"#OSC\"";
  const std::string store = secrets.StoreName();
  text += store.empty() ? " or " : ", ";
  text += "the environment variable ";
  text += kClientSecretVariable;
  if (!store.empty()) text += " or " + store + " " + ClientSecretTarget(o.clientId);
  return Failure{FailureKind::CommandFileBad, std::move(text)};
}

// The proxy's password when #PRX names a user: the environment, else the
// credential store's "Tolvex:proxy:<host>".
Status LookUpProxyPassword(ProxySettings& proxy, SecretSource& secrets) {
  if (proxy.user.empty() || !proxy.password.Empty()) return std::nullopt;
  std::optional<std::string> found = secrets.Environment(kProxyPasswordVariable);
  if (!found || found->empty()) {
    if (found) WipeString(*found);
    found = secrets.Stored(ProxyCredentialTarget(proxy.host));
    proxy.passwordStored = found && !found->empty();
  }
  if (found && !found->empty()) {
    proxy.password.Assign(*found);
    WipeString(*found);
    return std::nullopt;
  }
  if (found) WipeString(*found);
  std::string text = "command.txt: \"#PRX\" user " + proxy.user +
                     " has no password: set the environment variable " + kProxyPasswordVariable;
  const std::string store = secrets.StoreName();
  if (!store.empty()) text += " or " + store + " " + ProxyCredentialTarget(proxy.host);
  return Failure{FailureKind::CommandFileBad, std::move(text)};
}

Status LookUpSecrets(Submission& s, WorkFolder& files, SecretSource& secrets, bool needSecret) {
  if (!s.caFile.empty()) {
    if (Status status = ReadCaFile(s, files)) return status;
  }
  // Every mode goes through the proxy: the token requests as well.
  if (Status status = LookUpProxyPassword(s.proxy, secrets)) return status;
  // A service account's key is its secret: read whether or not it is needed.
  if (s.UsesOAuth() && s.oauth.UsesServiceAccount()) return ReadServiceAccount(s, files);
  if (s.UsesOAuth()) return needSecret ? LookUpClientSecret(s, secrets) : std::nullopt;
  if (!needSecret || !s.Authenticates() || !s.password.Empty()) return std::nullopt;
  std::optional<std::string> found = secrets.Environment(kPasswordVariable);
  if (found && !found->empty()) {
    s.origin = SecretOrigin::Environment;
  } else {
    if (found) WipeString(*found);
    found = secrets.Stored(CredentialTarget(s.host));
    if (found && !found->empty()) s.origin = SecretOrigin::CredentialStore;
  }
  if (found && !found->empty()) {
    s.password.Assign(*found);
    WipeString(*found);
    return std::nullopt;
  }
  std::string text = "command.txt: \"#USR\" " + s.user + " has no password: give \"#PAS\"";
  const std::string store = secrets.StoreName();
  text += store.empty() ? " or " : ", ";
  text += "the environment variable ";
  text += kPasswordVariable;
  if (!store.empty()) text += " or " + store + " " + CredentialTarget(s.host);
  return Failure{FailureKind::CommandFileBad, std::move(text)};
}

// The secrets found are masked in every text from outside from now on.
void RegisterSecrets(Submission& s) {
  s.secrets.Add(s.password.View());
  s.secrets.Add(s.oauth.clientSecret.View());
  s.secrets.Add(s.proxy.password.View());
  s.secrets.Add(s.oauth.privateKey.View());
}

}  // namespace

Status FindClientSecret(Submission& s, SecretSource& secrets) {
  Status status = LookUpClientSecret(s, secrets);
  RegisterSecrets(s);
  return status;
}

Status PrepareSubmission(Submission& s, WorkFolder& files, SecretSource& secrets, bool needSecret) {
  Status status = LookUpSecrets(s, files, secrets, needSecret);
  RegisterSecrets(s);
  return status;
}

}  // namespace tolvex

namespace tolvex {

std::string DescribeSubmission(const Submission& s) {
  std::string text;
  if (s.ViaApi()) {
    text = "HTTPS; certificate checked against the system's CAs";
    if (!s.caFile.empty()) text += " and " + s.caFile;
  } else {
    switch (s.security) {
      case Security::Unset:
        text = s.Authenticates() ? "EHLO, no TLS" : "HELO, no TLS";
        break;
      case Security::None:
        text = "EHLO, no TLS (#SEC=none)";
        break;
      case Security::StartTls:
        text = "STARTTLS (EHLO, STARTTLS, EHLO again)";
        break;
      case Security::Tls:
        text = "TLS from the first byte";
        break;
    }
  }
  if (s.UsesTls() && !s.ViaApi()) {
    text += "; certificate checked against the system's CAs";
    if (!s.caFile.empty()) text += " and " + s.caFile;
  }
  if (s.UsesOAuth()) {
    const OAuthSettings& o = s.oauth;
    text += s.ViaApi()                          ? "; a bearer token"
            : s.auth == AuthChoice::XOAuth2     ? "; AUTH XOAUTH2"
            : s.auth == AuthChoice::OAuthBearer ? "; AUTH OAUTHBEARER"
                                                : "; AUTH XOAUTH2 or OAUTHBEARER";
    if (o.UsesServiceAccount()) {
      // The key's client_email and token_uri; never the key.
      text += " as " + s.user + "; token from " + o.tokenUri + " (service account " +
              o.clientEmail + " of " + o.serviceAccountFile + ", scope " + oauth::Scope(o) + ")";
      return text;
    }
    text += " as " + s.user + "; token from " + oauth::TokenUrl(o) +
            (o.signedIn ? " (stored sign-in" : " (client credentials");
    const std::string scope = oauth::Scope(o);
    if (!scope.empty()) text += ", scope " + scope;
    text += "), client " + o.clientId + ", client secret ";
    switch (o.secretOrigin) {
      case SecretOrigin::CommandFile:
        text += "from #OSC";
        break;
      case SecretOrigin::Environment:
        text += std::string("from ") + kClientSecretVariable;
        break;
      case SecretOrigin::CredentialStore:
        text += "from the credential store";
        break;
      case SecretOrigin::None:
        text += o.signedIn ? "none" : "not looked up";
        break;
    }
  } else if (s.Authenticates()) {
    text += s.auth == AuthChoice::Plain   ? "; AUTH PLAIN as "
            : s.auth == AuthChoice::Login ? "; AUTH LOGIN as "
                                          : "; AUTH PLAIN or LOGIN as ";
    text += s.user + ", password ";
    switch (s.origin) {
      case SecretOrigin::CommandFile:
        text += "from #PAS";
        break;
      case SecretOrigin::Environment:
        text += std::string("from ") + kPasswordVariable;
        break;
      case SecretOrigin::CredentialStore:
        text += "from the credential store";
        break;
      case SecretOrigin::None:
        text += "not looked up";
        break;
    }
  }
  return text;
}

}  // namespace tolvex
