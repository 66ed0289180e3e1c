#include "oauth/token.hpp"

#include <algorithm>

#include <nlohmann/json.hpp>

#include "base/ascii.hpp"
#include "oauth/json_text.hpp"
#include "oauth/request.hpp"
#include "oauth/service_account.hpp"

namespace tolvex::oauth {

void AppendFormField(std::string_view name, std::string_view value, Secret& out) {
  if (!out.Empty()) out.Append("&");
  out.Append(name);
  out.Append("=");
  AppendFormEncoded(value, out);
}

std::string Printable(std::string_view text) {
  std::string out;
  for (char c : text.substr(0, 300)) {
    const unsigned char u = static_cast<unsigned char>(c);
    out += (u >= 0x20 && u < 0x7F) ? c : ' ';
  }
  return out;
}

bool IsProviderName(std::string_view provider) {
  return SameAscii(provider, "microsoft") || SameAscii(provider, "google");
}

std::string TokenUrl(const OAuthSettings& o) {
  if (o.UsesServiceAccount()) return o.tokenUri;
  if (SameAscii(o.provider, "microsoft")) {
    if (o.tenant.empty()) return {};
    return "https://login.microsoftonline.com/" + o.tenant + "/oauth2/v2.0/token";
  }
  if (SameAscii(o.provider, "google")) return kGoogleTokenUrl;
  return o.provider;
}

std::string Scope(const OAuthSettings& o) {
  if (o.UsesServiceAccount()) return ServiceAccountScope(o, o.via == Via::Gmail);
  if (!o.scope.empty()) return o.scope;
  if (o.via == Via::Graph) return kGraphScope;
  if (o.via == Via::Gmail) return kGmailScope;
  if (SameAscii(o.provider, "microsoft")) return kMicrosoftScope;
  if (SameAscii(o.provider, "google")) return kGoogleScope;
  return {};
}

std::string SignInScope(const OAuthSettings& o) {
  if (!o.scope.empty()) return o.scope;
  if (o.via == Via::Graph) return kGraphSignInScope;
  if (o.via == Via::Gmail) return kGmailScope;
  if (SameAscii(o.provider, "microsoft")) return kMicrosoftSignInScope;
  return Scope(o);
}

void ClientCredentialsBody(const OAuthSettings& o, Secret& out) {
  out.Wipe();
  AppendFormField("grant_type", "client_credentials", out);
  AppendFormField("client_id", o.clientId, out);
  AppendFormField("client_secret", o.clientSecret.View(), out);
  const std::string scope = Scope(o);
  if (!scope.empty()) AppendFormField("scope", scope, out);
}

void RefreshBody(const OAuthSettings& o, std::string_view refreshToken, Secret& out) {
  out.Wipe();
  AppendFormField("grant_type", "refresh_token", out);
  AppendFormField("client_id", o.clientId, out);
  if (!o.clientSecret.Empty()) AppendFormField("client_secret", o.clientSecret.View(), out);
  AppendFormField("refresh_token", refreshToken, out);
  const std::string scope = SignInScope(o);
  if (!scope.empty()) AppendFormField("scope", scope, out);
}

bool IsB64Token(std::string_view token) {
  const auto allowed = [](char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
           c == '.' || c == '_' || c == '~' || c == '+' || c == '/';
  };
  std::size_t i = 0;
  while (i < token.size() && allowed(token[i])) ++i;
  if (i == 0) return false;
  while (i < token.size() && token[i] == '=') ++i;
  return i == token.size();
}

namespace {

// What came instead of a JSON object, by its status: the client follows
// no redirect, and an error page says no more than its status.
void NoJsonObject(long status, TokenReply& r) {
  const std::string http = "the token endpoint answered HTTP " + std::to_string(status);
  if (status == 200) {
    r.error = "malformed_reply";
    r.description = http + " with a body that is not a JSON object";
    return;
  }
  r.error = "http_" + std::to_string(status);
  r.description = status >= 300 && status < 400 ? http + ", a redirect (redirects are not followed)"
                                                : http + " without a JSON object";
}

}  // namespace

TokenReply ParseTokenReply(long status, std::string_view body, const SecretRegistry& known) {
  TokenReply r;
  nlohmann::json json = nlohmann::json::parse(body, nullptr, false);
  if (json.is_discarded() || !json.is_object()) {
    NoJsonObject(status, r);
    return r;
  }
  // The reply's texts go to LOG.txt and the terminal: every secret of the
  // run masked, and the tokens of this very reply.
  SecretRegistry own;
  for (const char* name : {"access_token", "refresh_token"}) {
    const auto it = json.find(name);
    if (it != json.end() && it->is_string()) own.Add(it->get_ref<const std::string&>());
  }
  const auto text = [&](const char* name) {
    std::string t = JsonText(json, name);
    known.Mask(t);
    own.Mask(t);
    return Printable(t);
  };
  // A standard error code is kept as it is: the sign-in decides by it, and
  // a secret that happens to be part of one ("d" in "pending") is no echo.
  static constexpr std::string_view kCodes[] = {
      "invalid_request",        "invalid_client", "invalid_grant",         "unauthorized_client",
      "unsupported_grant_type", "invalid_scope",  "authorization_pending", "slow_down",
      "access_denied",          "expired_token"};
  const std::string code = JsonText(json, "error");
  const bool standard = std::find(std::begin(kCodes), std::end(kCodes), code) != std::end(kCodes);
  r.error = standard ? code : text("error");
  r.description = text("error_description");
  if (status != 200 || !r.error.empty()) {
    if (r.error.empty()) r.error = "http_" + std::to_string(status);
    return r;
  }
  const auto access = json.find("access_token");
  if (access == json.end() || !access->is_string() ||
      access->get_ref<const std::string&>().empty()) {
    r.error = "malformed_reply";
    r.description = "the reply holds no access_token";
    return r;
  }
  const std::string type = JsonText(json, "token_type");
  if (!type.empty() && !SameAscii(type, "bearer")) {
    r.error = "malformed_reply";
    r.description = "token_type " + text("token_type") + " is not Bearer";
    return r;
  }
  // An empty refresh_token is as good as none.
  const auto refresh = json.find("refresh_token");
  const bool hasRefresh = refresh != json.end() && refresh->is_string() &&
                          !refresh->get_ref<const std::string&>().empty();
  const char* unusable = nullptr;
  if (!IsB64Token(access->get_ref<const std::string&>())) {
    unusable = "access_token";
  } else if (hasRefresh && !IsB64Token(refresh->get_ref<const std::string&>())) {
    unusable = "refresh_token";
  }
  if (unusable) {
    r.error = "malformed_reply";
    r.description = std::string("the ") + unusable +
                    " holds characters a bearer token cannot have (RFC 6750 b64token)";
    return r;
  }
  std::string& token = access->get_ref<std::string&>();
  r.accessToken.Assign(token);
  WipeString(token);
  if (hasRefresh) {
    std::string& rt = refresh->get_ref<std::string&>();
    r.refreshToken.Assign(rt);
    WipeString(rt);
  }
  r.expiresIn = JsonSeconds(json, "expires_in", kLongestTokenLife).value_or(0);
  r.ok = true;
  return r;
}

std::string DescribeRefusal(const TokenReply& reply) {
  std::string text = reply.error;
  if (!reply.description.empty()) text += ": " + reply.description;
  return text;
}

void TokenCache::Forget() {
  token_.Wipe();
  expiresAt_ = 0;
}

std::string SignInKeyOf(const Submission& s) {
  return SignInKey(TokenUrl(s.oauth), s.oauth.clientId, s.user);
}

std::string RefusedSignIn(const StoredSignIn& stored) {
  return stored.refused + ": run tolvex --login in this folder again";
}

namespace {

// The refresh token of the sign-in stored for `s` into `refresh` (empty when
// there is none), or why no token can be asked for.
Status StoredGrant(const Submission& s, SignInStore* signIns, Secret& refresh) {
  const OAuthSettings& o = s.oauth;
  if (o.UsesServiceAccount()) return std::nullopt;  // it signs its own request
  if (signIns) {
    const StoredSignIn stored = signIns->Load(SignInKeyOf(s));
    if (!stored.refused.empty()) {
      return Failure{FailureKind::SignInFailed, RefusedSignIn(stored)};
    }
    refresh = stored.token;
  }
  if (!refresh.Empty()) return std::nullopt;
  if (o.clientSecret.Empty()) {
    return Failure{FailureKind::SignInFailed,
                   "no sign-in stored for " + s.user + " at " + TokenUrl(o) +
                       " and no client secret: run tolvex --login in this folder again"};
  }
  // Google gives mail tokens to a signed-in user only: its client secret
  // serves the sign-in, there is no client credentials grant.
  if (SameAscii(o.provider, "google")) {
    return Failure{FailureKind::SignInFailed, "no sign-in stored for " + s.user + " at " +
                                                  TokenUrl(o) +
                                                  ": run tolvex --login in this folder again"};
  }
  return std::nullopt;
}

}  // namespace

Status TokenCache::Obtain(Submission& s, Https& https, Clock& clock, SignInStore* signIns,
                          Crypto* crypto) {
  OAuthSettings& o = s.oauth;
  SecretRegistry& known = s.secrets;
  const std::int64_t now = clock.SteadySeconds();
  if (!token_.Empty() && now + kExpiryMargin < expiresAt_) {
    o.accessToken = token_;
    return std::nullopt;
  }
  Forget();
  o.accessToken.Wipe();
  known.Add(o.clientSecret.View());
  lastFailure_ = TokenFailure::Refused;
  const std::string key = SignInKeyOf(s);
  Secret refresh;  // the stored sign-in's refresh token; empty when there is none
  if (Status failure = StoredGrant(s, signIns, refresh)) return failure;
  known.Add(refresh.View(), SecretRegistry::Span::Recent);
  const bool signedIn = !refresh.Empty();
  Secret form;
  if (o.UsesServiceAccount()) {
    if (!crypto || !JwtBearerBody(o, s.user, UnixSeconds(clock.Now()), *crypto, known, form)) {
      return Failure{FailureKind::SignInFailed, "the private key of the service account " +
                                                    o.clientEmail + " (\"#OSA\") cannot sign"};
    }
  } else if (signedIn) {
    RefreshBody(o, refresh.View(), form);
  } else {
    ClientCredentialsBody(o, form);
  }
  EndpointAnswer<TokenReply> answer =
      RequestToken(https, TokenUrl(o), s.caPem, form, known, &s.proxy);
  if (const std::optional<RequestFailure>& f = answer.failure) {
    lastFailure_ = f->cancelled ? TokenFailure::Cancelled
                   : f->lasting ? TokenFailure::Refused
                                : TokenFailure::ForNow;
    return Failure{FailureKind::SignInFailed, f->text};
  }
  const TokenReply& token = answer.reply;
  if (!token.ok) {
    // The endpoint's own trouble (RFC 9110: 5xx, 408, 429) may pass.
    if (answer.status >= 500 || answer.status == 408 || answer.status == 429)
      lastFailure_ = TokenFailure::ForNow;
    std::string text = "token request refused: " + DescribeRefusal(token);
    // The stored sign-in expired or was revoked: only a new sign-in helps.
    if (signedIn && token.error == "invalid_grant") {
      text += "; the stored sign-in of " + s.user +
              " is no longer valid: run tolvex --login in this folder again";
    }
    return Failure{FailureKind::SignInFailed, std::move(text)};
  }
  known.Add(token.accessToken.View(), SecretRegistry::Span::Recent);
  known.Add(token.refreshToken.View(), SecretRegistry::Span::Recent);
  // A rotated refresh token replaces the old one before anything is sent:
  // the old one may already be void.
  if (signedIn && !token.refreshToken.Empty() && token.refreshToken.View() != refresh.View()) {
    const std::string error = signIns->Save(key, token.refreshToken);
    if (!error.empty()) {
      return Failure{FailureKind::SignInStoreFailed,
                     "the new refresh token could not be stored (" + error +
                         "): run tolvex --login in this folder again"};
    }
  }
  o.accessToken = token.accessToken;
  // Without expires_in the token serves this send only.
  if (token.expiresIn > 0) {
    token_ = token.accessToken;
    expiresAt_ = now + token.expiresIn;
  }
  return std::nullopt;
}

}  // namespace tolvex::oauth
